// The wait for a key, on a real (pseudo-)terminal: the prompt shows, the
// program waits, one key ends it unechoed, and the terminal is left as found.

#include "terminal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "process.h"
#include "report-lines.h"

namespace {

// No scheduler: the probe stops at once and the run goes to the prompt,
// where it waits with the terminal raw.
const std::pair<std::string, std::string> kNoScheduler = {"CUPS_SERVER", "/nonexistent/printer-probe-test.sock"};

class ProbeOnTerminal : public ProgramOnTerminal {
 public:
  ProbeOnTerminal() : ProgramOnTerminal({Env("PRINTER_PROBE", "printer-probe")}, {kNoScheduler}) {}
  bool AtThePrompt() { return started() && ReadUntil(kPrompt) && WaitForRawMode(); }
};

TEST(KeyAtTerminal, OneKeyEndsTheWaitUnechoed) {
  ProbeOnTerminal program;
  ASSERT_TRUE(program.AtThePrompt()) << program.seen();
  int status;
  EXPECT_FALSE(program.Wait(&status, 300)) << "did not wait for a key";

  program.Press("x");
  ASSERT_TRUE(program.Wait(&status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Nothing after the prompt: the key was not echoed. The terminal maps each
  // line feed to CR LF on the way out.
  EXPECT_EQ(program.seen(), std::regex_replace(QueryFailed("EnumPrintersA", 1722) + kPrompt, std::regex("\n"), "\r\n"));
  ExpectSameSettings(program.Settings(), program.before());
}

// With its output to a file or a pipe, nobody sees the prompt: the probe
// writes it there and ends, at a terminal too, without a key.
TEST(KeyAtTerminal, OutputToAFileOrAPipeEndsWithoutAKey) {
  const std::string file = testing::TempDir() + "printer-probe-report.txt";
  const std::string report = QueryFailed("EnumPrintersA", 1722) + kPrompt;
  for (const char* command : {"exec \"$0\" > \"$1\"", "\"$0\" | cat"}) {
    SCOPED_TRACE(command);
    ProgramOnTerminal program({"sh", "-c", command, Env("PRINTER_PROBE", "printer-probe"), file}, {kNoScheduler});
    int status;
    // No key is pressed: a wait for one would never end.
    ASSERT_TRUE(program.started() && program.Wait(&status, 10000)) << "waited for a key";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ExpectSameSettings(program.Settings(), program.before());
    if (command[0] == 'e') {
      std::ifstream in(file);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), report);
    } else {
      EXPECT_EQ(program.screen(), report);
    }
  }
  std::remove(file.c_str());
}

TEST(KeyAtTerminal, CtrlCIsAKeyLikeAnyOther) {
  ProbeOnTerminal program;
  ASSERT_TRUE(program.AtThePrompt()) << program.seen();
  program.Press("\x03");
  int status;
  ASSERT_TRUE(program.Wait(&status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  ExpectSameSettings(program.Settings(), program.before());
}

TEST(KeyAtTerminal, ATerminationDuringTheWaitRestoresTheTerminal) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    ProbeOnTerminal program;
    ASSERT_TRUE(program.AtThePrompt()) << program.seen();
    kill(program.pid(), signal);
    int status;
    ASSERT_TRUE(program.Wait(&status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
    ExpectSameSettings(program.Settings(), program.before());
  }
}

}  // namespace

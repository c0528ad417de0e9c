// The wait for a key, on a real (pseudo-)terminal: the prompt shows, the
// program waits, one key ends it unechoed, and the terminal is left as found.

#include "terminal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <string>

#include "process.h"

namespace {

// No scheduler: the probe stops at once and the run goes to the prompt.
class ProbeOnTerminal : public ProgramOnTerminal {
 public:
  ProbeOnTerminal()
      : ProgramOnTerminal({Env("PRINTER_PROBE", "printer-probe")},
                          {{"CUPS_SERVER", "/nonexistent/printer-probe-test.sock"}}) {}
};

// The terminal maps each line feed to CR LF on the way out.
const char kPromptOnTerminal[] = "\r\nPress a key to exit...\r\n";
const char kPrompt[] = "\nPress a key to exit...\n";

TEST(KeyAtTerminal, OneKeyEndsTheWaitUnechoed) {
  ProbeOnTerminal program;
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.ReadUntil(kPrompt)) << program.seen();
  ASSERT_TRUE(program.WaitForRawMode());
  int status;
  EXPECT_FALSE(program.Wait(&status, 300)) << "did not wait for a key";

  program.Press("x");
  ASSERT_TRUE(program.Wait(&status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Nothing after the prompt: the key was not echoed.
  EXPECT_EQ(program.seen(),
            std::string("EnumPrintersA(1) failed with 1722(0x000006BA) which is different than 122. Exiting...\r\n") +
                kPromptOnTerminal);
  ExpectSameSettings(program.Settings(), program.before());
}

TEST(KeyAtTerminal, CtrlCIsAKeyLikeAnyOther) {
  ProbeOnTerminal program;
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.ReadUntil(kPrompt)) << program.seen();
  ASSERT_TRUE(program.WaitForRawMode());
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
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.ReadUntil(kPrompt)) << program.seen();
    ASSERT_TRUE(program.WaitForRawMode());
    kill(program.pid(), signal);
    int status;
    ASSERT_TRUE(program.Wait(&status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
    ExpectSameSettings(program.Settings(), program.before());
  }
}

}  // namespace

// A Windows build, run under Wine against a CUPS scheduler of the test's own
// (Wine's spooler reads CUPS): beside the native build on the same queues,
// and at a real console, which Wine gives a program run on a terminal.
//
// PRINTER_PROBE names the native program, PROBE_EXE the Windows build and
// PROBE_WINDOWS its bits (32 or 64).

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "private-scheduler.h"
#include "process.h"
#include "report-lines.h"
#include "terminal.h"
#include "utf8.h"
#include "wine-prefix.h"

namespace {

// Names whose first letters fix their order: CUPS and Wine's spooler each
// list in an order of their own, which agree on these.
const std::vector<std::string> kQueues = {
    "a-office-laser",
    "b-Drucker_K\u00FCche",                                                // Latin-1
    "c-\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",  // Greek
    "d-\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA",                              // Chinese
    "e-\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF",                  // Japanese
    "f-emoji\xF0\x9F\x98\x80",                                             // outside the BMP
};

// A name as Wine's ANSI code page (1252 for its default English locale)
// holds it: Latin-1 letters as their bytes, every other UTF-16 unit as '?'.
std::string AsAnsi(const std::string& utf8) {
  std::string out;
  for (wchar_t c : DecodeUtf8(utf8.data(), utf8.size())) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
      out += static_cast<char>(c);
    else
      out += c > 0xFFFF ? "??" : "?";
  }
  return out;
}

std::string Section(const std::string& out, const std::string& heading, const std::string& next) {
  const size_t start = out.find(heading);
  if (start == std::string::npos) return "";
  const size_t end = out.find(next, start + heading.size());
  return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

const int kBits = std::stoi(Env("PROBE_WINDOWS", "64"));

class WindowsBuildUnderWine : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!WhyWindowsBuildCannotRun(kBits).empty()) return;
    scheduler_ = new PrivateScheduler;
    if (!scheduler_->started()) return;
    for (const std::string& queue : kQueues) scheduler_->AddQueue(queue);
    // Wine reads the printers into its prefix as it makes it: the queues come first.
    prefix_ = new WinePrefix({{"CUPS_SERVER", scheduler_->socket()}});
  }
  static void TearDownTestSuite() {
    delete prefix_;
    delete scheduler_;
  }
  void SetUp() override {
    const std::string& why = WhyWindowsBuildCannotRun(kBits);
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_FALSE(Env("PROBE_EXE").empty()) << "no Windows build named";
    ASSERT_TRUE(scheduler_->started());
    ASSERT_EQ(scheduler_->LpstatNames().size(), kQueues.size());
    ASSERT_TRUE(prefix_->ready()) << prefix_->error();
  }

  static std::vector<std::pair<std::string, std::string>> Environment() {
    auto env = prefix_->env();
    env.push_back({"CUPS_SERVER", scheduler_->socket()});
    return env;
  }
  static ProcessResult Run(const std::vector<std::string>& argv) {
    ProcessOptions options;
    options.argv = argv;
    options.env = Environment();
    return RunProcess(options);
  }

  static PrivateScheduler* scheduler_;
  static WinePrefix* prefix_;
};

PrivateScheduler* WindowsBuildUnderWine::scheduler_ = nullptr;
WinePrefix* WindowsBuildUnderWine::prefix_ = nullptr;

TEST_F(WindowsBuildUnderWine, ListsTheSameWideNamesAsLinux) {
  const int recordSize = 3 * kBits / 8, addressDigits = kBits / 4;
  const ProcessResult native = Run({Env("PRINTER_PROBE")});
  const ProcessResult windows = Run({WineLoader(kBits), Env("PROBE_EXE")});
  // Exiting at all shows there was no wait: no console is attached.
  ASSERT_TRUE(windows.exited) << windows.out << windows.err;
  EXPECT_EQ(windows.status, 0);

  const std::string out = std::regex_replace(windows.out, std::regex("\r\n"), "\n");
  EXPECT_EQ(Count(windows.out, "\n"), Count(windows.out, "\r\n")) << "a line end that is not CRLF";
  EXPECT_EQ(Count(out, "\r"), 0u) << "a line end that is not CRLF";

  const std::string digits = "[0-9A-F]{" + std::to_string(addressDigits) + "}";
  EXPECT_TRUE(std::regex_search(out, std::regex("\nbuffera\\[0x" + digits + ":0x" + digits + "\\]\n"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("\nbufferw\\[0x" + digits + ":0x" + digits + "\\]\n"))) << out;
  const std::string records = std::to_string(6 * recordSize);
  for (const char* call : {"EnumPrintersA\\(2\\)", "EnumPrintersW\\(2\\)"})
    EXPECT_TRUE(std::regex_search(
        out,
        std::regex(std::string("\n") + call + " copied [0-9]+ bytes in the buffer out of which the first " + records +
                   "\\(0x[0-9A-F]{8}\\) represent 6 structures of size " + std::to_string(recordSize) + "\n")))
        << out;

  std::string narrow = "\nPrinting ASCII results:\n";
  for (size_t i = 0; i < kQueues.size(); ++i) narrow += Item(i, AsAnsi(kQueues[i]));
  EXPECT_EQ(Section(out, "\nPrinting ASCII results:\n", "\nPrinting WIDE results:\n"), narrow);

  const std::string wide = Section(native.out, "\nPrinting WIDE results:\n", "\nPress a key");
  EXPECT_NE(wide.find(kQueues.back()), std::string::npos) << native.out;
  EXPECT_EQ(Section(out, "\nPrinting WIDE results:\n", "\nPress a key"), wide);
  EXPECT_TRUE(EndsWith(out, kPrompt));
}

// A name on the screen of a console: the narrow one in the ANSI code page's
// characters (Latin-1 and '?'), the wide one as its text.
std::string OnScreen(const std::string& name, bool wide) {
  if (wide) return name;
  std::wstring latin1;
  for (unsigned char c : AsAnsi(name)) latin1 += static_cast<wchar_t>(c);
  return EncodeUtf8(latin1.data(), latin1.size());
}

TEST_F(WindowsBuildUnderWine, AtAConsoleShowsEveryNameAndWaitsForOneKey) {
  ProgramOnTerminal program({WineLoader(kBits), Env("PROBE_EXE")}, Environment());
  ASSERT_TRUE(program.started());
  const std::string prompt = kPrompt;
  ASSERT_TRUE(program.ReadUntil(prompt)) << program.screen();
  int status;
  EXPECT_FALSE(program.Wait(&status, 1000)) << "did not wait for a key";

  program.Press("x");
  ASSERT_TRUE(program.Wait(&status)) << "one key did not end the wait";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  ExpectSameSettings(program.Settings(), program.before());

  const std::string screen = program.screen();
  // Nothing after the prompt: the key was not echoed.
  EXPECT_TRUE(EndsWith(screen, prompt)) << screen;
  for (bool wide : {false, true}) {
    std::string listing = wide ? "\nPrinting WIDE results:\n" : "\nPrinting ASCII results:\n";
    // The last name lies outside the Basic Multilingual Plane, which Wine's
    // console shows as one U+FFFD for each half of its surrogate pair.
    for (size_t i = 0; i + 1 < kQueues.size(); ++i) listing += Item(i, OnScreen(kQueues[i], wide));
    EXPECT_NE(screen.find(listing), std::string::npos) << screen;
  }
}

}  // namespace

// printer-probe run whole against a CUPS scheduler of the test's own: what a
// user sees is what the print system holds.
//
// PRINTER_PROBE names the program; PROBE_RUNNER (such as "wine") and
// PROBE_LINE_END=crlf aim the same checks at a Windows build.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "private-scheduler.h"
#include "process.h"

namespace {

const char kPrompt[] = "\nPress a key to exit...\n";

ProcessResult RunProbe(const std::string& server) {
  ProcessOptions options;
  options.argv = SplitWords(Env("PROBE_RUNNER", ""));
  options.argv.push_back(Env("PRINTER_PROBE", "printer-probe"));
  options.env = {{"CUPS_SERVER", server}};
  ProcessResult result = RunProcess(options);
  if (Env("PROBE_LINE_END", "lf") == "crlf") {
    std::string text;
    for (size_t i = 0; i < result.out.size(); ++i)
      if (!(result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n')) text += result.out[i];
    result.out = text;
  }
  return result;
}

// The names a listing shows, from its heading to the next empty line.
std::vector<std::string> Listing(const std::string& out, const std::string& heading) {
  std::vector<std::string> names;
  size_t at = out.find("\n" + heading + "\n");
  if (at == std::string::npos) return names;
  const std::string prefix = "    pPrinterName: [";
  for (at = out.find('\n', at + 1) + 1; at < out.size() && out[at] != '\n';) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end - at);
    if (line.compare(0, prefix.size(), prefix) == 0 && line.back() == ']')
      names.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 1));
    at = end + 1;
  }
  return names;
}

class ProbeAgainstCups : public testing::Test {
 protected:
  static void SetUpTestSuite() { scheduler_ = new PrivateScheduler; }
  static void TearDownTestSuite() {
    delete scheduler_;
    scheduler_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(scheduler_->started());
    ASSERT_EQ(scheduler_->DeleteAllQueues(), "");
  }
  static PrivateScheduler* scheduler_;
};

PrivateScheduler* ProbeAgainstCups::scheduler_ = nullptr;

TEST_F(ProbeAgainstCups, NoQueuesEndsAtTheFirstCall) {
  const ProcessResult run = RunProbe(scheduler_->socket());
  EXPECT_EQ(run.out, std::string("EnumPrintersA(1) succeeded with NULL buffer. Exiting...\n") + kPrompt);
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
}

TEST_F(ProbeAgainstCups, NoSchedulerIsReportedAsTheUnavailableSpooler) {
  const ProcessResult run = RunProbe(scheduler_->folder() + "/no-such.sock");
  EXPECT_EQ(run.out, std::string("EnumPrintersA(1) failed with 1722(0x000006BA) which is different than 122. "
                                 "Exiting...\n") +
                         kPrompt);
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
}

TEST_F(ProbeAgainstCups, BothListingsShowEveryQueueLpstatLists) {
  const std::vector<std::string> queues = {
      "office-laser",
      "Drucker_K\u00FCche",                                                        // Latin with a diaeresis
      "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA",                                      // Chinese
      "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBD\xD1\x82\xD0\xB5\xD1\x80",                  // Cyrillic
      "\xCE\x95\xCE\xBA\xCF\x84\xCF\x85\xCF\x80\xCF\x89\xCF\x84\xCE\xAE\xCF\x82",  // Greek
      "\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF",                          // Japanese katakana
      "emoji\xF0\x9F\x98\x80",  // outside the Basic Multilingual Plane
  };
  for (const std::string& queue : queues) ASSERT_EQ(scheduler_->AddQueue(queue), "");

  const ProcessResult run = RunProbe(scheduler_->socket());
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> listed = scheduler_->LpstatNames();
  ASSERT_EQ(listed.size(), queues.size());
  EXPECT_EQ(Listing(run.out, "Printing ASCII results:"), listed) << run.out;
  EXPECT_EQ(Listing(run.out, "Printing WIDE results:"), listed) << run.out;
  EXPECT_NE(run.out.find(" represent 7 structures of size "), std::string::npos) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - sizeof kPrompt + 1), kPrompt);
}

std::string Repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST_F(ProbeAgainstCups, NamesAtTheEdgesAndAThousandQueues) {
  // 127 bytes, the longest name the scheduler takes, in one, three and four
  // bytes a character.
  const std::vector<std::string> edges = {Repeat("n", 127), Repeat("\xE5\x8D\xB0", 42) + "a",
                                          Repeat("\xF0\x9F\x96\xA8", 31) + "abc"};
  for (const std::string& name : edges) {
    ASSERT_EQ(name.size(), 127u);
    ASSERT_EQ(scheduler_->AddQueue(name), "");
  }
  std::vector<std::thread> adders;
  adders.reserve(4);
  for (int part = 0; part < 4; ++part)
    adders.emplace_back([part] {
      for (int i = part; i < 1000; i += 4) {
        char name[32];
        snprintf(name, sizeof name, "queue-%04d", i);
        EXPECT_EQ(scheduler_->AddQueue(name), "");
      }
    });
  for (std::thread& adder : adders) adder.join();

  const ProcessResult run = RunProbe(scheduler_->socket());
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  const std::vector<std::string> listed = scheduler_->LpstatNames();
  ASSERT_EQ(listed.size(), 1003u);
  EXPECT_EQ(Listing(run.out, "Printing ASCII results:"), listed);
  EXPECT_EQ(Listing(run.out, "Printing WIDE results:"), listed);
  EXPECT_NE(run.out.find(" represent 1003 structures of size "), std::string::npos);
}

}  // namespace

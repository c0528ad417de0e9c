// printer-probe under real faults of the print system and of its own
// surroundings: each run still ends with its own words, the prompt and 0.
//
// PRINTER_PROBE names the program; PROBE_RUNNER may wrap it (valgrind).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake-scheduler.h"
#include "ipp-exchange.h"
#include "private-scheduler.h"
#include "process.h"
#include "socket-proxy.h"

namespace {

const char kPrompt[] = "\nPress a key to exit...\n";

#if defined(__SANITIZE_ADDRESS__)
const bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kUnderAddressSanitizer = true;
#else
const bool kUnderAddressSanitizer = false;
#endif
#else
const bool kUnderAddressSanitizer = false;
#endif

ProcessResult RunProbe(const std::string& server, ProcessOptions::Stdout stdoutTo = ProcessOptions::Stdout::kCaptured,
                       long long addressSpace = 0, long long stack = 0) {
  ProcessOptions options;
  options.addressSpaceLimit = addressSpace;
  options.stackLimit = stack;
  options.argv = SplitWords(Env("PROBE_RUNNER", ""));
  options.argv.push_back(Env("PRINTER_PROBE", "printer-probe"));
  options.env = {{"CUPS_SERVER", server}};
  options.stdoutTo = stdoutTo;
  return RunProcess(options);
}

// The first lines of a run that got as far as its buffers.
std::string UpToTheBuffers(const std::string& out) {
  const size_t end = out.find("bufferw[");
  return end == std::string::npos ? "" : out.substr(0, out.find('\n', end) + 1);
}

class ProbeUnderFaults : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scheduler_.started());
    ASSERT_EQ(scheduler_.AddQueue("office-laser"), "");
    ASSERT_EQ(scheduler_.AddQueue("Drucker_K\u00FCche"), "");
  }
  std::string ProxyPath() const { return scheduler_.folder() + "/proxy.sock"; }

  PrivateScheduler scheduler_;
};

TEST_F(ProbeUnderFaults, SchedulerStoppedBeforeTheRun) {
  ASSERT_EQ(scheduler_.Stop(), "");
  const ProcessResult run = RunProbe(scheduler_.socket());
  EXPECT_EQ(
      run.out,
      std::string("EnumPrintersA(1) failed with 1722(0x000006BA) which is different than 122. Exiting...\n") + kPrompt);
  EXPECT_TRUE(run.exited && run.status == 0) << run.err;
}

TEST(ProbeRefused, ASchedulerThatRefusesTheRequestIsAccessDenied) {
  PrivateScheduler refusing(true);
  ASSERT_TRUE(refusing.started());
  const ProcessResult run = RunProbe(refusing.socket());
  EXPECT_EQ(
      run.out,
      std::string("EnumPrintersA(1) failed with 5(0x00000005) which is different than 122. Exiting...\n") + kPrompt);
  EXPECT_TRUE(run.exited && run.status == 0) << run.err;
}

TEST_F(ProbeUnderFaults, SchedulerGoneBetweenTheQueriesAndTheFills) {
  SocketProxy proxy(ProxyPath(), scheduler_.socket(), 2, SocketProxy::After::kRefuse);
  ASSERT_TRUE(proxy.listening());
  const ProcessResult run = RunProbe(ProxyPath());
  const std::string start = UpToTheBuffers(run.out);
  ASSERT_FALSE(start.empty()) << run.out;
  EXPECT_EQ(run.out, start + "EnumPrintersA(2) failed with 1722(0x000006BA). Exiting...\n" + kPrompt);
  EXPECT_TRUE(run.exited && run.status == 0) << run.err;
}

TEST_F(ProbeUnderFaults, SchedulerGoneBeforeTheWideFill) {
  SocketProxy proxy(ProxyPath(), scheduler_.socket(), 3, SocketProxy::After::kRefuse);
  const ProcessResult run = RunProbe(ProxyPath());
  const std::string start = UpToTheBuffers(run.out);
  const size_t filled = run.out.find('\n', start.size());
  ASSERT_NE(filled, std::string::npos) << run.out;
  EXPECT_EQ(run.out.substr(start.size(), 17), "EnumPrintersA(2) ");
  EXPECT_EQ(run.out.substr(filled + 1),
            std::string("EnumPrintersW(2) failed with 1722(0x000006BA). Exiting...\n") + kPrompt);
  EXPECT_TRUE(run.exited && run.status == 0) << run.err;
}

TEST_F(ProbeUnderFaults, ASchedulerThatNeverAnswersTimesOut) {
  for (int forwarded : {0, 2}) {
    SCOPED_TRACE(forwarded);
    SocketProxy proxy(ProxyPath(), scheduler_.socket(), forwarded, SocketProxy::After::kHold);
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult run = RunProbe(ProxyPath());
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 10.0 + (Env("PROBE_RUNNER", "").empty() ? 0 : 5)) << "valgrind adds its own start-up";
    const std::string expected =
        forwarded == 0 ? "EnumPrintersA(1) failed with 1460(0x000005B4) which is different than 122. Exiting...\n"
                       : UpToTheBuffers(run.out) + "EnumPrintersA(2) failed with 1460(0x000005B4). Exiting...\n";
    EXPECT_EQ(run.out, expected + kPrompt);
    EXPECT_TRUE(run.exited && run.status == 0) << run.err;
  }
}

// Work on a thread of its own for as long as a case runs, however it ends:
// a failed ASSERT leaves the case with the thread stopped and joined, so the
// case fails alone and the suite goes on.
class WhileTheCaseRuns {
 public:
  explicit WhileTheCaseRuns(std::function<void(const std::atomic<bool>& stop)> work)
      : thread_([this, work = std::move(work)] { work(stop_); }) {}
  ~WhileTheCaseRuns() {
    stop_ = true;
    thread_.join();
  }
  WhileTheCaseRuns(const WhileTheCaseRuns&) = delete;
  WhileTheCaseRuns& operator=(const WhileTheCaseRuns&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: it starts once stop_ is there
};

// Each run sees the queues as they are at each call: it either lists what it
// counted, or a fill call finds its buffer too small and says so.
TEST_F(ProbeUnderFaults, QueuesComingAndGoingDuringTheRuns) {
  const WhileTheCaseRuns churn([this](const std::atomic<bool>& stop) {
    for (int i = 0; !stop; ++i) {
      const std::string name = "churn-" + std::to_string(i % 7) + std::string(static_cast<size_t>(i % 5) * 9, 'x');
      scheduler_.AddQueue(name);
      if (i % 2) scheduler_.DeleteQueue(name);
    }
  });
  int completed = 0, raced = 0;
  for (int run = 0; run < 25; ++run) {
    const ProcessResult result = RunProbe(scheduler_.socket());
    ASSERT_TRUE(result.exited && result.status == 0) << result.err;
    const std::string& out = result.out;
    ASSERT_EQ(out.substr(out.size() - sizeof kPrompt + 1), kPrompt);
    if (std::regex_search(out, std::regex("EnumPrinters[AW]\\(2\\) failed with 122\\(0x0000007A\\). Exiting...\n"))) {
      ++raced;
      continue;
    }
    std::smatch fill;
    for (const char* width : {"A", "W"}) {
      ASSERT_TRUE(std::regex_search(out, fill,
                                    std::regex(std::string("EnumPrinters") + width +
                                               "\\(2\\) copied [0-9]+ bytes .* represent ([0-9]+) "
                                               "structures")))
          << out;
    }
    EXPECT_EQ(out.find("lie outside the buffer"), std::string::npos) << out;
    ++completed;
  }
  RecordProperty("completed", completed);
  RecordProperty("raced", raced);
  EXPECT_GT(completed, 0);
}

TEST_F(ProbeUnderFaults, StandardOutputClosedOrItsReaderGone) {
  for (auto stdoutTo : {ProcessOptions::Stdout::kClosed, ProcessOptions::Stdout::kReaderGone}) {
    const ProcessResult run = RunProbe(scheduler_.socket(), stdoutTo);
    EXPECT_TRUE(run.exited) << "ended by a signal";
    EXPECT_EQ(run.status, 0);
  }
}

// Answers no real cupsd gives: each run still ends with its own words, in
// time, in bounded memory.
class ProbeAgainstABrokenScheduler : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.empty()); }
  void TearDown() override { RemoveFolder(folder_); }
  std::string Path() const { return folder_ + "/fake.sock"; }
  std::string folder_ = MakeTemporaryFolder();
};

std::string Listings(const std::vector<std::string>& names) {
  std::string listing;
  for (size_t i = 0; i < names.size(); ++i)
    listing += "  Item " + std::to_string(i) + "\n    pPrinterName: [" + names[i] + "]\n";
  return "\nPrinting ASCII results:\n" + listing + "\nPrinting WIDE results:\n" + listing + kPrompt;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string QueryFailed(int code) {
  char line[128];
  snprintf(line, sizeof line, "EnumPrintersA(1) failed with %d(0x%08X) which is different than 122. Exiting...\n", code,
           code);
  return line + std::string(kPrompt);
}

// The four calls share one connection, answered without "100 Continue". One
// that the scheduler closed since its last answer is opened again; a request
// whose answer had begun is never sent again.
TEST_F(ProbeAgainstABrokenScheduler, OneConnectionPerRunOpenedAgainOnlyBeforeAnAnswer) {
  const std::string listed = Listings({"p0", "p1", "p2"});
  const struct {
    FakeScheduler::Answer answer;
    int connections;
    std::string tail;
  } cases[] = {
      {FakeScheduler::Answer::kKeepAlive, 1, listed},
      {FakeScheduler::Answer::kOneAnswerEach, 4, listed},
      {FakeScheduler::Answer::kCutTheSecond, 1,
       "EnumPrintersW(1) failed with 1726(0x000006BE) which is different than 122. Exiting...\n" +
           std::string(kPrompt)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.connections);
    FakeScheduler fake(Path(), c.answer);
    const ProcessResult run = RunProbe(Path());
    ASSERT_GE(run.out.size(), c.tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - c.tail.size()), c.tail);
    EXPECT_EQ(fake.connections(), c.connections);
    EXPECT_TRUE(run.exited && run.status == 0) << run.err;
  }
}

TEST_F(ProbeAgainstABrokenScheduler, ErrorsReportedInsideIpp) {
  const std::pair<uint16_t, int> statuses[] = {
      {0x0401, 5},     // client-error-forbidden
      {0x0403, 5},     // client-error-not-authorized
      {0x0502, 1722},  // server-error-service-unavailable
      {0x0500, 1726},  // server-error-internal-error
  };
  for (const auto& [status, code] : statuses) {
    FakeScheduler fake(Path(), FakeScheduler::Answer::kKeepAlive, {status, {}});
    EXPECT_EQ(RunProbe(Path()).out, QueryFailed(code)) << status;
  }
}

// A scheduler somebody else runs may send names that would drive the
// terminal: every control character, and malformed UTF-8, shows as U+FFFD
// in both listings; names in any script stay as they are.
TEST_F(ProbeAgainstABrokenScheduler, NamesCannotDriveTheTerminal) {
  const std::string r = "\xEF\xBF\xBD";
  FakeScheduler fake(Path(), FakeScheduler::Answer::kKeepAlive,
                     {0,
                      {"evil\x1B]0;pwned\x07tail", "clear\x1B[2J x", "line\n  Item 9\n    pPrinterName: [forged",
                       "c1\xC2\x9B[2J del\x7F bad\xFF", "Drucker_K\u00FCche \xE6\x89\x93"}});
  const std::string tail = Listings({"evil" + r + "]0;pwned" + r + "tail", "clear" + r + "[2J x",
                                     "line" + r + "  Item 9" + r + "    pPrinterName: [forged",
                                     "c1" + r + "[2J del" + r + " bad" + r, "Drucker_K\u00FCche \xE6\x89\x93"});
  const std::string out = RunProbe(Path()).out;
  ASSERT_GE(out.size(), tail.size()) << out;
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

// The least address space, to a MiB, in which the probe lists a few queues:
// with a little more, a flood of them is more than it can hold. What the
// program itself takes varies from machine to machine.
long long LeastAddressSpace(const std::string& path) {
  FakeScheduler fake(path, FakeScheduler::Answer::kKeepAlive);
  long long fails = 4 << 20, lists = 512 << 20;
  while (lists - fails > (1 << 20)) {
    const long long between = (fails + lists) / 2;
    (EndsWith(RunProbe(path, ProcessOptions::Stdout::kCaptured, between).out, Listings({"p0", "p1", "p2"})) ? lists
                                                                                                            : fails) =
        between;
  }
  return lists;
}

// However a server misbehaves, each call ends within its limit, in bounded
// memory, with one line: the probe's own line, the prompt and 0.
TEST_F(ProbeAgainstABrokenScheduler, EveryCallEndsInTimeInBoundedMemory) {
  using Answer = FakeScheduler::Answer;
  // valgrind and AddressSanitizer need far more room than any cap leaves.
  const bool alone = Env("PROBE_RUNNER", "").empty() && !kUnderAddressSanitizer;
  // Rows with a cap run alone; the -1 only marks the row as one.
  const long long scarce = alone ? LeastAddressSpace(Path()) + (2 << 20) : -1;
  // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): a table, in the order it reads best
  const struct {
    const char* what;
    Answer answer;
    FakeReply reply;
    std::string output;  // the whole of it, or with whole false its end
    double seconds;
    long long addressSpace = 0;  // caps on the probe's, or 0
    long long stack = 0;
    bool whole = true;
  } rows[] = {
      {"endless 100 Continue", Answer::kEndlessContinue, {}, QueryFailed(1460), 10},
      {"an answer a byte at a time", Answer::kTrickle, {}, QueryFailed(1460), 10},
      {"an answer left unfinished, then endless 100 Continue",
       Answer::kUnfinished,
       {},
       "EnumPrintersA(1) needs a 81(0x00000051) bytes long buffer.\n"
       "EnumPrintersW(1) failed with 1460(0x000005B4) which is different than 122. Exiting...\n" +
           std::string(kPrompt),
       10},
      {"an HTML page", Answer::kNotIpp, {}, QueryFailed(1726), 2},
      {"an answer cut off, the connection kept", Answer::kTruncated, {}, QueryFailed(1726), 7},
      {"printers without end", Answer::kEndless, {}, QueryFailed(1726), 3},
      {"header lines without end", Answer::kEndlessHeaders, {}, QueryFailed(1726), 2},
      {"a password demanded at once", Answer::kPasswordAtOnce, {}, QueryFailed(5), 2},
      {"distinct attributes up to the largest answer",
       Answer::kKeepAlive,
       {0, {"p0", "p1", "p2"}, kMaximumAnswerBytes},
       Listings({"p0", "p1", "p2"}),
       3,
       0,
       0,
       false},
      {"queues up to the largest answer, with little memory left",
       Answer::kKeepAlive,
       {0, std::vector<std::string>(kMaximumAnswerBytes / 40, "")},
       QueryFailed(8),
       3,
       scarce},
      // Threads take their stacks at the size of the process's own.
      {"no room for the call's thread", Answer::kKeepAlive, {}, QueryFailed(1450), 2, 1LL << 30, 4LL << 30},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.addressSpace && !alone) continue;
    FakeScheduler fake(Path(), row.answer, row.reply);
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult run = RunProbe(Path(), ProcessOptions::Stdout::kCaptured, row.addressSpace, row.stack);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (row.whole) {
      EXPECT_EQ(run.out.substr(0, 2 * row.output.size()), row.output);
      EXPECT_EQ(run.out.size(), row.output.size());
    } else {
      EXPECT_TRUE(EndsWith(run.out, row.output)) << run.out.substr(0, 1000);
    }
    EXPECT_TRUE(run.exited && run.status == 0) << run.err;
    EXPECT_LT(seconds, row.seconds + (alone ? 0 : 10)) << "valgrind adds its own start-up";
    if (alone) {
      EXPECT_LE(run.maxRssKb, 64 * 1024);
    }
  }
}

}  // namespace

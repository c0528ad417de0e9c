// printer-probe run whole against a CUPS scheduler of the test's own: what a
// user sees is what the print system holds, however it changes meanwhile.
//
// PRINTER_PROBE names the program; PROBE_RUNNER may wrap it (valgrind).

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "private-scheduler.h"
#include "process.h"
#include "report-lines.h"

namespace {

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
  // Both listings are the destinations lpstat lists to the same user, as
  // many as the fill reports counted.
  static void ExpectListsWhatLpstatLists(const std::string& out, size_t queues, const std::string& user = "") {
    const std::vector<std::string> listed = scheduler_->LpstatNames(user);
    ASSERT_EQ(listed.size(), queues);
    EXPECT_EQ(Listing(out, "Printing ASCII results:"), listed) << out;
    EXPECT_EQ(Listing(out, "Printing WIDE results:"), listed) << out;
    EXPECT_EQ(Count(out, " represent " + std::to_string(queues) + " structures of size "), 2u) << out;
    EXPECT_TRUE(EndsWith(out, kPrompt));
  }
  static PrivateScheduler* scheduler_;
};

PrivateScheduler* ProbeAgainstCups::scheduler_ = nullptr;

// Where the probe stops at its first call: a scheduler with no queues, none
// at all, and one that refuses every request, as a locked-down one does.
TEST_F(ProbeAgainstCups, StopsAtTheFirstCall) {
  PrivateScheduler refusing(PrivateScheduler::Kind::kRefusing);
  ASSERT_TRUE(refusing.started());
  const std::pair<std::string, std::string> rows[] = {
      {scheduler_->socket(), "EnumPrintersA(1) succeeded with NULL buffer. Exiting...\n"},
      {scheduler_->folder() + "/no-such.sock", QueryFailed("EnumPrintersA", 1722)},
      {refusing.socket(), QueryFailed("EnumPrintersA", 5)},
  };
  for (const auto& [server, line] : rows) {
    const ProcessResult run = RunProbe(server);
    EXPECT_EQ(run.out, line + kPrompt);
    EXPECT_TRUE(run.exited && run.status == 0) << run.err;
  }
}

// Why this suite cannot run the probe as another user, or "": that takes
// root. The program is copied where that user can run it, as the build may
// lie in a folder of root's own.
std::string NoOtherUser(const std::string& user, const std::string& folder, std::string* program) {
  if (geteuid() != 0) return "the suite is not root, so it cannot run the probe as " + user;
  *program = folder + "/printer-probe";
  const char* const copy =
      "chmod 711 \"$1\" && cp \"$2\" \"$3\" && chmod 755 \"$3\" && runuser -u \"$4\" -- test -x \"$3\"";
  ProcessOptions options;
  options.argv = {"sh", "-c", copy, "sh", folder, Env("PRINTER_PROBE", "printer-probe"), *program, user};
  const ProcessResult made = RunProcess(options);
  return made.exited && made.status == 0 ? "" : "the probe cannot be run as " + user + ": " + made.err;
}

// Every queue of every kind an administrator or cups-browsed makes, as
// lpstat lists them to root and to another user: names in several scripts;
// queues that forward to another server (the default among them), raw, an
// IPP Everywhere URI, an implicit class and a local class; and queues an
// access list allows to one user alone, or keeps from them.
TEST_F(ProbeAgainstCups, BothListingsShowEveryQueueLpstatLists) {
  const std::string other = "nobody";
  const std::vector<std::pair<std::string, std::vector<std::string>>> queues = {
      {"office-laser", {}},
      {"Drucker_K\u00FCche", {}},                                                        // Latin with a diaeresis
      {"\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA", {}},                                      // Chinese
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBD\xD1\x82\xD0\xB5\xD1\x80", {}},                  // Cyrillic
      {"\xCE\x95\xCE\xBA\xCF\x84\xCF\x85\xCF\x80\xCF\x89\xCF\x84\xCE\xAE\xCF\x82", {}},  // Greek
      {"\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF", {}},                          // Japanese katakana
      {"emoji\xF0\x9F\x98\x80", {}},  // outside the Basic Multilingual Plane
      {"office", {"-v", "ipp://printserver.example/printers/office"}},
      {"office-ipps", {"-v", "ipps://printserver.example:631/printers/office-ipps"}},
      {"office-raw", {"-v", "ipp://printserver.example/printers/office-raw", "-m", "raw"}},
      {"floor2", {"-v", "ipp://printserver.example/classes/floor2"}},
      {"everywhere", {"-v", "ipp://192.0.2.5/ipp/print"}},
      {"cluster", {"-v", "implicitclass://cluster/"}},
      {"office-laser", {"-c", "team"}},
      {"floor2", {"-v", "ipp://printserver.example/classes/floor2", "-d", "floor2"}},
      {"only-" + other, {"-u", "allow:" + other}},
      {"not-" + other, {"-u", "deny:" + other}},
  };
  for (const auto& [queue, options] : queues) ASSERT_EQ(scheduler_->AddQueue(queue, options), "");
  const ProcessResult run = RunProbe(scheduler_->socket());
  EXPECT_TRUE(run.exited && run.status == 0) << run.err;
  ExpectListsWhatLpstatLists(run.out, 16);  // root may use every queue, the class "team" among them

  ProcessOptions asOther;
  const std::string cannot = NoOtherUser(other, scheduler_->folder(), &asOther.program);
  if (!cannot.empty()) GTEST_SKIP() << cannot;
  asOther.argv = {"runuser", "-u", other, "--"};
  const ProcessResult otherRun = RunProbe(scheduler_->socket(), asOther);
  EXPECT_TRUE(otherRun.exited && otherRun.status == 0) << otherRun.err;
  ExpectListsWhatLpstatLists(otherRun.out, 15, other);
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
  EXPECT_TRUE(run.exited && run.status == 0) << run.err;
  ExpectListsWhatLpstatLists(run.out, 1003);
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

// Each run sees the queues as they are at each call: it either lists as many
// as its fill call counted, or the fill call finds its buffer too small and
// says so.
TEST_F(ProbeAgainstCups, QueuesComingAndGoingDuringTheRuns) {
  ASSERT_EQ(scheduler_->AddQueue("office-laser"), "");
  ASSERT_EQ(scheduler_->AddQueue("Drucker_K\u00FCche"), "");
  const WhileTheCaseRuns churn([](const std::atomic<bool>& stop) {
    for (int i = 0; !stop; ++i) {
      const std::string name = "churn-" + std::to_string(i % 7) + std::string(static_cast<size_t>(i % 5) * 9, 'x');
      scheduler_->AddQueue(name);
      if (i % 2) scheduler_->DeleteQueue(name);
    }
  });
  int completed = 0, raced = 0;
  for (int run = 0; run < 25; ++run) {
    const ProcessResult result = RunProbe(scheduler_->socket());
    ASSERT_TRUE(result.exited && result.status == 0) << result.err;
    const std::string& out = result.out;
    ASSERT_TRUE(EndsWith(out, kPrompt)) << out;
    if (std::regex_search(out, std::regex("EnumPrinters[AW]\\(2\\) failed with 122\\(0x0000007A\\). Exiting...\n"))) {
      ++raced;
      continue;
    }
    for (const char* width : {"A", "W"}) {
      std::smatch fill;
      ASSERT_TRUE(std::regex_search(out, fill,
                                    std::regex(std::string("EnumPrinters") + width +
                                               "\\(2\\) copied [0-9]+ bytes .* represent ([0-9]+) structures")))
          << out;
      const std::string heading = std::string("Printing ") + (width[0] == 'A' ? "ASCII" : "WIDE") + " results:";
      EXPECT_EQ(Listing(out, heading).size(), std::stoul(fill[1])) << out;
    }
    EXPECT_EQ(out.find("lie outside the buffer"), std::string::npos) << out;
    ++completed;
  }
  RecordProperty("completed", completed);
  RecordProperty("raced", raced);
  EXPECT_GT(completed, 0);
}

}  // namespace

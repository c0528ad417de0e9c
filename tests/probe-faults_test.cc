// printer-probe against a scheduler that misbehaves on purpose (a fake one
// of the test's own): answers no real cupsd gives, and a scheduler that goes
// away or falls silent part way through a run; and against what lies
// between it and a scheduler across a network: TLS, a proxy named in the
// environment, a name server. Each run still ends with its own words, the
// prompt and 0, in time and in bounded memory.
//
// PRINTER_PROBE names the program; PROBE_RUNNER may wrap it (valgrind).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake-scheduler.h"
#include "private-scheduler.h"
#include "process.h"
#include "report-lines.h"

namespace {

const std::vector<std::string> kNames = {"p0", "p1", "p2"};
// The limits the man page promises: 5 s of silence, 8 s a call in all, and
// an answer of at most 3,321,024 bytes once decoded.
const int kSilence = 5, kCall = 8;
const size_t kLargestAnswer = 3321024;

class ProbeAgainstABrokenScheduler : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.empty());
    RemoveWhenGone(folder_);
  }
  void TearDown() override { RemoveFolder(folder_); }
  std::string Path() const { return folder_ + "/fake.sock"; }
  std::string folder_ = MakeTemporaryFolder();
};

// What a run writes when its narrow size query fails with code.
std::string StoppedAtFirst(uint32_t code) {
  return QueryFailed("EnumPrintersA", code) + kPrompt;
}

const FakeReply kUsual;
FakeReply Status(uint16_t status) {
  return {status, {}};
}
FakeReply AnsweringWell(int requests) {
  return {0, kNames, 0, requests};
}

// How a row's probe reaches its scheduler: the fake's socket; over TCP, a
// socat front of it, plain, TLS, or at ::1 named without brackets or with; a
// private cupsd across a network; or a name that no name server answers for.
enum class Via { kSocket, kTcp, kTls, kIpv6, kIpv6InBrackets, kAcrossANetwork, kUnansweredName };

// Why no namespace of its own can be made for a run here (not root), or "".
std::string NoNamespace() {
  ProcessOptions options;
  options.argv = {"unshare", "--mount", "--net", "true"};
  const ProcessResult made = RunProcess(options);
  return made.exited && made.status == 0 ? ""
                                         : "no namespace can be made here: " + made.err.substr(0, made.err.find('\n'));
}

// Why this machine has no IPv6 loopback address, or "".
std::string NoIpv6() {
  std::ifstream file("/proc/net/if_inet6");
  const std::string addresses{std::istreambuf_iterator<char>(file), {}};
  return addresses.find(std::string(31, '0') + "1 ") == std::string::npos ? "no ::1 in /proc/net/if_inet6" : "";
}

// A name server that takes every question in and never answers: a UDP
// socket on port 53 of a loopback address of this process's own, named in
// a resolv.conf that a run through wrapper sees in place of the machine's,
// in a mount namespace of its own.
class SilentNameServer {
 public:
  explicit SilentNameServer(const std::string& folder) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000000 | (static_cast<uint32_t>(getpid()) & 0xFFFFFF));
    address.sin_port = htons(53);
    char name[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, name, sizeof name);
    listening = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    // glibc waits 30 s at most for an answer.
    std::ofstream(folder + "/resolv.conf") << "nameserver " << name << "\noptions timeout:30 attempts:1\n";
    const char* const script = "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"";
    wrapper = {"unshare", "--mount", "sh", "-c", script, folder + "/resolv.conf"};
  }
  ~SilentNameServer() { close(fd_); }
  SilentNameServer(const SilentNameServer&) = delete;
  SilentNameServer& operator=(const SilentNameServer&) = delete;

  bool listening = false;
  std::vector<std::string> wrapper;

 private:
  int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// The least address space, to a MiB, in which the probe lists a few queues:
// with a little more, a flood of them is more than it can hold. What the
// program itself takes varies from machine to machine.
long long LeastAddressSpace(const std::string& path) {
  FakeScheduler fake(path, FakeScheduler::Answer::kKeepAlive);
  long long fails = 4 << 20, lists = 512 << 20;
  while (lists - fails > (1 << 20)) {
    ProcessOptions options;
    options.addressSpaceLimit = (fails + lists) / 2;
    (EndsWith(RunProbe(path, options).out, Listings(kNames) + kPrompt) ? lists : fails) = options.addressSpaceLimit;
  }
  return lists;
}

// However a server misbehaves, each call ends within its limit, in bounded
// memory, with one line: the probe's own line, the prompt and 0. The four
// calls share one connection, answered without "100 Continue"; one that the
// server closed since its last answer is opened again, and a request whose
// answer had begun is never sent again. Whatever stands between, the probe
// goes straight to the scheduler, over TLS where it is asked to, and a
// name lookup that never ends is a call that does.
TEST_F(ProbeAgainstABrokenScheduler, EveryCallEndsInTimeInBoundedMemory) {
  using Answer = FakeScheduler::Answer;
  // valgrind and AddressSanitizer need far more room than any cap leaves.
  const bool alone = Env("PROBE_RUNNER", "").empty() && !kUnderAddressSanitizer;
  // Rows with a cap run alone; the -1 only marks the row as one.
  const long long scarce = alone ? LeastAddressSpace(Path()) + (2 << 20) : -1;
  const std::string listed = Listings(kNames) + kPrompt;
  // Rows that need namespaces or IPv6 are left out where there are none,
  // and the case then says so.
  const std::string noNamespace = NoNamespace(), noIpv6 = NoIpv6();
  std::unique_ptr<PrivateScheduler> across;
  std::unique_ptr<SilentNameServer> nameServer;
  if (noNamespace.empty()) {
    across = std::make_unique<PrivateScheduler>(PrivateScheduler::Kind::kAcrossANetwork);
    ASSERT_TRUE(across->started());
    for (const std::string& name : kNames) ASSERT_EQ(across->AddQueue(name), "");
    nameServer = std::make_unique<SilentNameServer>(folder_);
    ASSERT_TRUE(nameServer->listening);
  }
  const std::vector<std::pair<std::string, std::string>> always = {{"CUPS_ENCRYPTION", "Always"}}, plain;
  const FakeReply lone{0, {"lone"}};
  // Where libcurl would find a proxy, naming one that refuses connections.
  const std::string refusing = "http://127.0.0.1:1";
  const std::vector<std::pair<std::string, std::string>> proxied = {
      {"http_proxy", refusing}, {"HTTP_PROXY", refusing}, {"https_proxy", refusing}, {"HTTPS_PROXY", refusing},
      {"all_proxy", refusing},  {"ALL_PROXY", refusing},  {"no_proxy", ""},          {"NO_PROXY", ""}};
  // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): a table, in the order it reads best
  const struct {
    const char* what;
    Answer answer;
    FakeReply reply;
    std::string output;  // the whole of it, or with whole false its end
    int limit;           // the probe's limit the row waits out, in seconds, or 0
    bool whole = true;
    bool again = false;          // reaches no code that another row does not: left out under valgrind
    int connections = 0;         // when not 0, those the run made
    long long addressSpace = 0;  // a cap on the probe's, or 0
    Via via = Via::kSocket;
    std::vector<std::pair<std::string, std::string>> env = {};  // added to the probe's
    std::string server = {};                                    // in place of the one via names
  } rows[] = {
      {"every request answered, one connection", Answer::kKeepAlive, kUsual, listed, 0, false, false, 1},
      {"a connection closed after each answer", Answer::kOneAnswerEach, kUsual, listed, 0, false, false, 4},
      {"an answer cut off after it began", Answer::kCutTheSecond, kUsual, QueryFailed("EnumPrintersW", 1726) + kPrompt,
       0, false, false, 1},
      {"forbidden, inside IPP", Answer::kKeepAlive, Status(0x0401), StoppedAtFirst(5), 0},
      {"not authorized, inside IPP", Answer::kKeepAlive, Status(0x0403), StoppedAtFirst(5), 0, true, true},
      {"service unavailable, inside IPP", Answer::kKeepAlive, Status(0x0502), StoppedAtFirst(1722), 0},
      {"another error, inside IPP", Answer::kKeepAlive, Status(0x0500), StoppedAtFirst(1726), 0},
      {"gone after the size queries", Answer::kGoneAfter, AnsweringWell(2), FillFailed("EnumPrintersA", 1722) + kPrompt,
       0, false},
      {"gone before the wide fill", Answer::kGoneAfter, AnsweringWell(3),
       Copied("EnumPrintersA", 81, 3) + FillFailed("EnumPrintersW", 1722) + kPrompt, 0, false, true},
      {"silent from the first request", Answer::kSilentAfter, AnsweringWell(0), StoppedAtFirst(1460), kSilence},
      {"silent from the fills", Answer::kSilentAfter, AnsweringWell(2), FillFailed("EnumPrintersA", 1460) + kPrompt,
       kSilence, false, true},
      {"endless 100 Continue", Answer::kEndlessContinue, kUsual, StoppedAtFirst(1460), kCall, true, true},
      {"an answer a byte at a time", Answer::kTrickle, kUsual, StoppedAtFirst(1460), kCall, true, true},
      {"an answer left unfinished, then endless 100 Continue", Answer::kUnfinished, kUsual,
       Needs("EnumPrintersA", 81) + QueryFailed("EnumPrintersW", 1460) + kPrompt, kCall},
      {"an HTML page", Answer::kNotIpp, kUsual, StoppedAtFirst(1726), 0},
      {"an answer cut off, the connection kept", Answer::kTruncated, kUsual, StoppedAtFirst(1726), kSilence},
      {"printers without end", Answer::kEndless, kUsual, StoppedAtFirst(1726), 0},
      {"header lines over 32 KiB", Answer::kLongHeaders, kUsual, StoppedAtFirst(1726), 0},
      {"a password demanded at once", Answer::kPasswordAtOnce, kUsual, StoppedAtFirst(5), 0},
      {"distinct attributes up to the largest answer", Answer::kKeepAlive, FakeReply{0, kNames, kLargestAnswer}, listed,
       0, false},
      {"queues up to the largest answer, with little memory left", Answer::kKeepAlive,
       FakeReply{0, std::vector<std::string>(kLargestAnswer / 40, "")}, StoppedAtFirst(8), 0, true, false, 0, scarce},
      {"each answer of no stated length, ended by closing right after its last byte", Answer::kEndedByTheClose, kUsual,
       listed, 0, false, false, 4},
      // GnuTLS says "try again" when a ticket comes after the handshake: no silence.
      {"TLS 1.3 with session tickets", Answer::kKeepAlive, kUsual, listed, 0, false, false, 1, 0, Via::kTls, always},
      {"a proxy named in the environment", Answer::kKeepAlive, kUsual, listed, 0, false, true, 0, 0, Via::kTcp,
       proxied},
      {"plain requests refused with 426 Upgrade Required", Answer::kKeepAlive, kUsual, listed, 0, false, false, 0, 0,
       Via::kAcrossANetwork},
      {"a name lookup that never ends", Answer::kKeepAlive, kUsual, StoppedAtFirst(1460), kSilence, true, false, 0, 0,
       Via::kUnansweredName},
      {"an IPv6 address without brackets", Answer::kKeepAlive, kUsual, listed, 0, false, true, 0, 0, Via::kIpv6},
      {"an answer compressed with gzip", Answer::kKeepAlive, FakeReply{0, kNames, 0, 0, true}, listed, 0, false, false,
       1},
      {"a compressed answer that decodes past the largest answer", Answer::kKeepAlive,
       FakeReply{0, std::vector<std::string>(40000, std::string(200, 'x')), 0, 0, true}, StoppedAtFirst(1726), 0},
      {"a chunk size that is no number", Answer::kBadChunkSize, kUsual, StoppedAtFirst(1726), 0},
      // One refusal a run, or the fake's next one fails it; one connection
      // (over plain TCP, socat's own check that it listens makes one more).
      {"an IPP System Service", Answer::kSystemService, kUsual, listed, 0, false, false, 1},
      {"an IPP System Service over TCP", Answer::kSystemService, kUsual, listed, 0, false, true, 0, 0, Via::kTcp},
      {"an IPP System Service at an IPv6 address in brackets", Answer::kSystemService, kUsual, listed, 0, false, false,
       0, 0, Via::kIpv6InBrackets},
      {"an IPP System Service over TLS", Answer::kSystemService, kUsual, listed, 0, false, true, 1, 0, Via::kTls,
       always},
      {"a lone IPP printer", Answer::kLonePrinter, lone, Listings({"lone"}) + kPrompt, 0, false, false, 1},
      {"a lone IPP printer over TCP", Answer::kLonePrinter, lone, Listings({"lone"}) + kPrompt, 0, false, true, 0, 0,
       Via::kTcp},
      {"a lone IPP printer over TLS", Answer::kLonePrinter, lone, Listings({"lone"}) + kPrompt, 0, false, true, 1, 0,
       Via::kTls, always},
      // Each refusal takes 7.5 s: the call's 8 s hold for all it asks.
      {"a lone printer refusing slowly, then a byte at a time", Answer::kSlowRefusals, lone, StoppedAtFirst(1460),
       kCall},
      {"a printer-type of 2 bytes", Answer::kKeepAlive, FakeReply{0, kNames, 0, 0, false, 2}, StoppedAtFirst(1726), 0},
      // A link-local address with its zone, in each form libcups reads.
      {"a link-local address in brackets", Answer::kKeepAlive, kUsual, listed, 0, false, false, 0, 0,
       Via::kAcrossANetwork, plain, "[fe80::1%v0]:8631"},
      {"a link-local address without brackets", Answer::kKeepAlive, kUsual, listed, 0, false, true, 0, 0,
       Via::kAcrossANetwork, plain, "fe80::1%v0:8631"},
      {"a link-local address as libcups writes it", Answer::kKeepAlive, kUsual, listed, 0, false, true, 0, 0,
       Via::kAcrossANetwork, plain, "[v1.fe80::1+v0]:8631"},
  };
  const auto check = [&](const auto& row, const std::string& path) {
    SCOPED_TRACE(row.what);
    FakeScheduler fake(path, row.answer, row.reply);
    const bool ipv6 = row.via == Via::kIpv6 || row.via == Via::kIpv6InBrackets;
    const bool tcp = row.via == Via::kTcp || row.via == Via::kTls || ipv6;
    const std::unique_ptr<SocatFront> front(tcp ? new SocatFront(path, row.via == Via::kTls, ipv6) : nullptr);
    ProcessOptions options;
    options.addressSpaceLimit = row.addressSpace;
    options.env = row.env;
    std::string server = front ? front->address() : path;
    if (row.via == Via::kIpv6InBrackets && !server.empty()) server = "[::1]" + server.substr(3);
    if (row.via == Via::kAcrossANetwork) {
      server = row.server.empty() ? PrivateScheduler::kAcrossANetwork : row.server;
      options.argv = across->Across();
    } else if (row.via == Via::kUnansweredName) {
      server = "cups.printer-probe.test";  // in no hosts file
      options.argv = nameServer->wrapper;
    }
    ASSERT_FALSE(server.empty()) << "socat did not start";
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult run = RunProbe(server, options);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (row.whole) {
      EXPECT_EQ(run.out.substr(0, 2 * row.output.size()), row.output);
      EXPECT_EQ(run.out.size(), row.output.size());
    } else {
      EXPECT_TRUE(EndsWith(run.out, row.output)) << run.out.substr(0, 1000);
    }
    EXPECT_TRUE(run.exited && run.status == 0) << run.err;
    // A row that waits out a limit must not end before it, nor hang past
    // it; a margin keeps a busy machine from failing a sound run. Under
    // valgrind or ASan the program's own start-up can take longer than any
    // limit: a hang still shows there, as RunProcess ends the run and its
    // line never comes. Every other row is judged by what it printed.
    if (row.limit) {
      EXPECT_GE(seconds, row.limit);
      if (alone) {
        EXPECT_LT(seconds, 2 * row.limit + 5);
      }
    }
    if (alone) {
      EXPECT_LE(run.maxRssKb, 64 * 1024);
    }
    if (row.connections) {
      EXPECT_EQ(fake.connections(), row.connections);
    }
  };
  // The rows that wait out the probe's limits wait side by side, on threads
  // of their own, while the others run one after another.
  std::vector<std::future<void>> waiting;
  std::string skipped;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto& row = rows[i];
    if ((row.addressSpace && !alone) || (row.again && !Env("PROBE_RUNNER", "").empty())) continue;
    const bool namespaced = row.via == Via::kAcrossANetwork || row.via == Via::kUnansweredName;
    std::string cannot = namespaced                                                 ? noNamespace
                         : row.via == Via::kIpv6 || row.via == Via::kIpv6InBrackets ? noIpv6
                                                                                    : "";
    if (cannot.empty() && !row.server.empty() && !across->linkLocal())
      cannot = "no link-local address could be made in a network namespace";
    if (!cannot.empty()) {
      skipped += std::string("\n  ") + row.what + ": " + cannot;
      continue;
    }
    const std::string path = Path() + std::to_string(i);
    if (row.limit)
      waiting.push_back(std::async(std::launch::async, [&check, &row, path] { check(row, path); }));
    else
      check(row, path);
  }
  for (auto& row : waiting) row.get();
  if (!skipped.empty()) GTEST_SKIP() << "these rows were left out:" << skipped;
}

// A scheduler somebody else runs may send names that would drive the
// terminal: every control character, and malformed UTF-8, shows as U+FFFD
// in both listings; names in any script stay as they are, however long.
TEST_F(ProbeAgainstABrokenScheduler, NamesCannotDriveTheTerminal) {
  const std::string r = "\xEF\xBF\xBD";
  const std::string wide(300, 'w');
  FakeScheduler fake(Path(), FakeScheduler::Answer::kKeepAlive,
                     {0,
                      {"evil\x1B]0;pwned\x07tail", "clear\x1B[2J x", "line\n  Item 9\n    pPrinterName: [forged",
                       "c1\xC2\x9B[2J del\x7F bad\xFF", "Drucker_K\u00FCche \xE6\x89\x93", wide}});
  const std::string tail = Listings({"evil" + r + "]0;pwned" + r + "tail", "clear" + r + "[2J x",
                                     "line" + r + "  Item 9" + r + "    pPrinterName: [forged",
                                     "c1" + r + "[2J del" + r + " bad" + r, "Drucker_K\u00FCche \xE6\x89\x93", wide}) +
                           kPrompt;
  EXPECT_TRUE(EndsWith(RunProbe(Path()).out, tail));
}

TEST_F(ProbeAgainstABrokenScheduler, StandardOutputClosedOrItsReaderGone) {
  FakeScheduler fake(Path(), FakeScheduler::Answer::kKeepAlive);
  for (auto stdoutTo : {ProcessOptions::Stdout::kClosed, ProcessOptions::Stdout::kReaderGone}) {
    ProcessOptions options;
    options.stdoutTo = stdoutTo;
    const ProcessResult run = RunProbe(Path(), options);
    EXPECT_TRUE(run.exited) << "ended by a signal";
    EXPECT_EQ(run.status, 0);
  }
}

}  // namespace

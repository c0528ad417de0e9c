// The layer against a real scheduler of the test's own: the two-call
// protocol, the records it lays out, and its failure codes.

#include "winspool-cups.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fake-scheduler.h"
#include "last-error.h"
#include "private-scheduler.h"

namespace {

class LayerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scheduler_ = new PrivateScheduler;
    ASSERT_TRUE(scheduler_->started());
  }
  static void TearDownTestSuite() {
    delete scheduler_;
    scheduler_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(scheduler_ && scheduler_->started());
    cupsSetServer(scheduler_->socket().c_str());
    ASSERT_EQ(scheduler_->DeleteAllQueues(), "");
  }
  void TearDown() override { cupsSetServer(nullptr); }

  static PrivateScheduler* scheduler_;
};

PrivateScheduler* LayerTest::scheduler_ = nullptr;

// One call of either width, with guard bytes after the buffer it is given.
struct Call {
  BOOL ok;
  DWORD error, needed, returned;
  std::vector<uint64_t> storage;  // 8-byte aligned, like calloc's blocks
  LPBYTE buffer() { return reinterpret_cast<LPBYTE>(storage.data()); }
};

const unsigned char kGuard = 0xA5;

template <typename Enum>
Call Enumerate(Enum enumPrinters, DWORD size, bool withBuffer = true, DWORD flags = PRINTER_ENUM_LOCAL,
               DWORD level = 4) {
  Call call{};
  call.storage.assign(size / 8 + 8, 0);
  std::memset(call.buffer() + size, kGuard, call.storage.size() * 8 - size);
  call.needed = call.returned = 0xDEADBEEF;
  SetLastError(0);
  call.ok =
      enumPrinters(flags, nullptr, level, withBuffer ? call.buffer() : nullptr, size, &call.needed, &call.returned);
  call.error = GetLastError();
  for (size_t at = size; at < call.storage.size() * 8; ++at)
    if (call.buffer()[at] != kGuard) ADD_FAILURE() << "written past cbBuf at byte " << at;
  return call;
}

TEST_F(LayerTest, NoQueuesIsSuccessWithNothingNeeded) {
  for (const Call& call : {Enumerate(EnumPrintersA, 0, false), Enumerate(EnumPrintersW, 0, false)}) {
    EXPECT_TRUE(call.ok);
    EXPECT_EQ(call.needed, 0u);
    EXPECT_EQ(call.returned, 0u);
  }
}

// Each name with its record's attributes, whatever the order the scheduler
// lists them in: its sort compares plain char, whose sign varies.
template <typename Record, typename Char, typename Enum>
void ExpectTwoCallProtocol(Enum enumPrinters, const std::map<std::basic_string<Char>, DWORD>& expected) {
  const Call query = Enumerate(enumPrinters, 0, false);
  ASSERT_FALSE(query.ok);
  EXPECT_EQ(query.error, ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(query.needed, expected.size() * sizeof(Record));

  const Call tooSmall = Enumerate(enumPrinters, query.needed - 1);
  EXPECT_FALSE(tooSmall.ok);
  EXPECT_EQ(tooSmall.error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(tooSmall.needed, query.needed);

  Call fill = Enumerate(enumPrinters, query.needed);
  ASSERT_TRUE(fill.ok) << fill.error;
  EXPECT_EQ(fill.needed, query.needed);
  ASSERT_EQ(fill.returned, expected.size());
  const Record* records = reinterpret_cast<const Record*>(fill.buffer());
  std::map<std::basic_string<Char>, DWORD> listed;
  for (DWORD i = 0; i < fill.returned; ++i) {
    const auto* name = reinterpret_cast<const unsigned char*>(records[i].pPrinterName);
    EXPECT_GE(name, fill.buffer() + expected.size() * sizeof(Record));
    EXPECT_LT(name, fill.buffer() + fill.needed);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(name) % alignof(Char), 0u);
    EXPECT_EQ(records[i].pServerName, nullptr);
    listed[records[i].pPrinterName] = records[i].Attributes;
  }
  EXPECT_EQ(listed, expected);
}

TEST_F(LayerTest, TwoCallProtocolInBothWidths) {
  const char kitchen[] = "Drucker_K\u00FCche", chinese[] = "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA";
  ASSERT_EQ(scheduler_->AddQueue(chinese), "");
  ASSERT_EQ(scheduler_->AddQueue(kitchen, {"-o", "printer-is-shared=true"}), "");
  // A queue that forwards to another server is this spooler's own, and may be its default.
  const std::vector<std::string> forwarding = {"-v", "ipp://printserver.example/classes/office-laser"};
  ASSERT_EQ(scheduler_->AddQueue("office-laser", forwarding), "");
  ASSERT_EQ(scheduler_->AddQueue("office-laser", {"-v", forwarding[1], "-d", "office-laser"}), "");
  // The default queue and the shared one say so.
  const DWORD local = PRINTER_ATTRIBUTE_LOCAL, shared = local | PRINTER_ATTRIBUTE_SHARED,
              byDefault = local | PRINTER_ATTRIBUTE_DEFAULT;
  ExpectTwoCallProtocol<PRINTER_INFO_4A, char>(EnumPrintersA,
                                               {{chinese, local}, {kitchen, shared}, {"office-laser", byDefault}});
  ExpectTwoCallProtocol<PRINTER_INFO_4W, wchar_t>(
      EnumPrintersW, {{L"\u6253\u5370\u673A", local}, {L"Drucker_K\u00FCche", shared}, {L"office-laser", byDefault}});
}

// A service that is not a CUPS scheduler gives no printer-type: its records
// claim no default or shared queue.
TEST(LayerAgainstIppServices, RecordsSayNoMoreThanTheServiceDoes) {
  const std::string folder = MakeTemporaryFolder();
  RemoveWhenGone(folder);
  FakeScheduler fake(folder + "/fake.sock", FakeScheduler::Answer::kLonePrinter, FakeReply{0, {"p0"}});
  cupsSetServer((folder + "/fake.sock").c_str());
  ExpectTwoCallProtocol<PRINTER_INFO_4A, char>(EnumPrintersA, {{"p0", PRINTER_ATTRIBUTE_LOCAL}});
  cupsSetServer(nullptr);
  RemoveFolder(folder);
}

TEST_F(LayerTest, ArgumentsTheSpoolerRefuses) {
  ASSERT_EQ(scheduler_->AddQueue("office-laser"), "");
  const auto expectRefusals = [](auto enumPrinters) {
    EXPECT_EQ(Enumerate(enumPrinters, 0, false, 0).error, ERROR_INVALID_FLAGS);
    EXPECT_EQ(Enumerate(enumPrinters, 0, false, PRINTER_ENUM_LOCAL | 0x10).error, ERROR_INVALID_FLAGS);
    EXPECT_EQ(Enumerate(enumPrinters, 0, false, PRINTER_ENUM_LOCAL, 2).error, ERROR_INVALID_LEVEL);
    EXPECT_EQ(Enumerate(enumPrinters, 64, false).error, ERROR_INVALID_USER_BUFFER);
    // Local connections are the same queues here.
    EXPECT_EQ(Enumerate(enumPrinters, 0, false, PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS).error,
              ERROR_INSUFFICIENT_BUFFER);
  };
  expectRefusals(EnumPrintersA);
  expectRefusals(EnumPrintersW);
  DWORD needed;
  SetLastError(0);
  EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(GetLastError(), RPC_X_NULL_REF_POINTER);
}

// With a connection kept to a scheduler that answers, another one named
// since is asked, and not the one the connection goes to.
TEST_F(LayerTest, NoSchedulerIsServerUnavailable) {
  ASSERT_EQ(scheduler_->AddQueue("office-laser"), "");
  ASSERT_EQ(Enumerate(EnumPrintersA, 0, false).error, ERROR_INSUFFICIENT_BUFFER);
  cupsSetServer((scheduler_->folder() + "/no-such.sock").c_str());
  EXPECT_EQ(Enumerate(EnumPrintersA, 0, false).error, RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(Enumerate(EnumPrintersW, 0, false).error, RPC_S_SERVER_UNAVAILABLE);
}

// Threads calling at once each have a connection of their own, which the
// server closes after every answer, and some calls never get an answer:
// those end in time, and no call ends another's.
TEST(LayerOnThreads, CallersAtOnceAgainstAServerThatClosesAndStalls) {
  const std::string folder = MakeTemporaryFolder();
  RemoveWhenGone(folder);
  const std::string path = folder + "/fake.sock";
  std::atomic<int> answered{0}, timedOut{0}, wrong{0};
  int stalls;
  {
    FakeScheduler fake(path, FakeScheduler::Answer::kClosesAndStalls);
    std::vector<std::thread> callers(8);
    for (std::thread& caller : callers)
      caller = std::thread([&] {
        cupsSetServer(path.c_str());
        // Until its own call stalls: the stalls then overlap.
        for (int call = 0; call < 8; ++call) {
          const DWORD error = Enumerate(EnumPrintersW, 0, false).error;
          ++(error == ERROR_INSUFFICIENT_BUFFER ? answered : error == ERROR_TIMEOUT ? timedOut : wrong);
          if (error == ERROR_TIMEOUT) break;
        }
      });
    for (std::thread& caller : callers) caller.join();
    stalls = fake.stalls();
  }
  RemoveFolder(folder);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(timedOut, stalls);
  EXPECT_GT(answered, 0);
}

// The last error is the calling thread's own: two threads whose calls fail
// with different codes each read their own, both calls made before either
// reads.
TEST(LayerOnThreads, EachThreadReadsItsOwnLastError) {
  std::atomic<int> failed{0};
  DWORD seen[2] = {};
  std::thread threads[2];
  for (int i = 0; i < 2; ++i)
    threads[i] = std::thread([&failed, &seen, i] {
      DWORD needed, returned;
      EnumPrintersA(i ? DWORD{0} : DWORD{PRINTER_ENUM_LOCAL}, nullptr, i ? 4 : 2, nullptr, 0, &needed, &returned);
      ++failed;
      while (failed < 2) std::this_thread::yield();
      seen[i] = GetLastError();
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(seen[0], ERROR_INVALID_LEVEL);
  EXPECT_EQ(seen[1], ERROR_INVALID_FLAGS);
}

}  // namespace

// The probe, run whole as a program against a scripted spooler: every stop it
// can make, byte for byte, with its exit status and the heap blocks it held.
//
// PROBE_SCRIPTED names the program and PROBE_RUNNER may wrap it (valgrind);
// PROBE_WINDOWS=32 or 64 says it is a Windows build of that many bits, to be
// run under Wine.

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "process.h"
#include "report-lines.h"
#include "wine-prefix.h"

namespace {

const int kWindowsBits = std::stoi(Env("PROBE_WINDOWS", "0"));
const bool kUnderWine = kWindowsBits != 0;
const int kPointerBytes = kUnderWine ? kWindowsBits / 8 : static_cast<int>(sizeof(void*));
const unsigned kRecord = 3 * kPointerBytes;
const int kDigits = 2 * kPointerBytes;
const bool kCrlf = kUnderWine;

// One Wine prefix for the whole run, when the program is a Windows build.
WinePrefix* winePrefix = nullptr;

class WineEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    if (!kUnderWine || !WhyWindowsBuildCannotRun(kWindowsBits).empty()) return;
    winePrefix = new WinePrefix;
    ASSERT_TRUE(winePrefix->ready()) << winePrefix->error();
  }
  void TearDown() override { delete winePrefix; }
};

testing::Environment* const wineEnvironment = testing::AddGlobalTestEnvironment(new WineEnvironment);

struct Range {
  std::string buffer;
  uint64_t first, last;
};

struct Outcome {
  std::string out;  // with line ends as LF and addresses as {addr}
  std::string rawOut;
  std::string err;
  std::vector<Range> ranges;
  bool exited;
  int status;
};

std::string Hex(const std::string& bytes) {
  std::string hex;
  char pair[3];
  for (unsigned char byte : bytes) {
    snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

// Script pieces, in the order of the calls they answer.
std::string Query(uint32_t needed) {
  return "ok=0 error=122 needed=" + std::to_string(needed) + ";";
}
std::string Failure(uint32_t error) {
  return "ok=0 error=" + std::to_string(error) + ";";
}
std::string Fill(uint32_t copied, const std::vector<const char*>& names, size_t count = SIZE_MAX) {
  std::string list;
  for (const char* name : names) list += (list.empty() ? "" : ",") + (name ? Hex(name) : "-");
  if (count == SIZE_MAX) count = names.size();
  return "ok=1 needed=" + std::to_string(copied) + " count=" + std::to_string(count) +
         (names.empty() ? "" : " names=" + list) + ";";
}

// Caps the program's memory below what a test asks it to allocate.
void LimitMemory(ProcessOptions* options, long long bytes) {
  // Under AddressSanitizer its own allocator takes the limit instead.
  if (kUnderAddressSanitizer)
    options->env.push_back(
        {"ASAN_OPTIONS", Env("ASAN_OPTIONS", "") +
                             ":allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(bytes >> 20)});
  else
    options->addressSpaceLimit = bytes;
}

Outcome RunScript(const std::string& script, long long memoryLimit = 0) {
  ProcessOptions options;
  options.argv = kUnderWine ? std::vector<std::string>{WineLoader(kWindowsBits)} : SplitWords(Env("PROBE_RUNNER", ""));
  options.argv.push_back(Env("PROBE_SCRIPTED", "probe-scripted"));
  options.env = {{"PROBE_SCRIPT", script}};
  if (memoryLimit > 0) LimitMemory(&options, memoryLimit);
  if (winePrefix) {
    const auto wine = winePrefix->env();
    options.env.insert(options.env.end(), wine.begin(), wine.end());
  }
  const ProcessResult result = RunProcess(options);

  Outcome run{"", result.out, result.err, {}, result.exited, result.status};
  // The sanitizer's notice of an allocation it refused, not the program's.
  run.err = std::regex_replace(run.err, std::regex("==[0-9]+==WARNING: AddressSanitizer failed to allocate .*\n"), "");
  std::string text = result.out;
  if (kCrlf) {
    EXPECT_EQ(Count(text, "\n"), Count(text, "\r\n")) << "a line end that is not CRLF";
    text = std::regex_replace(text, std::regex("\r\n"), "\n");
    run.err = std::regex_replace(run.err, std::regex("\r\n"), "\n");
  }
  const std::string address = "0x([0-9A-F]{" + std::to_string(kDigits) + "})";
  const std::regex range("(buffer[aw])\\[" + address + ":" + address + "\\]");
  for (std::sregex_iterator it(text.begin(), text.end(), range), end; it != end; ++it)
    run.ranges.push_back({(*it)[1], std::stoull((*it)[2], nullptr, 16), std::stoull((*it)[3], nullptr, 16)});
  run.out = std::regex_replace(text, range, "$1[{addr}:{addr}]");
  return run;
}

// A range line shows the block's first and last byte: start + size - 1, in
// the pointer's width.
void ExpectRange(const Outcome& run, size_t index, const char* buffer, uint64_t size) {
  ASSERT_LT(index, run.ranges.size());
  const Range& range = run.ranges[index];
  const uint64_t mask = kDigits >= 16 ? ~uint64_t{0} : (uint64_t{1} << (4 * kDigits)) - 1;
  EXPECT_EQ(range.buffer, buffer);
  EXPECT_NE(range.first, 0u);
  EXPECT_EQ(range.last, (range.first + size - 1) & mask) << buffer;
}

// Every run exits 0, after exactly the calls named, holding no heap block.
void ExpectCleanEnd(const Outcome& run, const std::string& calls) {
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "calls:" + calls + "\nheld: 0\n");
}

const char kRanges[] = "buffera[{addr}:{addr}]\nbufferw[{addr}:{addr}]\n";

class Probe : public testing::Test {
 protected:
  void SetUp() override {
    const std::string& why = WhyWindowsBuildCannotRun(kWindowsBits);
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

TEST_F(Probe, CompleteRunListsEveryNameOfBothResults) {
  const std::vector<const char*> names = {"office-laser", nullptr, "Drucker_K\u00FCche",
                                          "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA", "emoji\xF0\x9F\x98\x80"};
  const uint32_t neededA = 5 * kRecord + 60, neededW = 5 * kRecord + 200;
  // The fill reports print the bytes each fill call says it copied, fewer
  // here than the size asked for.
  const uint32_t copiedA = neededA - 7, copiedW = neededW - 9;
  const Outcome run = RunScript(Query(neededA) + Query(neededW) + Fill(copiedA, names) + Fill(copiedW, names));

  std::string listing;
  for (int i = 0; i < 5; ++i) listing += Item(i, names[i] ? names[i] : "NULL");
  EXPECT_EQ(run.out, Needs("EnumPrintersA", neededA) + Needs("EnumPrintersW", neededW) + kRanges +
                         Copied("EnumPrintersA", copiedA, 5, kRecord) + Copied("EnumPrintersW", copiedW, 5, kRecord) +
                         "\nPrinting ASCII results:\n" + listing + "\nPrinting WIDE results:\n" + listing + kPrompt);
  // The figures once more as literals, in case the two formulas agree on a mistake.
  EXPECT_NE(run.out.find(kRecord == 12 ? "first 60(0x0000003C) represent 5 structures of size 12\n"
                                       : "first 120(0x00000078) represent 5 structures of size 24\n"),
            std::string::npos);
  ExpectRange(run, 0, "buffera", neededA);
  ExpectRange(run, 1, "bufferw", neededW);
  ExpectCleanEnd(run, " A1 W1 A2 W2");
}

// Each stop before the listings: its one line, then the prompt, and only the
// calls that come before it.
TEST_F(Probe, EveryEarlyStopWritesItsOwnLineAndReleasesWhatItHeld) {
  struct Case {
    const char* what;
    std::string script, output, calls;
  };
  const std::string sizes = Needs("EnumPrintersA", 100) + Needs("EnumPrintersW", 200) + kRanges;
  const std::vector<Case> cases = {
      {"narrow query succeeds", "ok=1;", "EnumPrintersA(1) succeeded with NULL buffer. Exiting...\n", " A1"},
      {"narrow query fails otherwise", Failure(5), QueryFailed("EnumPrintersA", 5), " A1"},
      // The wording itself, once, with a code whose top bit is set.
      {"a code with its top bit set", Failure(0x80070005),
       "EnumPrintersA(1) failed with -2147024891(0x80070005) which is different than 122. Exiting...\n", " A1"},
      {"wide query succeeds", Query(100) + "ok=1;",
       Needs("EnumPrintersA", 100) + "EnumPrintersW(1) succeeded with NULL buffer. Exiting...\n", " A1 W1"},
      {"wide query fails otherwise", Query(100) + Failure(1722),
       Needs("EnumPrintersA", 100) + QueryFailed("EnumPrintersW", 1722), " A1 W1"},
      {"narrow fill fails", Query(100) + Query(200) + Failure(122), sizes + FillFailed("EnumPrintersA", 122),
       " A1 W1 A2"},
      {"wide fill fails", Query(100) + Query(200) + Fill(100, {}) + Failure(0xFFFFFFFF),
       sizes + Copied("EnumPrintersA", 100, 0, kRecord) + "EnumPrintersW(2) failed with -1(0xFFFFFFFF). Exiting...\n",
       " A1 W1 A2 W2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome run = RunScript(c.script);
    EXPECT_EQ(run.out, c.output + kPrompt);
    ExpectCleanEnd(run, c.calls);
  }
}

// A size no allocator can grant: the address space is capped below it where
// the platform would otherwise promise it anyway (a 64-bit Wine process needs
// some 2 GiB of it to start). The line carries calloc's own errno: ENOMEM
// from glibc; Wine's runtime leaves errno as it was.
TEST_F(Probe, ABufferThatCannotBeHadIsReportedWithErrno) {
  const uint32_t huge = 0xFFFFFF00;
  const long long limit = kWindowsBits == 32 ? 0 : kWindowsBits == 64 ? (2LL << 30) : (1LL << 30);
  const std::string errnoSeen = kUnderWine ? "0" : "12";
  const std::string failed = "calloc failed with " + Both(std::stoul(errnoSeen)) + ". Exiting...\n";

  const std::pair<std::string, std::string> rows[] = {
      {Query(huge) + Query(100), Needs("EnumPrintersA", huge) + Needs("EnumPrintersW", 100)},
      {Query(100) + Query(huge),
       Needs("EnumPrintersA", 100) + Needs("EnumPrintersW", huge) + "buffera[{addr}:{addr}]\n"},
  };
  for (const auto& [script, sizes] : rows) {
    const Outcome run = RunScript(script, limit);
    EXPECT_EQ(run.out, sizes + failed + kPrompt);
    EXPECT_EQ(run.err, "calls: A1 W1\nheld: 0\ncalloc errno: " + errnoSeen + "\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(Probe, EmptyResultsWriteTheHeadingsAlone) {
  const Outcome run = RunScript(Query(0) + Query(0) + Fill(0, {}) + Fill(0, {}));
  EXPECT_EQ(run.out, Needs("EnumPrintersA", 0) + Needs("EnumPrintersW", 0) + kRanges +
                         Copied("EnumPrintersA", 0, 0, kRecord) + Copied("EnumPrintersW", 0, 0, kRecord) +
                         "\nPrinting ASCII results:\n\nPrinting WIDE results:\n" + kPrompt);
  // A zero-byte block ends one byte before it starts.
  ExpectRange(run, 0, "buffera", 0);
  ExpectRange(run, 1, "bufferw", 0);
  ExpectCleanEnd(run, " A1 W1 A2 W2");
}

TEST_F(Probe, CountBeyondTheBufferListsOnlyTheRecordsInside) {
  const std::vector<const char*> names = {"one", "two", "three", "four", "five"};
  const uint32_t neededA = 2 * kRecord, neededW = 3 * kRecord + kRecord / 2;
  const Outcome run = RunScript(Query(neededA) + Query(neededW) + Fill(neededA, names) + Fill(neededW, names, 7));
  EXPECT_EQ(run.out, Needs("EnumPrintersA", neededA) + Needs("EnumPrintersW", neededW) + kRanges +
                         Copied("EnumPrintersA", neededA, 5, kRecord) + Copied("EnumPrintersW", neededW, 7, kRecord) +
                         "\nPrinting ASCII results:\n" + Item(0, "one") + Item(1, "two") +
                         "  Items 2 to 4 lie outside the buffer and were not read.\n"
                         "\nPrinting WIDE results:\n" +
                         Item(0, "one") + Item(1, "two") + Item(2, "three") +
                         "  Items 3 to 6 lie outside the buffer and were not read.\n" + kPrompt);
  ExpectCleanEnd(run, " A1 W1 A2 W2");
}

TEST_F(Probe, TheTwoListingsAreIndependent) {
  const Outcome run = RunScript(Query(kRecord + 10) + Query(2 * kRecord + 20) + Fill(kRecord + 10, {"only-narrow"}) +
                                Fill(2 * kRecord + 20, {"wide-0", "wide-1"}));
  EXPECT_NE(run.out.find("\nPrinting ASCII results:\n" + Item(0, "only-narrow") + "\nPrinting WIDE results:\n" +
                         Item(0, "wide-0") + Item(1, "wide-1") + kPrompt),
            std::string::npos)
      << run.out;
  ExpectCleanEnd(run, " A1 W1 A2 W2");
}

TEST_F(Probe, MalformedWideNamesAreWrittenAsReplacementCharacters) {
  // The wide name holds what a UTF-8 decoder makes of a stray byte: U+FFFD.
  const Outcome run =
      RunScript(Query(kRecord) + Query(kRecord) + Fill(kRecord, {"bad\xFF"}) + Fill(kRecord, {"bad\xFF"}));
  EXPECT_NE(run.out.find("\nPrinting WIDE results:\n" + Item(0, "bad\xEF\xBF\xBD")), std::string::npos) << run.out;
  ExpectCleanEnd(run, " A1 W1 A2 W2");
}

}  // namespace

// Test-only: a spooler that plays a script instead of asking a real one, so
// that every answer a spooler can give, sane or not, reaches the probe.
//
// PROBE_SCRIPT holds the answers to the four enumeration calls in the order
// the probe makes them (narrow query, wide query, narrow fill, wide fill),
// separated by ';'. Each answer is a list of key=value words:
//   ok=1|0      the call's result (default 0)
//   error=N     the failure code GetLastError gives after a failed call
//   needed=N    written to pcbNeeded       count=N  written to pcReturned
//   names=H,H   record names as hex UTF-8 bytes, '-' for a null name
// A fill call writes only the records that fit in the buffer it is given.
// At exit the program writes to stderr the calls it saw, how many heap
// blocks the probe still held, and the errno of any calloc that failed.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "spooler.h"
#include "utf8.h"

namespace {

struct Answer {
  bool ok = false;
  DWORD error = 31;  // ERROR_GEN_FAILURE, for calls the script did not foresee
  DWORD needed = 0;
  DWORD count = 0;
  std::vector<bool> isNull;
  std::vector<std::string> names;
};

struct Session {
  std::vector<Answer> answers;
  std::string calls;
  std::set<void*> heldBlocks;
  std::string callocFailures;           // the errno of each failed calloc
  std::deque<std::string> narrowNames;  // deques: the records point into them
  std::deque<std::wstring> wideNames;
};

Session& session() {
  static Session* instance = new Session;  // outlives every atexit handler
  return *instance;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

Answer ParseAnswer(const std::string& text) {
  Answer answer;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    const size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    if (key == "ok")
      answer.ok = value == "1";
    else if (key == "error")
      answer.error = static_cast<DWORD>(std::stoul(value, nullptr, 0));
    else if (key == "needed")
      answer.needed = static_cast<DWORD>(std::stoul(value, nullptr, 0));
    else if (key == "count")
      answer.count = static_cast<DWORD>(std::stoul(value, nullptr, 0));
    else if (key == "names") {
      std::istringstream items(value);
      std::string item;
      while (std::getline(items, item, ',')) {
        answer.isNull.push_back(item == "-");
        answer.names.push_back(item == "-" ? "" : FromHex(item));
      }
    }
  }
  return answer;
}

void Report() {
  fprintf(stderr, "calls:%s\nheld: %u\n%s", session().calls.c_str(), static_cast<unsigned>(session().heldBlocks.size()),
          session().callocFailures.c_str());
}

void LoadScript() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  const char* script = getenv("PROBE_SCRIPT");
  std::istringstream parts(script ? script : "");
  std::string part;
  while (std::getline(parts, part, ';')) session().answers.push_back(ParseAnswer(part));
  atexit(Report);
}

const Answer& NextAnswer(const char* call) {
  LoadScript();
  static const Answer unforeseen;
  static size_t made = 0;
  session().calls += std::string(" ") + call;
  const size_t index = made++;
  return index < session().answers.size() ? session().answers[index] : unforeseen;
}

// The names live in the session, outside the buffer, as a spooler may keep them.
void SetName(PRINTER_INFO_4A* record, const std::string& name) {
  session().narrowNames.push_back(name);
  record->pPrinterName = &session().narrowNames.back()[0];
}

void SetName(PRINTER_INFO_4W* record, const std::string& name) {
  session().wideNames.push_back(DecodeUtf8(name.data(), name.size()));
  record->pPrinterName = &session().wideNames.back()[0];
}

template <typename Record>
void WriteRecords(const Answer& answer, LPBYTE buffer, DWORD cbBuf) {
  const size_t fit = buffer ? cbBuf / sizeof(Record) : 0;
  for (size_t i = 0; i < answer.names.size() && i < answer.count && i < fit; ++i) {
    Record record{};
    if (!answer.isNull[i]) SetName(&record, answer.names[i]);
    std::memcpy(buffer + i * sizeof(Record), &record, sizeof record);
  }
}

template <typename Record>
BOOL Play(const char* call, LPBYTE buffer, DWORD cbBuf, LPDWORD needed, LPDWORD returned) {
  const Answer& answer = NextAnswer(call);
  *needed = answer.needed;
  *returned = answer.count;
  if (!answer.ok) {
    SetLastError(answer.error);
    return 0;
  }
  if (buffer) WriteRecords<Record>(answer, buffer, cbBuf);
  return 1;
}

}  // namespace

void* CountedCalloc(size_t count, size_t size) {
  void* block = calloc(count, size);
  const int error = errno;  // the probe reports calloc's errno, untouched by the set
  if (block)
    session().heldBlocks.insert(block);
  else
    session().callocFailures += "calloc errno: " + std::to_string(error) + "\n";
  errno = error;
  return block;
}

void CountedFree(void* block) {
  if (block && session().heldBlocks.erase(block) == 0) fprintf(stderr, "freed a block it never obtained\n");
  free(block);
}

BOOL EnumPrintersA(DWORD, LPSTR, DWORD, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  return Play<PRINTER_INFO_4A>(pPrinterEnum ? "A2" : "A1", pPrinterEnum, cbBuf, pcbNeeded, pcReturned);
}

BOOL EnumPrintersW(DWORD, LPWSTR, DWORD, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  return Play<PRINTER_INFO_4W>(pPrinterEnum ? "W2" : "W1", pPrinterEnum, cbBuf, pcbNeeded, pcReturned);
}

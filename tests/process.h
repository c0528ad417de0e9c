// Test support: runs a program to its end and keeps all it wrote.
#ifndef PRINTER_PROBE_TESTS_PROCESS_H_
#define PRINTER_PROBE_TESTS_PROCESS_H_

#include <string>
#include <utility>
#include <vector>

struct ProcessOptions {
  std::vector<std::string> argv;
  std::vector<std::pair<std::string, std::string>> env;  // added to ours
  long long addressSpaceLimit = 0;                       // bytes; 0 leaves it alone
  int timeoutSeconds = 120;
  enum class Stdout { kCaptured, kClosed, kReaderGone } stdoutTo = Stdout::kCaptured;
  std::string program;  // for RunProbe, in place of PRINTER_PROBE
};

struct ProcessResult {
  std::string out;
  std::string err;
  bool exited = false;  // false: killed by a signal, or by the timeout
  int status = -1;      // the exit status when it exited
  bool timedOut = false;
  long maxRssKb = 0;  // the child's peak resident memory
};

// The child runs in a session of its own, with no controlling terminal and
// standard input from /dev/null, as under CI.
ProcessResult RunProcess(const ProcessOptions& options);

// Whether the suites run under AddressSanitizer, as the programs they run
// then do: it reserves far more address space than any cap would leave.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

// printer-probe as the suites run it, against the scheduler at server:
// PRINTER_PROBE names it, and PROBE_RUNNER may wrap it (valgrind), run in
// turn by options.argv when that is given (nsenter, say).
ProcessResult RunProbe(const std::string& server, ProcessOptions options = {});

// The environment variable's value, or fallback when it is unset or empty.
std::string Env(const char* name, const std::string& fallback = "");

// argv for a command line split at spaces (for wrappers such as "wine").
std::vector<std::string> SplitWords(const std::string& text);

#endif  // PRINTER_PROBE_TESTS_PROCESS_H_

// Test support: a Wine prefix of the test's own, in a temporary folder, so
// that Windows builds run under Wine without touching anyone's ~/.wine.
#ifndef PRINTER_PROBE_TESTS_WINE_PREFIX_H_
#define PRINTER_PROBE_TESTS_WINE_PREFIX_H_

#include <string>
#include <utility>
#include <vector>

class WinePrefix {
 public:
  // Creates the prefix (which takes Wine a while); extraEnv is in force
  // while it is made, such as the CUPS server Wine's spooler reads.
  explicit WinePrefix(const std::vector<std::pair<std::string, std::string>>& extraEnv = {});
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  // What every Wine run needs: this prefix, quiet, and a UTF-8 locale so
  // that Wine reads the names CUPS gives it as the UTF-8 they are.
  std::vector<std::pair<std::string, std::string>> env() const;

 private:
  std::string folder_;
  bool ready_ = false;
  std::string error_;
};

// Wine's loader for a Windows build of 32 or 64 bits. Debian's `wine` goes
// through the 32-bit loader even for a 64-bit program, so each build is run
// through its own (PROBE_WINE32 and PROBE_WINE64 name them).
std::string WineLoader(int bits);

// Why this machine cannot run a Windows build of that many bits, or "" when
// it can; every reason begins with the words CTest counts as a skip
// (NO_32_BIT_CASES, from tests/CMakeLists.txt). Wine's 32-bit half may not be installed, some kernels execute no
// 32-bit program at all, and Wine may fail on its own: tried once, by asking
// the 32-bit loader its version, as nothing else tells it as surely.
const std::string& WhyWindowsBuildCannotRun(int bits);

#endif  // PRINTER_PROBE_TESTS_WINE_PREFIX_H_

// Test support: a Wine prefix of the test's own, in a temporary folder, so
// that Windows builds run under Wine without touching anyone's ~/.wine.
#ifndef PRINTER_PROBE_TEST_WINE_H_
#define PRINTER_PROBE_TEST_WINE_H_

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

#endif  // PRINTER_PROBE_TEST_WINE_H_

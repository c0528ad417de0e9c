#include "wine-prefix.h"

#include <string>

#include "private-scheduler.h"
#include "process.h"

WinePrefix::WinePrefix(const std::vector<std::pair<std::string, std::string>>& extraEnv)
    : folder_(MakeTemporaryFolder()) {
  // Should the tests end without ending the prefix's server, it ends then.
  RemoveWhenGone(folder_, {"wineserver", "--kill"}, env());

  ProcessOptions options;
  options.env = env();
  // The 64-bit loader makes the prefix, so that it can be made wherever
  // 64-bit builds run; 32-bit ones run in it too where the machine can.
  options.argv = {WineLoader(64), "wineboot", "--init"};
  options.env.insert(options.env.end(), extraEnv.begin(), extraEnv.end());
  options.timeoutSeconds = 300;
  const ProcessResult result = RunProcess(options);
  ready_ = !folder_.empty() && result.exited && result.status == 0;
  if (!ready_) {
    error_ = "wineboot failed: " + result.out + result.err;
    return;
  }
  // A server that stays up spares every later run its start-up; a daemon too.
  options.argv = {"sh", "-c", "wineserver --persistent </dev/null >/dev/null 2>&1"};
  RunProcess(options);
}

WinePrefix::~WinePrefix() {
  ProcessOptions options;
  options.argv = {"wineserver", "--kill"};
  options.env = env();
  RunProcess(options);
  RemoveFolder(folder_);
}

std::vector<std::pair<std::string, std::string>> WinePrefix::env() const {
  return {{"WINEPREFIX", folder_ + "/wine"},
          {"WINEDEBUG", "-all"},
          {"WINEDLLOVERRIDES", "mscoree,mshtml="},  // no offer to install Mono or Gecko
          {"LANG", "C.UTF-8"},
          {"LC_ALL", "C.UTF-8"}};
}

std::string WineLoader(int bits) {
  return bits == 32 ? Env("PROBE_WINE32", "/usr/lib/wine/wine") : Env("PROBE_WINE64", "/usr/lib/wine/wine64");
}

const std::string& WhyWindowsBuildCannotRun(int bits) {
  static const std::string runs;
  if (bits != 32) return runs;
  static const std::string why = [] {
    ProcessOptions options;
    options.argv = {WineLoader(32), "--version"};
    options.timeoutSeconds = 30;
    const ProcessResult result = RunProcess(options);
    if (result.exited && result.status == 0) return std::string();
    std::string words = result.out + result.err;
    while (!words.empty() && words.back() == '\n') words.pop_back();
    return "32-bit programs cannot run on this machine: " + options.argv[0] + " --version gave " +
           (result.exited ? "exit status " + std::to_string(result.status) : std::string("no exit")) +
           (words.empty() ? "" : ": " + words);
  }();
  return why;
}

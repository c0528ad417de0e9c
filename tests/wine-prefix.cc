#include "wine-prefix.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "private-scheduler.h"
#include "process.h"

#ifndef NO_32_BIT_CASES
#error "NO_32_BIT_CASES must give the words that begin a skipped 32-bit case"
#endif

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
  static const std::string why = []() -> std::string {
    std::string cannot = std::string(NO_32_BIT_CASES) + ": ";
    // What the 32-bit install step brings; a day the i386 archive is out of
    // step with the amd64 one leaves them out.
    for (const std::string& file : {WineLoader(32), std::string("/usr/lib/i386-linux-gnu/libcups.so.2")})
      if (access(file.c_str(), F_OK) != 0)
        return cannot.append("Wine's 32-bit half is not installed (wine32:i386, libcups2:i386): no ").append(file);
    ProcessOptions options;
    options.argv = {WineLoader(32), "--version"};
    // Ended early by a busy machine, it would skip the cases for a false reason.
    options.timeoutSeconds = 300;
    const ProcessResult result = RunProcess(options);
    if (result.exited && result.status == 0) return "";
    std::string words = result.out + result.err;
    while (!words.empty() && words.back() == '\n') words.pop_back();
    const std::string gave = options.argv[0] + " --version gave " +
                             (result.exited ? "exit status " + std::to_string(result.status) : "no exit") +
                             (words.empty() ? "" : ": " + words);
    // The kernel's own words when it executes no 32-bit program at all.
    if (words.find(strerror(ENOEXEC)) != std::string::npos)
      return cannot.append("the kernel runs no 32-bit program: ").append(gave);
    return cannot.append("Wine failed: ").append(gave);
  }();
  return why;
}

#include "test_wine.h"

#include "test_private_scheduler.h"
#include "test_process.h"

WinePrefix::WinePrefix(const std::vector<std::pair<std::string, std::string>>& extraEnv)
    : folder_(MakeTemporaryFolder()) {
  ProcessOptions options;
  options.argv = {"wineboot", "--init"};
  options.env = env();
  options.env.insert(options.env.end(), extraEnv.begin(), extraEnv.end());
  options.timeoutSeconds = 300;
  const ProcessResult result = RunProcess(options);
  ready_ = !folder_.empty() && result.exited && result.status == 0;
  if (!ready_) {
    error_ = "wineboot failed: " + result.out + result.err;
    return;
  }
  // A server that stays up spares every later run its start-up.
  // It lives on as a daemon: its output must not hold the pipes of RunProcess.
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

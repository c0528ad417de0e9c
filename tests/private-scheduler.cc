#include "private-scheduler.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "process.h"

#ifndef PRIVATE_CUPSD_SCRIPT
#error "PRIVATE_CUPSD_SCRIPT must name tests/private-cupsd.sh"
#endif
#ifndef WHEN_GONE_SCRIPT
#error "WHEN_GONE_SCRIPT must name tests/when-gone.sh"
#endif

std::string MakeTemporaryFolder() {
  std::string pattern = "/tmp/printer-probe-test.XXXXXX";
  return mkdtemp(&pattern[0]) ? pattern : "";
}

void RemoveFolder(const std::string& folder) {
  if (folder.empty()) return;
  ProcessOptions options;
  options.argv = {"rm", "-rf", folder};
  RunProcess(options);
}

void RemoveWhenGone(const std::string& folder, const std::vector<std::string>& command,
                    const std::vector<std::pair<std::string, std::string>>& env) {
  if (folder.empty()) return;
  ProcessOptions options;
  options.env = env;
  // The watcher lives on as a daemon, so its output must not hold the pipes
  // of RunProcess.
  const std::string asDaemon = "setsid \"$@\" </dev/null >/dev/null 2>&1 &";
  options.argv = {"sh", "-c", asDaemon, "sh", WHEN_GONE_SCRIPT, std::to_string(getpid()), folder};
  options.argv.insert(options.argv.end(), command.begin(), command.end());
  RunProcess(options);
}

PrivateScheduler::PrivateScheduler(Kind kind) : kind_(kind), folder_(MakeTemporaryFolder()) {
  std::string out;
  if (folder_.empty() || !Run({PRIVATE_CUPSD_SCRIPT, "start", folder_}, &out).empty()) return;
  socket_ = out.substr(0, out.find('\n'));
  started_ = true;
}

PrivateScheduler::~PrivateScheduler() {
  Stop();
  RemoveFolder(folder_);
}

std::string PrivateScheduler::Stop() {
  if (!started_) return "";
  started_ = false;
  return Run({PRIVATE_CUPSD_SCRIPT, "stop", folder_});
}

std::vector<std::string> PrivateScheduler::Across() const {
  std::ifstream file(folder_ + "/cupsd.pid");
  std::string pid;
  file >> pid;
  return {"nsenter", "--net=/proc/" + pid + "/ns/net"};
}

std::string PrivateScheduler::Run(const std::vector<std::string>& argv, std::string* out) {
  ProcessOptions options;
  options.argv = argv;
  // HOME in the folder: no one's own lpoptions adds destinations to lpstat's.
  options.env = {{"CUPS_SERVER", socket_},
                 {"HOME", folder_},
                 {"PRIVATE_CUPSD_DENY", kind_ == Kind::kRefusing ? "1" : "0"},
                 {"PRIVATE_CUPSD_REMOTE", kind_ == Kind::kAcrossANetwork ? "1" : "0"},
                 {"PRIVATE_CUPSD_OWNER", std::to_string(getpid())}};
  const ProcessResult result = RunProcess(options);
  if (out) *out = result.out;
  if (result.exited && result.status == 0) return "";
  return argv[0] + " failed: " + result.out + result.err;
}

std::string PrivateScheduler::AddQueue(const std::string& name, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"lpadmin", "-p", name, "-E", "-v", "file:///dev/null"};
  argv.insert(argv.end(), options.begin(), options.end());
  return Run(argv);
}

std::string PrivateScheduler::DeleteQueue(const std::string& name) {
  return Run({"lpadmin", "-x", name});
}

std::string PrivateScheduler::DeleteAllQueues() {
  for (const std::string& name : LpstatNames()) {
    std::string error = DeleteQueue(name);
    if (!error.empty()) return error;
  }
  return "";
}

bool PrivateScheduler::linkLocal() const {
  return access((folder_ + "/link-local").c_str(), F_OK) == 0;
}

std::vector<std::string> PrivateScheduler::LpstatNames(const std::string& user) {
  std::string out;
  if (user.empty())
    Run({"lpstat", "-e"}, &out);
  else
    Run({"runuser", "-u", user, "--", "lpstat", "-e"}, &out);
  std::vector<std::string> names;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) names.push_back(line);
  return names;
}

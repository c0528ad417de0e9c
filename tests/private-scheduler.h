// Test support: a CUPS scheduler of the test's own (tests/private-cupsd.sh),
// with its queues added and removed through lpadmin.
#ifndef PRINTER_PROBE_TESTS_PRIVATE_SCHEDULER_H_
#define PRINTER_PROBE_TESTS_PRIVATE_SCHEDULER_H_

#include <string>
#include <utility>
#include <vector>

class PrivateScheduler {
 public:
  // A refusing one answers every request with "not authorized", as a
  // locked-down scheduler does. One across a network (root only) is reached
  // at kAcrossANetwork by programs run through Across(), and takes their
  // requests only over TLS, as private-cupsd.sh tells.
  enum class Kind { kOpen, kRefusing, kAcrossANetwork };
  // Starts it; check started().
  explicit PrivateScheduler(Kind kind = Kind::kOpen);
  ~PrivateScheduler();
  PrivateScheduler(const PrivateScheduler&) = delete;
  PrivateScheduler& operator=(const PrivateScheduler&) = delete;

  bool started() const { return started_; }
  const std::string& socket() const { return socket_; }
  const std::string& folder() const { return folder_; }
  std::vector<std::string> Across() const;
  static constexpr const char* kAcrossANetwork = "198.51.100.1:631";

  // Each returns the command's own words on failure, "" on success.
  std::string AddQueue(const std::string& name, const std::vector<std::string>& options = {});
  std::string DeleteQueue(const std::string& name);
  std::string DeleteAllQueues();
  std::string Stop();

  // The destinations as `lpstat -e` names them to this process's user, or
  // run through runuser to another.
  std::vector<std::string> LpstatNames(const std::string& user = "");
  // Whether it listens on a link-local address too (across a network).
  bool linkLocal() const;

 private:
  std::string Run(const std::vector<std::string>& argv, std::string* out = nullptr);
  Kind kind_;
  std::string folder_;
  std::string socket_;
  bool started_ = false;
};

// A folder that is removed with everything in it when the test is done.
std::string MakeTemporaryFolder();
void RemoveFolder(const std::string& folder);
// Should this process end with folder still there, killed or aborted, a
// watcher runs command (in env), if one is given, and removes folder then.
void RemoveWhenGone(const std::string& folder, const std::vector<std::string>& command = {},
                    const std::vector<std::pair<std::string, std::string>>& env = {});

#endif  // PRINTER_PROBE_TESTS_PRIVATE_SCHEDULER_H_

#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// The program to run, found on PATH as execvp would find it, and its
// environment: ours with options.env in force. A path is run as it is, so a
// file the kernel cannot execute fails with its own words (execvp would hand
// it to the shell).
std::string Program(const std::string& name) {
  const char* path = getenv("PATH");
  std::istringstream dirs(name.find('/') == std::string::npos && path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (access(dir.append("/").append(name).c_str(), X_OK) == 0) return dir;
  return name;
}
std::vector<std::string> Environment(const ProcessOptions& options) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string name(*entry, strcspn(*entry, "="));
    if (std::none_of(options.env.begin(), options.env.end(), [&](const auto& set) { return set.first == name; }))
      environment.emplace_back(*entry);
  }
  for (const auto& [name, value] : options.env) environment.push_back(std::string(name).append("=").append(value));
  return environment;
}
std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& text : strings) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Everything the child needs is made before the fork: in a process with
// threads, it may call nothing that allocates, as a lock another thread held
// at the fork (ASan's allocator's, say) stays held in the child for good.
// Why the program could not be run goes back through report.
[[noreturn]] void RunChild(const ProcessOptions& options, const char* program, char* const* argv, char* const* envp,
                           int out, int err, int report) {
  setsid();
  int null = open("/dev/null", O_RDONLY);
  dup2(null, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (options.stdoutTo == ProcessOptions::Stdout::kClosed) close(1);
  if (options.stdoutTo == ProcessOptions::Stdout::kReaderGone) {
    int gone[2];
    if (pipe(gone) == 0) {
      close(gone[0]);
      dup2(gone[1], 1);
      close(gone[1]);
    }
  }
  if (options.addressSpaceLimit > 0) {
    const rlim_t bytes = static_cast<rlim_t>(options.addressSpaceLimit);
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
  }
  execve(program, argv, envp);
  const int error = errno;
  [[maybe_unused]] const ssize_t written = write(report, &error, sizeof error);
  _exit(127);
}

}  // namespace

std::string Env(const char* name, const std::string& fallback) {
  const char* value = getenv(name);
  return value && *value ? value : fallback;
}

ProcessResult RunProbe(const std::string& server, ProcessOptions options) {
  for (std::string& word : SplitWords(Env("PROBE_RUNNER", ""))) options.argv.push_back(std::move(word));
  options.argv.push_back(options.program.empty() ? Env("PRINTER_PROBE", "printer-probe") : options.program);
  options.env.push_back({"CUPS_SERVER", server});
  return RunProcess(options);
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

namespace {

// Reads what the pipe holds now, without waiting; false at its end.
bool Drain(int fd, std::string* sink) {
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0)
      sink->append(chunk, static_cast<size_t>(got));
    else
      return got < 0 && errno == EAGAIN;
  }
}

}  // namespace

// Done when the child has exited, not when its pipes close: a child may leave
// daemons behind (Wine's services) that hold them open long after.
ProcessResult RunProcess(const ProcessOptions& options) {
  ProcessResult result;
  const std::string program = Program(options.argv[0]);
  std::vector<std::string> words = options.argv, environment = Environment(options);
  const std::vector<char*> argv = Pointers(words), envp = Pointers(environment);
  int out[2], err[2], report[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) RunChild(options, program.c_str(), argv.data(), envp.data(), out[1], err[1], report[1]);
  close(out[1]);
  close(err[1]);
  close(report[1]);
  int error = 0;
  if (read(report[0], &error, sizeof error) == sizeof error)
    result.err = "cannot run " + options.argv[0] + ": " + strerror(error) + "\n";
  close(report[0]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);

  const double deadline = Now() + options.timeoutSeconds;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int status = 0;
  for (;;) {
    poll(fds, 2, 20);
    for (int i = 0; i < 2; ++i)
      if (fds[i].fd >= 0 && !Drain(fds[i].fd, sinks[i])) fds[i].fd = -1;  // ended: poll skips it
    rusage usage{};
    if (wait4(pid, &status, WNOHANG, &usage) == pid) {
      result.maxRssKb = usage.ru_maxrss;
      break;
    }
    if (Now() > deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
  }
  Drain(out[0], &result.out);
  Drain(err[0], &result.err);
  close(out[0]);
  close(err[0]);

  result.exited = !result.timedOut && WIFEXITED(status);
  result.status = result.exited ? WEXITSTATUS(status) : -1;
  return result;
}

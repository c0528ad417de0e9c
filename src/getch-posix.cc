// _getch for terminals: one key from the controlling terminal, read raw so
// that it needs no Enter and is not echoed.

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "getch.h"

namespace {

// What a signal handler needs to put the terminal back before the process
// dies of that signal.
int ttyFd = -1;
struct termios savedSettings;

void RestoreAndDie(int number) {
  tcsetattr(ttyFd, TCSANOW, &savedSettings);
  signal(number, SIG_DFL);
  raise(number);
}

// Holds the terminal in raw mode for its lifetime; every way out of the wait
// goes through its destructor, and the deadly signals through RestoreAndDie.
class RawTerminal {
 public:
  explicit RawTerminal(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &savedSettings) != 0) return;
    struct termios raw = savedSettings;
    // ISIG off: Ctrl-C is a key like any other, not a signal.
    raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ttyFd = fd_;
    // A signal the process was told to ignore (nohup) stays ignored.
    for (int i = 0; i < kSignals; ++i) {
      previous_[i] = signal(kDeadly[i], RestoreAndDie);
      if (previous_[i] == SIG_IGN) signal(kDeadly[i], SIG_IGN);
    }
    active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (ttyFd < 0) return;
    // TCSAFLUSH drops the rest of a key that sends several bytes (an arrow,
    // a function key), so none of it reaches the shell afterwards.
    tcsetattr(fd_, TCSAFLUSH, &savedSettings);
    for (int i = 0; i < kSignals; ++i) signal(kDeadly[i], previous_[i]);
    ttyFd = -1;
  }
  bool active() const { return active_; }

 private:
  static constexpr int kSignals = 6;
  static constexpr int kDeadly[kSignals] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};
  int fd_;
  bool active_ = false;
  void (*previous_[kSignals])(int) = {};
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int _getch() {
  // Whatever the prompt said must be on the screen before the wait.
  fflush(stdout);

  // With the output in a file or a pipe, nobody saw the prompt; without a
  // controlling terminal (a service, cron, CI), nobody can press a key.
  // Either way there is nothing to wait for.
  if (!isatty(STDOUT_FILENO)) return -1;
  FileDescriptor tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0) return -1;
  RawTerminal raw(tty.get());
  if (!raw.active()) return -1;

  unsigned char key;
  ssize_t got;
  do {
    got = read(tty.get(), &key, 1);
  } while (got < 0 && errno == EINTR);
  return got == 1 ? key : -1;
}

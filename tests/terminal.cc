#include "terminal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

ProgramOnTerminal::ProgramOnTerminal(const std::vector<std::string>& argv,
                                     const std::vector<std::pair<std::string, std::string>>& env) {
  if (argv.empty() || openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
  tcgetattr(slave_, &before_);
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    dup2(slave_, 0);
    dup2(slave_, 1);
    dup2(slave_, 2);
    close(master_);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
}

ProgramOnTerminal::~ProgramOnTerminal() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

bool ProgramOnTerminal::ReadUntil(const std::string& text, int milliseconds) {
  while (screen().find(text) == std::string::npos) {
    pollfd fd = {master_, POLLIN, 0};
    if (poll(&fd, 1, milliseconds) <= 0) return false;
    char chunk[4096];
    const ssize_t got = read(master_, chunk, sizeof chunk);
    if (got <= 0) return false;
    seen_.append(chunk, static_cast<size_t>(got));
  }
  return true;
}

void ProgramOnTerminal::Press(const std::string& keys) {
  ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

bool ProgramOnTerminal::Wait(int* status, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 10) {
    ReadUntil("\x01never\x01", 10);
    if (waitpid(pid_, status, WNOHANG) == pid_) {
      reaped_ = true;
      return true;
    }
  }
  return false;
}

bool ProgramOnTerminal::WaitForRawMode(int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 10) {
    if (!(Settings().c_lflag & ECHO)) return true;
    usleep(10000);
  }
  return false;
}

termios ProgramOnTerminal::Settings() const {
  termios now;
  tcgetattr(slave_, &now);
  return now;
}

// Enough of a terminal for programs that only ever write forward, as the
// probe and Wine's console do: carriage returns go, "ESC [ n C" (cursor
// forward, which Wine's console writes for a space) is n spaces, and every
// other escape sequence shows nothing.
std::string ProgramOnTerminal::screen() const {
  std::string text;
  for (size_t at = 0; at < seen_.size(); ++at) {
    const char c = seen_[at];
    if (c == '\r') continue;
    if (c != '\x1b') {
      text += c;
      continue;
    }
    if (at + 1 >= seen_.size() || seen_[at + 1] != '[') {
      ++at;  // a two-byte escape
      continue;
    }
    size_t end = at + 2;
    while (end < seen_.size() && !(seen_[end] >= 0x40 && seen_[end] <= 0x7E)) ++end;
    if (end < seen_.size() && seen_[end] == 'C') text.append(std::max(1, atoi(&seen_[at + 2])), ' ');
    at = end;
  }
  return text;
}

void ExpectSameSettings(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(0, memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
}

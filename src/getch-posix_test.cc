// The wait for a key, on a real (pseudo-)terminal: the prompt shows, the
// program waits, one key ends it unechoed, and the terminal is left as found.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string ProgramPath() {
  const char* path = getenv("PRINTER_PROBE");
  return path ? path : "printer-probe";
}

class ProgramOnTerminal {
 public:
  ProgramOnTerminal() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    tcgetattr(slave_, &before_);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      ioctl(slave_, TIOCSCTTY, 0);
      dup2(slave_, 0);
      dup2(slave_, 1);
      dup2(slave_, 2);
      close(master_);
      // No scheduler: the probe stops at once and the run goes to the prompt.
      setenv("CUPS_SERVER", "/nonexistent/printer-probe-test.sock", 1);
      const std::string path = ProgramPath();
      execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~ProgramOnTerminal() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  bool started() const { return pid_ > 0; }

  // Reads what the program writes until text shows, or the time runs out.
  bool ReadUntil(const std::string& text, int milliseconds = 10000) {
    while (seen_.find(text) == std::string::npos) {
      pollfd fd = {master_, POLLIN, 0};
      if (poll(&fd, 1, milliseconds) <= 0) return false;
      char chunk[256];
      const ssize_t got = read(master_, chunk, sizeof chunk);
      if (got <= 0) return false;
      seen_.append(chunk, static_cast<size_t>(got));
    }
    return true;
  }

  void Press(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), (ssize_t)keys.size()); }

  // Waits for the program's end; false when it is still running at the end.
  bool Wait(int* status, int milliseconds = 10000) {
    for (int waited = 0; waited < milliseconds; waited += 10) {
      ReadUntil("\x01never\x01", 10);
      if (waitpid(pid_, status, WNOHANG) == pid_) {
        reaped_ = true;
        return true;
      }
    }
    return false;
  }

  // The prompt is out a moment before the program turns echo off to wait;
  // a key pressed in between would meet a terminal still in its old mode.
  bool WaitForRawMode() {
    for (int waited = 0; waited < 10000; waited += 10) {
      if (!(Settings().c_lflag & ECHO)) return true;
      usleep(10000);
    }
    return false;
  }

  termios Settings() const {
    termios now;
    tcgetattr(slave_, &now);
    return now;
  }
  const termios& before() const { return before_; }
  const std::string& seen() const { return seen_; }
  pid_t pid() const { return pid_; }

 private:
  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  termios before_{};
  std::string seen_;
};

void ExpectSameSettings(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(0, memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
}

// The terminal maps each line feed to CR LF on the way out.
const char kPromptOnTerminal[] = "\r\nPress a key to exit...\r\n";

TEST(KeyAtTerminal, OneKeyEndsTheWaitUnechoed) {
  ProgramOnTerminal program;
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.ReadUntil(kPromptOnTerminal)) << program.seen();
  ASSERT_TRUE(program.WaitForRawMode());
  int status;
  EXPECT_FALSE(program.Wait(&status, 300)) << "did not wait for a key";

  program.Press("x");
  ASSERT_TRUE(program.Wait(&status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Nothing after the prompt: the key was not echoed.
  EXPECT_EQ(program.seen(),
            std::string("EnumPrintersA(1) failed with 1722(0x000006BA) which is different than 122. Exiting...\r\n") +
                kPromptOnTerminal);
  ExpectSameSettings(program.Settings(), program.before());
}

TEST(KeyAtTerminal, CtrlCIsAKeyLikeAnyOther) {
  ProgramOnTerminal program;
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.ReadUntil(kPromptOnTerminal)) << program.seen();
  ASSERT_TRUE(program.WaitForRawMode());
  program.Press("\x03");
  int status;
  ASSERT_TRUE(program.Wait(&status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  ExpectSameSettings(program.Settings(), program.before());
}

TEST(KeyAtTerminal, ATerminationDuringTheWaitRestoresTheTerminal) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    ProgramOnTerminal program;
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.ReadUntil(kPromptOnTerminal)) << program.seen();
    ASSERT_TRUE(program.WaitForRawMode());
    kill(program.pid(), signal);
    int status;
    ASSERT_TRUE(program.Wait(&status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
    ExpectSameSettings(program.Settings(), program.before());
  }
}

}  // namespace

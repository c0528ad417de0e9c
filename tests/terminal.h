// Test support: a program run on a pseudo-terminal of the test's own, as its
// controlling terminal, so that it sees a real terminal (or, under Wine, gets
// a real console) and a test can read its screen and press keys.
#ifndef PRINTER_PROBE_TESTS_TERMINAL_H_
#define PRINTER_PROBE_TESTS_TERMINAL_H_

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <utility>
#include <vector>

class ProgramOnTerminal {
 public:
  // env is added to ours in the child.
  ProgramOnTerminal(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env);
  ~ProgramOnTerminal();
  ProgramOnTerminal(const ProgramOnTerminal&) = delete;
  ProgramOnTerminal& operator=(const ProgramOnTerminal&) = delete;

  bool started() const { return pid_ > 0; }

  // Reads what the program writes until the screen shows text, or the time
  // runs out.
  bool ReadUntil(const std::string& text, int milliseconds = 60000);
  void Press(const std::string& keys);
  // Waits for the program's end; false when it is still running at the end.
  bool Wait(int* status, int milliseconds = 60000);
  // The prompt is out a moment before the program turns echo off to wait;
  // a key pressed in between would meet a terminal still in its old mode.
  bool WaitForRawMode(int milliseconds = 60000);

  termios Settings() const;
  const termios& before() const { return before_; }
  // The bytes written to the terminal, and what a terminal shows of them.
  const std::string& seen() const { return seen_; }
  std::string screen() const;
  pid_t pid() const { return pid_; }

 private:
  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  termios before_{};
  std::string seen_;
};

void ExpectSameSettings(const termios& a, const termios& b);

#endif  // PRINTER_PROBE_TESTS_TERMINAL_H_

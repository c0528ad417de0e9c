// Test support: a scheduler that misbehaves on purpose, on a Unix socket, to
// show what the layer makes of answers no real cupsd gives.
#ifndef PRINTER_PROBE_TESTS_FAKE_SCHEDULER_H_
#define PRINTER_PROBE_TESTS_FAKE_SCHEDULER_H_

#include <atomic>
#include <string>
#include <thread>
#include <vector>

class FakeScheduler {
 public:
  enum class Answer {
    kWithoutContinue,  // a good answer (printers p0, p1, p2) with no "100 Continue" first
    kEndlessContinue,  // "100 Continue" every second, and nothing else
    kTrickle,          // a good answer, one byte every 200 ms
    kNotIpp,           // an HTML page
    kTruncated,        // a good answer cut off in the middle
    kEndless,          // printer after printer, without end
  };
  FakeScheduler(const std::string& path, Answer answer);
  ~FakeScheduler();
  FakeScheduler(const FakeScheduler&) = delete;
  FakeScheduler& operator=(const FakeScheduler&) = delete;

  bool listening() const { return listener_ >= 0; }

 private:
  void Serve();
  void Respond(int client) const;

  std::string path_;
  Answer answer_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> clients_;
  std::thread server_;
};

#endif  // PRINTER_PROBE_TESTS_FAKE_SCHEDULER_H_

// Test support: a scheduler that misbehaves on purpose, on a Unix socket, to
// show what the layer makes of answers no real cupsd gives, and of one that
// goes away or falls silent part way through a run.
#ifndef PRINTER_PROBE_TESTS_FAKE_SCHEDULER_H_
#define PRINTER_PROBE_TESTS_FAKE_SCHEDULER_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// What a good answer holds: its IPP status and its printers' names; with fillTo,
// the first printer also has attributes of distinct names, enough to make
// the answer that many bytes long. goodAnswers counts, over all
// connections, the requests kGoneAfter and kSilentAfter answer well first.
// With gzip, every answer comes compressed. Each printer-type is sent in
// typeBytes bytes, where IPP has 4.
struct FakeReply {
  uint16_t status = 0;
  std::vector<std::string> printers = {"p0", "p1", "p2"};
  size_t fillTo = 0;
  int goodAnswers = 0;
  bool gzip = false;
  int typeBytes = 4;
};

// A listening Unix socket at path (replacing any file there), or -1.
int ListenOnUnixSocket(const std::string& path);

class FakeScheduler {
 public:
  enum class Answer {
    kKeepAlive,        // a good answer to every request on a connection, with no "100 Continue" first
    kOneAnswerEach,    // a good answer to a connection's first request; closed at the next, as after an idle timeout
    kCutTheSecond,     // a good answer, then half of the next one and the connection closed
    kEndlessContinue,  // "100 Continue" every second, and nothing else
    kTrickle,          // a good answer, one byte every 200 ms
    kNotIpp,           // an HTML page
    kTruncated,        // a good answer cut off in the middle
    kEndless,          // printer after printer, without end
    kUnfinished,       // to the first request, a good answer whose body promises 100 bytes more;
                       // to every later one, on any connection, endless "100 Continue"
    kLongHeaders,      // a good answer with 40 KiB of header lines, past what the layer takes
    kPasswordAtOnce,   // "401 Unauthorized", asking for Basic authentication
    kClosesAndStalls,  // each answer says "Connection: close"; every fourth request, on any
                       // connection, gets endless "100 Continue" instead
    kGoneAfter,        // good answers, then at the next request the connection closed and no one listening
    kSilentAfter,      // good answers, then every request taken in and never answered
    kEndedByTheClose,  // a good answer of no stated length, "Connection: close", the connection
                       // closed right after its last byte
    kBadChunkSize,     // a chunked answer whose first chunk size is no number
    // Printers without printer-type, which only CUPS gives. A System Service
    // refuses CUPS-Get-Printers (0x0400), a lone printer Get-Printers too,
    // and each a request that does not name it in its third attribute by a
    // URI libcups could read;
    // a refusal asked for again in a run is an error (0x0500).
    kSystemService,  // Get-Printers at /ipp/system
    kLonePrinter,    // Get-Printer-Attributes at /ipp/print
    kSlowRefusals,   // a lone printer whose refusals take 7.5 s each, a byte at a time, and
                     // whose own answer comes a byte every 200 ms
  };
  FakeScheduler(const std::string& path, Answer answer, FakeReply reply = {});
  ~FakeScheduler();
  FakeScheduler(const FakeScheduler&) = delete;
  FakeScheduler& operator=(const FakeScheduler&) = delete;

  bool listening() const { return listener_ >= 0; }
  int connections() const { return connections_; }
  int stalls() const { return stalls_; }

 private:
  void Serve();
  void Respond(int client);
  // A good answer to request, or a service's refusal of it.
  std::string AnswerTo(const std::string& request);

  std::string path_;
  Answer answer_;
  FakeReply reply_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> gone_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> requests_{0};
  std::atomic<int> stalls_{0};
  std::atomic<int> refusals_{0};
  std::vector<std::thread> clients_;
  std::thread server_;
};

// socat in front of a fake scheduler, relaying a free TCP port of 127.0.0.1
// (or with ipv6 of ::1) to its socket at path; with tls it speaks TLS 1.3 there, as OpenSSL's
// servers do (session tickets after the handshake), on a certificate made
// for it. It runs in a session of its own, ended with this object, or by a
// watcher should the test be killed first.
class SocatFront {
 public:
  SocatFront(const std::string& path, bool tls, bool ipv6 = false);
  ~SocatFront();
  SocatFront(const SocatFront&) = delete;
  SocatFront& operator=(const SocatFront&) = delete;

  // "127.0.0.1:PORT" (or "::1:PORT", as CUPS_SERVER may name it) once it
  // listens; "" when it did not start.
  const std::string& address() const { return address_; }

 private:
  std::string folder_;
  int pid_ = -1;
  std::string address_;
};

#endif  // PRINTER_PROBE_TESTS_FAKE_SCHEDULER_H_

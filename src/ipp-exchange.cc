#include "ipp-exchange.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Where the peer's half-close is not told apart (outside Linux), a peer that
// stops half-way is met as a hang-up or as silence instead.
#ifndef POLLRDHUP
#define POLLRDHUP 0
#endif

namespace {

using Clock = std::chrono::steady_clock;
const auto kSilence = std::chrono::seconds(kSilenceSeconds);

// libcups calls these when a wait runs out; 0 makes it give up. Without
// one, a read that finds nothing would be tried again at once, for ever.
int GiveUp(http_t*, void*) {
  return 0;
}
int NoteSilence(http_t*, void* silent) {
  *static_cast<bool*>(silent) = true;
  return 0;
}

// Tells whether the server fell silent during one exchange; the flag lives
// no longer than the exchange, so the connection forgets it on the way out.
class SilenceWatch {
 public:
  explicit SilenceWatch(http_t* http) : http_(http) { httpSetTimeout(http_, kSilenceSeconds, NoteSilence, &silent_); }
  ~SilenceWatch() { GiveUpAfterSilence(http_); }
  SilenceWatch(const SilenceWatch&) = delete;
  SilenceWatch& operator=(const SilenceWatch&) = delete;
  bool silent() const { return silent_; }

 private:
  http_t* http_;
  bool silent_ = false;
};

// The request goes out without "Expect: 100-continue", and through calls
// that never reconnect on their own (cupsSendRequest does, after a refusal,
// a password demand or a failed write): a call's connection stays the one
// socket the layer watches.
bool Send(http_t* http, ipp_t* request) {
  // httpPost itself reconnects from a connection that is not whole.
  if (!IsWhole(http)) return false;
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
  httpSetLength(http, ippLength(request));
  if (httpPost(http, "/")) return false;
  ippSetState(request, IPP_STATE_IDLE);
  for (;;) {
    const ipp_state_t state = ippWrite(http, request);
    if (state == IPP_STATE_DATA) return true;
    if (state == IPP_STATE_ERROR) return false;
  }
}

// Follows an answer's status and header lines as libcups will read them
// (each line ends at LF, every CR is dropped, a line is taken as a C string),
// to find where they end: libcups reads block after block while the status
// stays 100 (Continue), and the blank line of any other status ends them.
class HeaderScan {
 public:
  enum Verdict { kMore, kEnd, kRefused };
  int status() const { return status_; }
  Verdict Take(char c) {
    if (c == '\r') return kMore;
    if (c != '\n') {
      line_ += c;
      return kMore;
    }
    const std::string line = line_.substr(0, line_.find('\0'));
    line_.clear();
    if (line.empty()) {
      if (status_ == 100) return kMore;
      // 101 would have libcups start TLS in the middle of the answer.
      return status_ == 101 ? kRefused : kEnd;
    }
    if (line.compare(0, 5, "HTTP/") == 0) {
      int major, minor;
      return std::sscanf(line.c_str(), "HTTP/%d.%d%d", &major, &minor, &status_) == 3 ? kMore : kRefused;
    }
    return line.find(':') == std::string::npos ? kRefused : kMore;
  }

 private:
  std::string line_;
  int status_ = 100;
};

bool PeerClosed(int fd) {
  pollfd gone = {fd, POLLRDHUP, 0};
  return poll(&gone, 1, 0) > 0 && (gone.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// libcups reads an answer's status and header lines in one call, keeping
// every line it is given; a server that never stops sending them would fill
// the memory. Before libcups reads them, they are looked at where they wait
// in the socket of a plain connection: they must end within
// kMaximumHeaderBytes, and come without a pause of kSilenceSeconds. On
// kAnswer, *status is the answer's HTTP status.
Exchanged AwaitHeaders(http_t* http, int* status) {
  // Bytes libcups has already taken in would hide the answer's start.
  if (httpGetReady(http) > 0) return Exchanged::kMalformed;
  const int fd = httpGetFd(http);
  std::vector<char> waiting(kMaximumHeaderBytes);
  HeaderScan scan;
  size_t scanned = 0;
  auto heard = Clock::now();
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    const ssize_t got = recv(fd, waiting.data(), waiting.size(), MSG_PEEK | MSG_DONTWAIT);
    if (got > static_cast<ssize_t>(scanned)) {
      for (; scanned < static_cast<size_t>(got); ++scanned) {
        const HeaderScan::Verdict verdict = scan.Take(waiting[scanned]);
        *status = scan.status();
        if (verdict == HeaderScan::kEnd) return Exchanged::kAnswer;
        if (verdict == HeaderScan::kRefused) return Exchanged::kMalformed;
      }
      if (scanned == waiting.size()) return Exchanged::kMalformed;
      heard = Clock::now();
      pause = std::chrono::milliseconds(1);
      continue;
    }
    const Exchanged failed = scanned > 0 ? Exchanged::kBroken : Exchanged::kUnanswered;
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return failed;
    if (PeerClosed(fd)) return failed;
    const auto quiet = Clock::now() - heard;
    if (quiet >= kSilence) return Exchanged::kSilent;
    if (scanned == 0) {
      // Nothing yet: wait for the first byte itself.
      pollfd first = {fd, POLLIN | POLLRDHUP, 0};
      poll(&first, 1,
           static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kSilence - quiet).count()));
    } else {
      // More of a line already begun: the socket stays readable, so the wait
      // for the rest is a pause that grows while nothing comes.
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
  }
}

// The answer's status, read past any number of "100 Continue".
http_status_t AwaitStatus(http_t* http) {
  http_status_t status;
  do {
    status = httpUpdate(http);
  } while (status == HTTP_STATUS_CONTINUE && httpGetState(http) != HTTP_STATE_WAITING);
  return status;
}

struct BlockReader {
  http_t* http;
  size_t total = 0;
  size_t at = 0;
  size_t end = 0;
  char block[32768];
};

// Reads for ReadPrinterAnswer; a read beyond kMaximumAnswerBytes fails.
ssize_t ReadBlocks(void* context, ipp_uchar_t* out, size_t wanted) {
  BlockReader* reader = static_cast<BlockReader*>(context);
  size_t done = 0;
  while (done < wanted) {
    if (reader->at == reader->end) {
      const size_t room = std::min(sizeof reader->block, kMaximumAnswerBytes - reader->total);
      if (room == 0) return -1;
      const ssize_t got = httpRead2(reader->http, reader->block, room);
      if (got <= 0) return done > 0 ? static_cast<ssize_t>(done) : got;
      reader->at = 0;
      reader->end = static_cast<size_t>(got);
      reader->total += reader->end;
    }
    const size_t count = std::min(wanted - done, reader->end - reader->at);
    std::memcpy(out + done, reader->block + reader->at, count);
    reader->at += count;
    done += count;
  }
  return static_cast<ssize_t>(done);
}

// What follows the message in the body (a chunked body's last chunk, or
// bytes a server promised and never sent), read as far as it has already
// come: the answer is whole without it. A body left unfinished makes the
// connection unfit for another request, which IsWhole tells.
void ReadWhatHasCome(http_t* http) {
  char rest[4096];
  for (size_t read = 0; read < kMaximumHeaderBytes && httpGetState(http) != HTTP_STATE_WAITING;) {
    if (httpGetReady(http) == 0 && !httpWait(http, 0)) return;
    const ssize_t got = httpRead2(http, rest, sizeof rest);
    if (got <= 0) return;
    read += static_cast<size_t>(got);
  }
}

}  // namespace

void GiveUpAfterSilence(http_t* http) {
  httpSetTimeout(http, kSilenceSeconds, GiveUp, nullptr);
}

Exchanged ExchangeIpp(http_t* http, ipp_t* request, const OnPrinter& onPrinter, int* status) {
  const SilenceWatch watch(http);
  const bool plain = !httpIsEncrypted(http);

  const bool sent = Send(http, request);
  if (plain) {
    // A server may refuse a request before it has taken the whole of it,
    // and close: its answer waits all the same.
    const Exchanged headers = AwaitHeaders(http, status);
    if (!sent) return headers == Exchanged::kAnswer && *status >= 300 ? Exchanged::kRefused : Exchanged::kUnanswered;
    if (headers != Exchanged::kAnswer) return headers;
  } else if (!sent) {
    return Exchanged::kUnanswered;
  }
  const http_status_t answered = AwaitStatus(http);
  if (answered == HTTP_STATUS_ERROR) {
    if (watch.silent()) return Exchanged::kSilent;
    // Whole header lines were waiting on a plain connection, so libcups
    // refused them. Over TLS, a connection that ended shows no more than
    // that: whether any of an answer came, nothing tells.
    const int error = httpError(http);
    return !plain && (error == EPIPE || error == ECONNRESET) ? Exchanged::kUnanswered : Exchanged::kMalformed;
  }
  if (answered != HTTP_STATUS_OK) {
    *status = answered;
    return Exchanged::kRefused;
  }

  auto reader = std::make_unique<BlockReader>();
  reader->http = http;
  // An answer that stops part way is no whole message, whether the server
  // then falls silent or closes.
  if (!ReadPrinterAnswer(ReadBlocks, reader.get(), status, onPrinter)) return Exchanged::kMalformed;
  ReadWhatHasCome(http);
  return Exchanged::kAnswer;
}

bool IsWhole(http_t* http) {
  const http_status_t status = httpGetStatus(http);
  return httpGetFd(http) >= 0 && httpGetState(http) == HTTP_STATE_WAITING && httpGetReady(http) == 0 &&
         httpGetPending(http) == 0 && status != HTTP_STATUS_ERROR && status < HTTP_STATUS_BAD_REQUEST &&
         strcasecmp(httpGetField(http, HTTP_FIELD_CONNECTION), "close") != 0;
}

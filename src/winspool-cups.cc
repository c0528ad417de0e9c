// EnumPrintersA/W over the CUPS scheduler: one CUPS-Get-Printers request per
// call, so each call sees the queues as they are at that moment.

#include "winspool-cups.h"

#include <cups/cups.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipp-exchange.h"
#include "printer-pack.h"

namespace {

// How long a call waits on a scheduler that has stopped answering, and how
// long it may take in all, however busy the scheduler keeps it.
const int kTimeoutSeconds = 5;
const auto kCallLimit = std::chrono::seconds(8);

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Connection = std::unique_ptr<http_t, HttpCloser>;
using Message = std::unique_ptr<ipp_t, IppDeleter>;

BOOL Fail(DWORD code) {
  SetLastError(code);
  return 0;
}

// A diagnostic must never stop to ask for a password.
const char* RefusePassword(const char*, http_t*, const char*, const char*, void*) {
  return nullptr;
}

// Returning 0 makes libcups abandon the request once the timeout runs out.
int GiveUp(http_t*, void*) {
  return 0;
}

DWORD ErrorFromStatus(ipp_status_t status) {
  switch (status) {
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
    case IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED:
      return ERROR_ACCESS_DENIED;
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
      return RPC_S_SERVER_UNAVAILABLE;
    default:
      return RPC_S_CALL_FAILED;
  }
}

// Ends a call that runs past its limit even while the scheduler keeps
// talking (an endless "100 Continue", an answer a byte at a time), which no
// wait timeout notices: the socket is shut down, so every read fails at once.
class Watchdog {
 public:
  Watchdog(int fd, std::chrono::milliseconds limit)
      : thread_([this, fd, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!stopped_.wait_for(lock, limit, [this] { return done_; })) {
            fired_ = true;
            shutdown(fd, SHUT_RDWR);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    stopped_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  bool fired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;  // last: it starts once the rest is ready
};

DWORD ErrorFromExchange(Exchanged exchanged, http_status_t status) {
  switch (exchanged) {
    case Exchanged::kAnswer:
      return 0;
    case Exchanged::kRefused:
      return status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_FORBIDDEN ? ERROR_ACCESS_DENIED
                                                                                   : RPC_S_CALL_FAILED;
    case Exchanged::kUnanswered:
    case Exchanged::kBroken:
      return RPC_S_SERVER_UNAVAILABLE;
    case Exchanged::kMalformed:
      break;
  }
  return RPC_S_CALL_FAILED;
}

// The connection to the scheduler, opened by a thread's first call and kept
// for its calls after it, as libcups keeps its default one: over TLS or a
// distance, each new connection costs round trips of its own. It is kept
// only for the scheduler it was opened to, and closes when the thread ends.
class KeptConnection {
 public:
  // The connection to the scheduler libcups names now, or null with
  // *error set. *reused tells whether it was kept from an earlier call.
  http_t* Get(DWORD* error, bool* reused) {
    const std::string server = cupsServer();
    const int port = ippPort();
    const http_encryption_t encryption = cupsEncryption();
    *reused = http_ && server == server_ && port == port_ && encryption == encryption_;
    if (*reused) return http_.get();

    http_.reset(httpConnect2(server.c_str(), port, nullptr, AF_UNSPEC, encryption, 1, kTimeoutSeconds * 1000, nullptr));
    if (!http_) {
      *error = errno == ETIMEDOUT ? ERROR_TIMEOUT : RPC_S_SERVER_UNAVAILABLE;
      return nullptr;
    }
    httpSetTimeout(http_.get(), kTimeoutSeconds, GiveUp, nullptr);
    server_ = server;
    port_ = port;
    encryption_ = encryption;
    return http_.get();
  }
  // After a failed exchange the connection's state is unknown: the next
  // call starts afresh.
  void Drop() { http_.reset(); }

 private:
  Connection http_;
  std::string server_;
  int port_ = 0;
  http_encryption_t encryption_ = HTTP_ENCRYPTION_IF_REQUESTED;
};

thread_local KeptConnection keptConnection;

DWORD AttributesFromType(int type) {
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  if (type & CUPS_PRINTER_DEFAULT) attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  if (!(type & CUPS_PRINTER_NOT_SHARED)) attributes |= PRINTER_ATTRIBUTE_SHARED;
  return attributes;
}

// Reads the printer groups of a CUPS-Get-Printers response, in order.
std::vector<Queue> QueuesFromResponse(ipp_t* response) {
  std::vector<Queue> queues;
  ipp_attribute_t* attr = ippFirstAttribute(response);
  while (attr) {
    while (attr && ippGetGroupTag(attr) != IPP_TAG_PRINTER) attr = ippNextAttribute(response);
    if (!attr) break;

    const char* name = nullptr;
    int type = 0;
    for (; attr && ippGetGroupTag(attr) == IPP_TAG_PRINTER; attr = ippNextAttribute(response)) {
      const char* key = ippGetName(attr);
      if (!key) continue;
      if (strcmp(key, "printer-name") == 0 && ippGetValueTag(attr) == IPP_TAG_NAME)
        name = ippGetString(attr, 0, nullptr);
      else if (strcmp(key, "printer-type") == 0 && ippGetValueTag(attr) == IPP_TAG_ENUM)
        type = ippGetInteger(attr, 0);
    }
    if (name) queues.push_back(Queue{name, AttributesFromType(type)});
  }
  return queues;
}

// One CUPS-Get-Printers exchange on http, bounded in time. Returns 0 or a
// failure code, and in *exchanged how far the exchange got.
DWORD AskForQueues(http_t* http, std::vector<Queue>* queues, Exchanged* exchanged) {
  Message request(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS));
  static const char* const kWanted[] = {"printer-name", "printer-type"};
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type", 0);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type-mask", CUPS_PRINTER_REMOTE);

  Watchdog watchdog(httpGetFd(http), kCallLimit);
  ipp_t* answer;
  http_status_t httpStatus;
  *exchanged = ExchangeIpp(http, request.get(), &answer, &httpStatus);
  if (*exchanged != Exchanged::kAnswer) {
    if (watchdog.fired() || httpError(http) == ETIMEDOUT) return ERROR_TIMEOUT;
    return ErrorFromExchange(*exchanged, httpStatus);
  }
  Message response(answer);
  const ipp_status_t status = ippGetStatusCode(response.get());
  // The scheduler answers "not found" when it has no queues at all.
  if (status == IPP_STATUS_ERROR_NOT_FOUND) return 0;
  if (status > IPP_STATUS_OK_EVENTS_COMPLETE) return ErrorFromStatus(status);

  *queues = QueuesFromResponse(response.get());
  return 0;
}

// Asks the scheduler for its own queues, printers and classes, leaving out
// the remote ones it merely knows of. Returns 0 or a failure code.
DWORD ListQueues(std::vector<Queue>* queues) {
  cupsSetPasswordCB2(RefusePassword, nullptr);
  for (;;) {
    DWORD error = 0;
    bool reused = false;
    http_t* http = keptConnection.Get(&error, &reused);
    if (!http) return error;
    Exchanged exchanged;
    error = AskForQueues(http, queues, &exchanged);
    const bool whole = exchanged == Exchanged::kAnswer || exchanged == Exchanged::kRefused;
    if (whole && httpGetState(http) == HTTP_STATE_WAITING) return error;
    // Whatever else happened leaves the connection in no state to reuse.
    keptConnection.Drop();
    // A kept connection that the scheduler has closed since (its idle
    // timeout, a restart) fails before any of the answer comes: that request
    // goes again, once, on a new connection. Nothing is sent twice that the
    // scheduler may have begun to answer, and a silent one is not waited for
    // twice.
    if (!reused || exchanged != Exchanged::kUnanswered || error == ERROR_TIMEOUT) return error;
  }
}

using Packer = DWORD (*)(const std::vector<Queue>&, LPBYTE, DWORD, DWORD*, DWORD*);

BOOL EnumPrinters(DWORD flags, DWORD level, LPBYTE buffer, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned,
                  Packer pack) {
  if (!pcbNeeded || !pcReturned) return Fail(RPC_X_NULL_REF_POINTER);
  if (!(flags & PRINTER_ENUM_LOCAL) || (flags & ~(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS)))
    return Fail(ERROR_INVALID_FLAGS);
  if (level != 4) return Fail(ERROR_INVALID_LEVEL);
  if (!buffer && cbBuf) return Fail(ERROR_INVALID_USER_BUFFER);

  std::vector<Queue> queues;
  DWORD error = ListQueues(&queues);
  if (error) return Fail(error);
  error = pack(queues, buffer, cbBuf, pcbNeeded, pcReturned);
  if (error) return Fail(error);
  return 1;
}

}  // namespace

// The name argument selects a remote print server on Windows; only the local
// one is offered here, which is what a null name asks for.
BOOL EnumPrintersA(DWORD Flags, LPSTR, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned) {
  return EnumPrinters(Flags, Level, pPrinterEnum, cbBuf, pcbNeeded, pcReturned, PackPrinterInfo4A);
}

BOOL EnumPrintersW(DWORD Flags, LPWSTR, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned) {
  return EnumPrinters(Flags, Level, pPrinterEnum, cbBuf, pcbNeeded, pcReturned, PackPrinterInfo4W);
}

// EnumPrintersA/W over the CUPS scheduler: one CUPS-Get-Printers request per
// call, so each call sees the queues as they are at that moment.

#include "winspool-cups.h"

#include <cups/cups.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "call-limit.h"
#include "ipp-exchange.h"
#include "printer-pack.h"

namespace {

// How long a call may take in all, whatever the scheduler does, and how
// much it may receive over TCP: the largest answer, its header lines, and
// the handshake of a new TLS connection.
const auto kCallLimit = std::chrono::seconds(8);
const uint64_t kMaximumCallBytes = kMaximumAnswerBytes + 2 * kMaximumHeaderBytes + (uint64_t{256} << 10);

struct HttpCloser {
  void operator()(http_t* http) const {
    // httpClose leaves the default fields it was given (libcups 2.4).
    httpSetDefaultField(http, HTTP_FIELD_USER_AGENT, nullptr);
    httpClose(http);
  }
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

DWORD ErrorFromStatus(int status) {
  switch (status) {
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
      return ERROR_ACCESS_DENIED;
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
      return RPC_S_SERVER_UNAVAILABLE;
    default:
      return RPC_S_CALL_FAILED;
  }
}

// status: the answer's IPP status, or the HTTP status it was refused with.
DWORD ErrorFromExchange(Exchanged exchanged, int status) {
  switch (exchanged) {
    case Exchanged::kAnswer:
      // The scheduler answers "not found" when it has no queues at all.
      return status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND ? 0
                                                                                             : ErrorFromStatus(status);
    case Exchanged::kRefused:
      // A diagnostic never asks for a password: a demand for one is a refusal.
      return status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_FORBIDDEN ? ERROR_ACCESS_DENIED
                                                                                   : RPC_S_CALL_FAILED;
    case Exchanged::kUnanswered:
    case Exchanged::kBroken:
      return RPC_S_SERVER_UNAVAILABLE;
    case Exchanged::kSilent:
      return ERROR_TIMEOUT;
    case Exchanged::kMalformed:
      break;
  }
  return RPC_S_CALL_FAILED;
}

DWORD AttributesFromType(int type) {
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  if (type & CUPS_PRINTER_DEFAULT) attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  if (!(type & CUPS_PRINTER_NOT_SHARED)) attributes |= PRINTER_ATTRIBUTE_SHARED;
  return attributes;
}

// A CUPS-Get-Printers request for the scheduler's own queues, printers and
// classes, leaving out the remote ones it merely knows of.
Message QueuesRequest() {
  Message request(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS));
  if (!request) throw std::bad_alloc();
  static const char* const kWanted[] = {"printer-name", "printer-type"};
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type", 0);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type-mask", CUPS_PRINTER_REMOTE);
  return request;
}

// Where libcups says the scheduler is. It keeps this for each thread apart
// (cupsSetServer sets it for its caller alone), so it is read on the
// calling thread, not on the call's own. So are the request and the
// User-Agent: libcups would read its configuration files again to make them
// on a thread new to it.
struct Scheduler {
  std::string name;
  int port = 0;
  http_encryption_t encryption = HTTP_ENCRYPTION_IF_REQUESTED;

  static Scheduler Now() { return {cupsServer(), ippPort(), cupsEncryption()}; }
  bool operator==(const Scheduler& other) const {
    return name == other.name && port == other.port && encryption == other.encryption;
  }
};

// The connection a thread's last call left whole, kept for its next call, as
// libcups keeps its default one: over TLS or a distance each new connection
// costs round trips of its own. It is kept only for the scheduler it was
// opened to, and closes when the thread ends.
struct KeptConnection {
  Connection http;
  Scheduler scheduler;
};
thread_local KeptConnection kept;

// One call's work, done on the call's own thread.
class QueuesCall : public BoundedCall {
 public:
  QueuesCall(Scheduler scheduler, Connection http)
      : scheduler_(std::move(scheduler)),
        userAgent_(cupsUserAgent()),
        request_(QueuesRequest()),
        http_(std::move(http)) {}

  // Once Run has returned 0, these are the caller's: the call's failure
  // code, the queues, and the connection, when it is whole.
  DWORD error = 0;
  std::vector<Queue> queues;
  Connection TakeConnection() { return std::move(http_); }

 private:
  void Work() override {
    try {
      error = Ask();
    } catch (const std::bad_alloc&) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      Drop();
    } catch (...) {
      error = RPC_S_CALL_FAILED;
      Drop();
    }
    if (error) queues.clear();
  }

  DWORD Ask() {
    bool reused = http_ != nullptr;
    http_encryption_t encryption = scheduler_.encryption;
    for (;;) {
      DWORD failure = 0;
      if (!http_) {
        http_ = Open(encryption, &failure);
        if (!http_) return failure;
      } else if (!Watch(httpGetFd(http_.get()))) {
        Drop();
        return ERROR_NO_SYSTEM_RESOURCES;
      }
      queues.clear();
      int status = 0;
      const Exchanged exchanged = ExchangeIpp(
          http_.get(), request_.get(),
          [this](std::string name, int type) {
            queues.push_back(Queue{std::move(name), AttributesFromType(type)});
          },
          &status);
      failure = ErrorFromExchange(exchanged, status);
      if (exchanged != Exchanged::kAnswer || !IsWhole(http_.get())) Drop();
      if (WasCut()) return failure;
      // A kept connection that the scheduler has closed since (its idle
      // timeout, a restart) fails before any of the answer comes: that
      // request goes again, once, on a new connection. Nothing is sent twice
      // that the scheduler may have begun to answer.
      if (reused && exchanged == Exchanged::kUnanswered) {
        reused = false;
        continue;
      }
      // A scheduler that takes requests only over TLS says so; libcups
      // would then go over to it, once.
      if (exchanged == Exchanged::kRefused && status == HTTP_STATUS_UPGRADE_REQUIRED &&
          encryption != HTTP_ENCRYPTION_REQUIRED && encryption != HTTP_ENCRYPTION_ALWAYS) {
        encryption = HTTP_ENCRYPTION_REQUIRED;
        reused = false;
        continue;
      }
      return failure;
    }
  }

  // A new connection, each step of it bounded: the connect can be
  // cancelled, and every step that talks over its socket is watched.
  Connection Open(http_encryption_t encryption, DWORD* error) {
    // A local socket never leaves the machine, and libcups would upgrade it
    // to TLS inside the connect, before its socket could be watched.
    if (scheduler_.name[0] == '/') encryption = HTTP_ENCRYPTION_NEVER;
    const bool upgrade = encryption == HTTP_ENCRYPTION_REQUIRED;
    errno = 0;
    // Made without connecting (a time of 0), so that the connect is the
    // layer's own step.
    Connection http(httpConnect2(scheduler_.name.c_str(), scheduler_.port, nullptr, AF_UNSPEC,
                                 upgrade ? HTTP_ENCRYPTION_IF_REQUESTED : encryption, 1, 0, nullptr));
    if (!http) {
      *error = errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : RPC_S_SERVER_UNAVAILABLE;
      return nullptr;
    }
    GiveUpAfterSilence(http.get());
    httpSetDefaultField(http.get(), HTTP_FIELD_USER_AGENT, userAgent_.c_str());
    // With Encryption Always, libcups's connect includes the TLS handshake,
    // which no cut reaches: the call still ends at its limit, and the
    // handshake when the server or GnuTLS gives up on it.
    if (httpReconnect2(http.get(), kSilenceSeconds * 1000, cancel())) {
      *error = Unreachable(http.get());
      return nullptr;
    }
    if (!Watch(httpGetFd(http.get()))) {
      *error = ERROR_NO_SYSTEM_RESOURCES;
      return nullptr;
    }
    // The upgrade talks over the plain connection first, watched. A
    // connection it leaves in a state libcups would reconnect from (the
    // server silent or refusing after the handshake) is a failure here: a new
    // socket would be one the call does not watch.
    if (upgrade && (httpEncryption(http.get(), HTTP_ENCRYPTION_REQUIRED) || !IsWhole(http.get()))) {
      Unwatch();
      *error = Unreachable(http.get());
      return nullptr;
    }
    return http;
  }

  static DWORD Unreachable(http_t* http) {
    return httpError(http) == ETIMEDOUT ? ERROR_TIMEOUT : RPC_S_SERVER_UNAVAILABLE;
  }

  void Drop() {
    Unwatch();
    http_.reset();
  }

  const Scheduler scheduler_;
  const std::string userAgent_;
  const Message request_;
  Connection http_;
};

// Asks the scheduler for its queues. Returns 0 or a failure code.
DWORD ListQueues(std::vector<Queue>* queues) {
  Scheduler scheduler = Scheduler::Now();
  Connection reusable = kept.scheduler == scheduler ? std::move(kept.http) : nullptr;
  kept.http.reset();
  const auto call = std::make_shared<QueuesCall>(scheduler, std::move(reusable));
  const DWORD cut = BoundedCall::Run(call, kCallLimit, kMaximumCallBytes);
  if (cut) return cut;
  kept = {call->TakeConnection(), std::move(scheduler)};
  *queues = std::move(call->queues);
  return call->error;
}

using Packer = DWORD (*)(const std::vector<Queue>&, LPBYTE, DWORD, DWORD*, DWORD*);

BOOL EnumPrinters(DWORD flags, DWORD level, LPBYTE buffer, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned,
                  Packer pack) {
  if (!pcbNeeded || !pcReturned) return Fail(RPC_X_NULL_REF_POINTER);
  if (!(flags & PRINTER_ENUM_LOCAL) || (flags & ~(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS)))
    return Fail(ERROR_INVALID_FLAGS);
  if (level != 4) return Fail(ERROR_INVALID_LEVEL);
  if (!buffer && cbBuf) return Fail(ERROR_INVALID_USER_BUFFER);

  // Whatever runs out on the way is this call's failure, never the caller's.
  try {
    std::vector<Queue> queues;
    DWORD error = ListQueues(&queues);
    if (!error) error = pack(queues, buffer, cbBuf, pcbNeeded, pcReturned);
    return error ? Fail(error) : 1;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::exception&) {
    return Fail(RPC_S_CALL_FAILED);
  }
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

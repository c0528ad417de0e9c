// EnumPrintersA/W over the CUPS scheduler: one CUPS-Get-Printers request per
// call, so each call sees the queues as they are at that moment.

#include "winspool-cups.h"

#include <cups/cups.h>

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "ipp-transport.h"
#include "last-error.h"
#include "printer-answer.h"
#include "printer-pack.h"

namespace {

using Message = std::unique_ptr<ipp_t, decltype(&ippDelete)>;

BOOL Fail(DWORD code) {
  SetLastError(code);
  return 0;
}

// The layer's failures, as the spooler's codes: first what became of the
// transfer and its HTTP status, then the IPP status of a whole answer.
DWORD ErrorFromTransfer(const Posted& posted) {
  if (posted.cut == Cut::kOutOfMemory) return ERROR_NOT_ENOUGH_MEMORY;
  // A diagnostic never asks for a password: a demand for one is a refusal.
  if (posted.httpStatus >= 300)
    return posted.httpStatus == 401 || posted.httpStatus == 403 ? ERROR_ACCESS_DENIED : RPC_S_CALL_FAILED;
  if (posted.cut == Cut::kSilent) return ERROR_TIMEOUT;
  // Stalled part way, or over a limit: no whole message.
  if (posted.cut != Cut::kNone) return RPC_S_CALL_FAILED;
  switch (posted.result) {
    case CURLE_OK:
      return 0;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_TIMEOUT;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    // No scheduler there, or none that answered: libcurl has already sent a
    // request again, once, on a new connection when a kept one had closed
    // before any of its answer came.
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return RPC_S_SERVER_UNAVAILABLE;
    default:
      return RPC_S_CALL_FAILED;
  }
}

DWORD ErrorFromStatus(int status) {
  // The scheduler answers "not found" when it has no queues at all.
  if (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND) return 0;
  if (status == IPP_STATUS_ERROR_FORBIDDEN || status == IPP_STATUS_ERROR_NOT_AUTHORIZED ||
      status == IPP_STATUS_ERROR_NOT_AUTHENTICATED)
    return ERROR_ACCESS_DENIED;
  return status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE ? RPC_S_SERVER_UNAVAILABLE : RPC_S_CALL_FAILED;
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
  Message request(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS), ippDelete);
  if (!request) throw std::bad_alloc();
  static const char* const kWanted[] = {"printer-name", "printer-type"};
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type", 0);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type-mask", CUPS_PRINTER_REMOTE);
  return request;
}

// Asks the scheduler for its queues. Returns 0 or a failure code.
DWORD ListQueues(std::vector<Queue>* queues) {
  const Posted posted = PostIpp(QueuesRequest().get());
  if (const DWORD error = ErrorFromTransfer(posted)) return error;
  int status = 0;
  const bool read = ReadPrinterAnswer(reinterpret_cast<const unsigned char*>(posted.body.data()), posted.body.size(),
                                      &status, [queues](std::string name, int type) {
                                        queues->push_back(Queue{std::move(name), AttributesFromType(type)});
                                      });
  return read ? ErrorFromStatus(status) : RPC_S_CALL_FAILED;
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

// EnumPrintersA/W over the print service libcups names: a CUPS scheduler,
// an IPP System Service or a lone IPP printer. One listing request per call,
// so each call sees the queues as they are at that moment.

#include "winspool-cups.h"

#include <cups/cups.h>

#include <chrono>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
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
// request and its HTTP status, then the IPP status of a whole answer.
DWORD ErrorFromPosted(const Posted& posted) {
  switch (posted.outcome) {
    case Outcome::kAnswered:
      break;
    case Outcome::kUnreachable:
      return RPC_S_SERVER_UNAVAILABLE;
    case Outcome::kTimedOut:
      return ERROR_TIMEOUT;
    case Outcome::kBroken:
      return RPC_S_CALL_FAILED;
    case Outcome::kOutOfMemory:
      return ERROR_NOT_ENOUGH_MEMORY;
  }
  // A diagnostic never asks for a password: a demand for one is a refusal.
  if (posted.status == HTTP_STATUS_UNAUTHORIZED || posted.status == HTTP_STATUS_FORBIDDEN) return ERROR_ACCESS_DENIED;
  return posted.status == HTTP_STATUS_OK ? DWORD{0} : RPC_S_CALL_FAILED;
}

DWORD ErrorFromStatus(int status) {
  // The scheduler answers "not found" when it has no queues at all.
  if (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND) return 0;
  if (status == IPP_STATUS_ERROR_FORBIDDEN || status == IPP_STATUS_ERROR_NOT_AUTHORIZED ||
      status == IPP_STATUS_ERROR_NOT_AUTHENTICATED)
    return ERROR_ACCESS_DENIED;
  return status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE ? RPC_S_SERVER_UNAVAILABLE : RPC_S_CALL_FAILED;
}

// A service that gives no printer-type (a System Service, a lone printer)
// says nothing of a default or shared queue.
DWORD AttributesFromType(std::optional<int> type) {
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  if (type && (*type & CUPS_PRINTER_DEFAULT)) attributes |= PRINTER_ATTRIBUTE_DEFAULT;
  if (type && !(*type & CUPS_PRINTER_NOT_SHARED)) attributes |= PRINTER_ATTRIBUTE_SHARED;
  return attributes;
}

// The ways a print service lists its printers, asked in this order: a CUPS
// scheduler's own operation, an IPP System Service's (PWG 5100.22), and a
// lone printer's own attributes, at the path IPP Everywhere gives it.
struct Operation {
  ipp_op_t id;
  const char* resource;
  const char* target;  // the operation attribute naming the service, or null
};
const Operation kOperations[] = {
    {IPP_OP_CUPS_GET_PRINTERS, "/", nullptr},
    {IPP_OP_GET_PRINTERS, "/ipp/system", "system-uri"},
    {IPP_OP_GET_PRINTER_ATTRIBUTES, "/ipp/print", "printer-uri"},
};

// A request for each printer's name and type, asked as the user the print
// system's own clients name, so that a queue an access list keeps from that
// user is left out here as there. A service's URI comes third: an IPP System
// Service may refuse a request where it does not.
Message Request(const Operation& operation) {
  Message request(ippNewRequest(operation.id), ippDelete);
  if (!request) throw std::bad_alloc();
  if (operation.target) {
    char uri[HTTP_MAX_URI];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, ServiceHost().c_str(), ippPort(),
                    operation.resource);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, operation.target, nullptr, uri);
  }
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  static const char* const kWanted[] = {"printer-name", "printer-type"};
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
  return request;
}

// Asks the service for its printers. Returns 0 or a failure code. A
// refusal of an operation the service does not offer leads to the next one;
// the one it answered is asked first by the thread's later calls to it, as
// its TLS is, so that a run costs one refusal (a lone printer two), not one
// a call.
DWORD ListQueues(std::vector<Queue>* queues) {
  thread_local std::pair<std::string, size_t> answered;  // the service, and its operation
  const std::string service = std::string(cupsServer()) + ":" + std::to_string(ippPort());
  if (answered.first != service) answered = {service, 0};
  const auto started = std::chrono::steady_clock::now();  // one limit for the call, however often it asks
  for (size_t i = answered.second;; ++i) {
    const Posted posted = PostIpp(Request(kOperations[i]).get(), kOperations[i].resource, started);
    if (const DWORD error = ErrorFromPosted(posted)) return error;
    int status = 0;
    queues->clear();
    if (!ReadPrinterAnswer(reinterpret_cast<const unsigned char*>(posted.body.data()), posted.body.size(), &status,
                           [queues](std::string name, std::optional<int> type) {
                             queues->push_back(Queue{std::move(name), AttributesFromType(type)});
                           }))
      return RPC_S_CALL_FAILED;
    const bool notOffered =
        status == IPP_STATUS_ERROR_BAD_REQUEST || status == IPP_STATUS_ERROR_OPERATION_NOT_SUPPORTED;
    if (notOffered && i + 1 < std::size(kOperations)) continue;
    answered.second = i;
    return ErrorFromStatus(status);
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

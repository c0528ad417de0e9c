// bare-requests: the least a printer listing that asks in both character
// widths, each with a size call and a fill call, must ask of the scheduler:
// four CUPS-Get-Printers requests for the two attributes the probe reads, on
// one connection, each posted and read as the probe does it, with nothing
// done with the answers but counting their printers. bench/run.sh times the
// probe against it.
//
// Prints the printer count of each answer on one line, so the benchmark can
// check that it measured the queues it meant to.

#include <cups/cups.h>

#include <cstdio>
#include <optional>
#include <string>

#include "ipp-transport.h"
#include "printer-answer.h"

namespace {

// Returns the number of printers in the answer, or -1 when there is none.
int CountQueues() {
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  // Asked as the probe asks, so the scheduler does the same work.
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  static const char* const kWanted[] = {"printer-name", "printer-type"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
  const Posted posted = PostIpp(request, "/");
  ippDelete(request);
  if (posted.outcome != Outcome::kAnswered || posted.status != HTTP_STATUS_OK) return -1;

  int count = 0, status = 0;
  const auto* body = reinterpret_cast<const unsigned char*>(posted.body.data());
  if (!ReadPrinterAnswer(body, posted.body.size(), &status, [&count](std::string, std::optional<int>) { ++count; }))
    return -1;
  // A scheduler without queues answers "not found".
  if (status == IPP_STATUS_ERROR_NOT_FOUND) return 0;
  return status <= IPP_STATUS_OK_EVENTS_COMPLETE ? count : -1;
}

}  // namespace

int main() {
  int counts[4];
  for (int& count : counts) {
    count = CountQueues();
    if (count < 0) {
      fprintf(stderr, "bare-requests: CUPS-Get-Printers to %s failed\n", cupsServer());
      return 1;
    }
  }
  printf("%d %d %d %d\n", counts[0], counts[1], counts[2], counts[3]);
  return 0;
}

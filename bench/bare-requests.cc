// bare-requests: the least a printer listing that asks in both character
// widths, each with a size call and a fill call, must ask of the scheduler:
// four CUPS-Get-Printers requests for the two attributes the probe reads, on
// one connection, each answer read in blocks, with nothing done with the
// answers but counting them. bench/run.sh times the probe against it.
//
// Prints the printer count of each answer on one line, so the benchmark can
// check that it measured the queues it meant to.

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include <cups/cups.h>

namespace {

// cupsDoRequest reads an answer a few bytes per system call; reading it in
// blocks is the least work a client can do for it.
struct BlockReader {
  http_t* http;
  char block[32768];
  size_t at = 0;
  size_t end = 0;
};

ssize_t ReadBlocks(void* context, ipp_uchar_t* out, size_t wanted) {
  BlockReader* reader = static_cast<BlockReader*>(context);
  size_t done = 0;
  while (done < wanted) {
    if (reader->at == reader->end) {
      const ssize_t got = httpRead2(reader->http, reader->block, sizeof reader->block);
      if (got <= 0) return done > 0 ? static_cast<ssize_t>(done) : got;
      reader->at = 0;
      reader->end = static_cast<size_t>(got);
    }
    const size_t count = std::min(wanted - done, reader->end - reader->at);
    std::memcpy(out + done, reader->block + reader->at, count);
    reader->at += count;
    done += count;
  }
  return static_cast<ssize_t>(done);
}

// Sends the request (taking it over); returns the answer, or null.
ipp_t* Exchange(http_t* http, ipp_t* request) {
  http_status_t status = cupsSendRequest(http, request, "/", ippLength(request));
  ippDelete(request);
  while (status == HTTP_STATUS_CONTINUE) status = httpUpdate(http);
  if (status != HTTP_STATUS_OK) return nullptr;

  auto reader = std::make_unique<BlockReader>();
  reader->http = http;
  ipp_t* response = ippNew();
  ipp_state_t state;
  do {
    state = ippReadIO(reader.get(), ReadBlocks, 1, nullptr, response);
  } while (state != IPP_STATE_DATA && state != IPP_STATE_ERROR);
  // Whatever follows the message must go before the next request.
  httpFlush(http);
  if (state == IPP_STATE_ERROR) {
    ippDelete(response);
    return nullptr;
  }
  return response;
}

// Returns the number of printers in the answer, or -1 when there is none.
int CountQueues(http_t* http) {
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  static const char* const kWanted[] = {"printer-name", "printer-type"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
  // The same filter as the probe's, so the scheduler does the same work.
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type", 0);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type-mask", CUPS_PRINTER_REMOTE);

  ipp_t* response = Exchange(http, request);
  if (!response) return -1;
  int count = -1;
  const ipp_status_t status = ippGetStatusCode(response);
  // A scheduler without queues answers "not found".
  if (status == IPP_STATUS_ERROR_NOT_FOUND) {
    count = 0;
  } else if (status <= IPP_STATUS_OK_EVENTS_COMPLETE) {
    count = 0;
    for (ipp_attribute_t* attr = ippFindAttribute(response, "printer-name", IPP_TAG_NAME); attr;
         attr = ippFindNextAttribute(response, "printer-name", IPP_TAG_NAME))
      ++count;
  }
  ippDelete(response);
  return count;
}

}  // namespace

int main() {
  http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 5000, nullptr);
  if (!http) {
    fprintf(stderr, "bare-requests: cannot reach the scheduler at %s\n", cupsServer());
    return 1;
  }
  int counts[4];
  for (int& count : counts) {
    count = CountQueues(http);
    if (count < 0) {
      fprintf(stderr, "bare-requests: CUPS-Get-Printers failed\n");
      httpClose(http);
      return 1;
    }
  }
  httpClose(http);
  printf("%d %d %d %d\n", counts[0], counts[1], counts[2], counts[3]);
  return 0;
}

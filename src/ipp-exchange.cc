#include "ipp-exchange.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

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

}  // namespace

http_status_t ExchangeIpp(http_t* http, ipp_t* request, ipp_t** answer) {
  *answer = nullptr;
  http_status_t status = cupsSendRequest(http, request, "/", ippLength(request));
  while (status == HTTP_STATUS_CONTINUE) status = httpUpdate(http);
  if (status != HTTP_STATUS_OK) return status;

  auto reader = std::make_unique<BlockReader>();
  reader->http = http;
  ipp_t* message = ippNew();
  // Blocking, it reads to the end of the message or fails: nothing to loop on.
  if (ippReadIO(reader.get(), ReadBlocks, 1, nullptr, message) != IPP_STATE_DATA) {
    ippDelete(message);
    return HTTP_STATUS_ERROR;
  }
  *answer = message;
  return HTTP_STATUS_OK;
}

#include "ipp-exchange.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct BlockReader {
  http_t* http;
  size_t total = 0;
  size_t at = 0;
  size_t end = 0;
  char block[32768];
};

ssize_t ReadBlocks(void* context, ipp_uchar_t* out, size_t wanted) {
  BlockReader* reader = static_cast<BlockReader*>(context);
  size_t done = 0;
  while (done < wanted) {
    if (reader->at == reader->end) {
      if (reader->total >= kMaximumAnswerBytes) return -1;
      const ssize_t got = httpRead2(reader->http, reader->block, sizeof reader->block);
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

// The server's status line, read past any number of "100 Continue". A server
// may also answer at once, before cupsSendRequest returns. *began tells
// whether any status line came, so whether the answer had begun.
http_status_t AwaitStatus(http_t* http, http_status_t sent, bool* began) {
  *began = false;
  if (sent == HTTP_STATUS_ERROR) return sent;
  const http_state_t state = httpGetState(http);
  if (state != HTTP_STATE_POST_RECV && state != HTTP_STATE_POST_SEND) {
    *began = true;
    return sent;
  }
  for (;;) {
    const http_status_t status = httpUpdate(http);
    if (status == HTTP_STATUS_ERROR) return status;
    *began = true;
    if (status != HTTP_STATUS_CONTINUE) return status;
  }
}

}  // namespace

Exchanged ExchangeIpp(http_t* http, ipp_t* request, ipp_t** answer, http_status_t* status) {
  *answer = nullptr;
  bool began;
  *status = AwaitStatus(http, cupsSendRequest(http, request, "/", ippLength(request)), &began);
  if (*status == HTTP_STATUS_ERROR) return began ? Exchanged::kBroken : Exchanged::kUnanswered;
  if (*status != HTTP_STATUS_OK) {
    httpFlush(http);
    return Exchanged::kRefused;
  }

  auto reader = std::make_unique<BlockReader>();
  reader->http = http;
  ipp_t* message = ippNew();
  // Blocking, it reads to the end of the message or fails: nothing to loop on.
  if (ippReadIO(reader.get(), ReadBlocks, 1, nullptr, message) != IPP_STATE_DATA) {
    ippDelete(message);
    return Exchanged::kMalformed;
  }
  // Whatever follows the message (a chunked body's last chunk) goes before
  // the next request on this connection.
  httpFlush(http);
  *answer = message;
  return Exchanged::kAnswer;
}

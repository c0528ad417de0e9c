// One IPP request posted to the CUPS scheduler over libcurl, within limits
// that a broken or hostile server cannot move: the whole call, a silence,
// the header lines and the answer each have a bound, and the call runs on
// its caller's thread, leaving nothing running when it returns.
#ifndef PRINTER_PROBE_IPP_TRANSPORT_H_
#define PRINTER_PROBE_IPP_TRANSPORT_H_

#include <cups/cups.h>
#include <curl/curl.h>

#include <cstddef>
#include <string>

// The largest answer taken: what cupsd sends for 20,000 queues with the
// longest names it allows (127 bytes), measured at 166 bytes a queue and
// 3,320,072 in all, with room for a longer head (its language tag, say).
// Each queue costs the layer more than its bytes on the way to the buffers,
// so this is what bounds the time and memory a server that never stops
// talking can take.
const size_t kMaximumAnswerBytes = 20000 * 166 + 1024;
// The status and header lines of an answer: cupsd sends some 400 bytes.
const size_t kMaximumHeaderBytes = 32768;
// How long a call may take in all, whatever the server does, and how long
// the server may stay silent.
const long kCallMilliseconds = 8000;
const int kSilenceSeconds = 5;

// Why the transport stopped a transfer short of its end.
enum class Cut {
  kNone,
  kSilent,       // nothing came for kSilenceSeconds before the answer's body began
  kStalled,      // nothing came for kSilenceSeconds after it began
  kHeaders,      // header lines over kMaximumHeaderBytes, or a line over libcurl's own limit
  kTooLarge,     // a body over kMaximumAnswerBytes that holds no whole message
  kOutOfMemory,  // memory ran out on the way
};

struct Posted {
  CURLcode result = CURLE_OK;  // CURLE_OK when the body came whole, or held a whole message
  Cut cut = Cut::kNone;
  long httpStatus = 0;  // the final answer's, 0 when none came
  std::string body;     // what came of the answer's body, at most kMaximumAnswerBytes
};

// Posts request to the scheduler that libcups names for the calling thread
// (cupsServer, ippPort, cupsEncryption), over the connection the thread's
// last call left open, or a new one. A body that holds one whole IPP message
// ends the transfer there, even when the server promised more.
Posted PostIpp(ipp_t* request);

#endif  // PRINTER_PROBE_IPP_TRANSPORT_H_

// One IPP request posted to the print service over libcurl, within limits
// that a broken or hostile server cannot move: the whole call, a silence,
// the header lines and the answer each have a bound, and the call runs on
// its caller's thread, leaving nothing running when it returns.
#ifndef PRINTER_PROBE_IPP_TRANSPORT_H_
#define PRINTER_PROBE_IPP_TRANSPORT_H_

#include <cups/cups.h>

#include <chrono>
#include <cstddef>
#include <string>

// The largest answer taken, once decoded: what cupsd sends for 20,000
// queues with the longest names it allows (127 bytes), measured at 166 bytes
// a queue and 3,320,072 in all, with room for a longer head (its language
// tag, say). Each queue costs the layer more than its bytes on the way to
// the buffers, so this is what bounds the time and memory a server that
// never stops talking can take.
const size_t kMaximumAnswerBytes = 20000 * 166 + 1024;
// The status and header lines of an answer: cupsd sends some 400 bytes.
const size_t kMaximumHeaderBytes = 32768;
// How long a call may take in all, whatever the server does, and how long
// the server may stay silent.
const long kCallMilliseconds = 8000;
const int kSilenceSeconds = 5;

// What became of a request.
enum class Outcome {
  kAnswered,     // an answer came: with HTTP_STATUS_OK, its body begins with a whole IPP message
  kUnreachable,  // no server there, or the connection went before any answer came
  kTimedOut,     // silent for kSilenceSeconds before the body began, or not done in kCallMilliseconds
  kBroken,       // an answer began but is no whole message: cut off, stalled, over a limit, badly framed
  kOutOfMemory,  // memory ran out on the way
};

struct Posted {
  Outcome outcome = Outcome::kAnswered;
  http_status_t status = HTTP_STATUS_NONE;  // the final answer's
  std::string body;                         // its body, decoded, at most kMaximumAnswerBytes
};

// The host of the print service libcups names for the calling thread, as
// an address: "localhost" for a local socket, the only host cupsd takes
// there; an IPv6 address without its brackets, its zone after a '%' however
// it was written ([fe80::1%v0], fe80::1%v0, or libcups's own RFC 3986 form,
// [v1.fe80::1+v0]).
std::string ServiceHost();

// Posts request to resource ("/", "/ipp/print") on the print service that
// libcups names for the calling thread (cupsServer, ippPort,
// cupsEncryption), over the connection the thread's last call left open, or
// a new one, done kCallMilliseconds after started, which the requests of one
// call share. A body that holds one whole IPP message ends the transfer
// there, even when the server promised more.
Posted PostIpp(ipp_t* request, const char* resource,
               std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now());

#endif  // PRINTER_PROBE_IPP_TRANSPORT_H_

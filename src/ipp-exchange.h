// One IPP request and its answer over an open connection, with the answer
// read in large blocks.
//
// libcups's own reader takes an answer a few bytes at a time straight from
// the socket, and with a timeout set it polls before each read: some sixty
// thousand system calls for a thousand queues. Reading in blocks takes a
// handful.
#ifndef PRINTER_PROBE_IPP_EXCHANGE_H_
#define PRINTER_PROBE_IPP_EXCHANGE_H_

#include <cups/cups.h>

#include <cstddef>

// The largest answer taken: many times what tens of thousands of queues
// need, and a bound on what a scheduler that never stops talking can cost.
const size_t kMaximumAnswerBytes = size_t{16} << 20;

enum class Exchanged {
  kAnswer,      // *answer holds the whole IPP message
  kRefused,     // the server answered with an HTTP status other than OK
  kUnanswered,  // the connection failed before any of an answer came
  kBroken,      // the connection failed after the answer began
  kMalformed,   // what came was not one whole IPP message, or was too large
};

// Sends request (which stays the caller's) and reads the whole answer, so
// that the connection is ready for the next request. On kAnswer, *answer is
// the caller's to ippDelete; otherwise it is null, and on kRefused *status
// says what the server answered.
Exchanged ExchangeIpp(http_t* http, ipp_t* request, ipp_t** answer, http_status_t* status);

#endif  // PRINTER_PROBE_IPP_EXCHANGE_H_

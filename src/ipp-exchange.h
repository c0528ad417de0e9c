// One CUPS-Get-Printers request and its answer over an open connection,
// read in large blocks and bounded in size.
//
// libcups's own reader takes an answer a few bytes at a time straight from
// the socket, and with a timeout set it polls before each read: some sixty
// thousand system calls for a thousand queues. Reading in blocks takes a
// handful.
#ifndef PRINTER_PROBE_IPP_EXCHANGE_H_
#define PRINTER_PROBE_IPP_EXCHANGE_H_

#include <cups/cups.h>

#include <cstddef>

#include "printer-answer.h"

// The largest answer taken: what cupsd sends for 20,000 queues with the
// longest names it allows (127 bytes), measured at 166 bytes a queue and
// 3,320,072 in all, with room for a longer head (its language tag, say).
// Each queue costs the layer more than its bytes on the way to the buffers,
// so this is what bounds the time and memory a server that never stops
// talking can take.
const size_t kMaximumAnswerBytes = 20000 * 166 + 1024;
// The status and header lines of an answer: cupsd sends some 200 bytes.
const size_t kMaximumHeaderBytes = 32768;
// How long a server may stay silent before the exchange gives up on it.
const int kSilenceSeconds = 5;

enum class Exchanged {
  kAnswer,      // the whole IPP message was read; *status is its status
  kRefused,     // the server answered with an HTTP status other than OK
  kUnanswered,  // the connection failed before any of an answer came
  kBroken,      // the connection failed after the answer began
  kMalformed,   // what came was not one whole IPP message, or was too large
  kSilent,      // the server fell silent for kSilenceSeconds
};

// Sends request (which stays the caller's) and reads its answer, handing
// each printer in it to onPrinter. On kAnswer, *status is the IPP status of
// the answer; on kRefused, the HTTP status the server answered with.
Exchanged ExchangeIpp(http_t* http, ipp_t* request, const OnPrinter& onPrinter, int* status);

// Makes every wait on http give up after kSilenceSeconds.
void GiveUpAfterSilence(http_t* http);

// Whether http can carry another request: its socket open, its last answer
// read to the end with a status below 400, and no word of closing it.
bool IsWhole(http_t* http);

#endif  // PRINTER_PROBE_IPP_EXCHANGE_H_

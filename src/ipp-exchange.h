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

// Sends request (which stays the caller's) and reads the whole answer. On
// HTTP_STATUS_OK, *answer holds it and is the caller's to ippDelete;
// otherwise *answer is null and the result is the HTTP status that stopped
// the exchange, HTTP_STATUS_ERROR when the connection failed or the answer
// was not a whole IPP message.
http_status_t ExchangeIpp(http_t* http, ipp_t* request, ipp_t** answer);

#endif  // PRINTER_PROBE_IPP_EXCHANGE_H_

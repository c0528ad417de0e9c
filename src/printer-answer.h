// Reads a CUPS-Get-Printers answer as it arrives, keeping of it only what the
// layer lists: the answer's status and each printer's name and type.
//
// libcups would read the whole message into an ipp_t first: a structure and
// a pooled string for every attribute, whatever its name, in a pool whose
// freeing takes time that grows with the square of their count. A server
// sending a few megabytes of distinct attributes kept a call busy for
// minutes that way. Here every other attribute is skipped as it passes.
#ifndef PRINTER_PROBE_PRINTER_ANSWER_H_
#define PRINTER_PROBE_PRINTER_ANSWER_H_

#include <cups/cups.h>

#include <functional>
#include <string>

// Called for each printer, in the answer's order.
using OnPrinter = std::function<void(std::string name, int type)>;

// Reads one whole IPP message through read (called as ippReadIO calls it).
// Returns false when what came is not one; *status is the message's status.
bool ReadPrinterAnswer(ipp_iocb_t read, void* context, int* status, const OnPrinter& onPrinter);

#endif  // PRINTER_PROBE_PRINTER_ANSWER_H_

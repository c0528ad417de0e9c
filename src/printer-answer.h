// Reads an answer that lists printers (CUPS-Get-Printers, Get-Printers,
// Get-Printer-Attributes) from the bytes that came, keeping of it only what
// the layer lists: the answer's status and each printer's name and type.
//
// libcups would read the whole message into an ipp_t first: a structure and
// a pooled string for every attribute, whatever its name, in a pool whose
// freeing takes time that grows with the square of their count. A server
// sending a few megabytes of distinct attributes kept a call busy for
// minutes that way. Here every other attribute is skipped as it passes.
#ifndef PRINTER_PROBE_PRINTER_ANSWER_H_
#define PRINTER_PROBE_PRINTER_ANSWER_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// Called for each printer the layer lists, in the answer's order: every
// printer group with a printer-name, whatever its type. Its type is the
// group's printer-type, which only CUPS gives.
using OnPrinter = std::function<void(std::string name, std::optional<int> type)>;

// The length of the IPP message that bytes begin with, or 0 while it is not
// whole yet. *scanned is where a later call, given more of the same bytes,
// goes on from: start it at 0, so that a growing answer is looked at once.
size_t IppMessageLength(const unsigned char* bytes, size_t size, size_t* scanned);

// Reads the IPP message that bytes begin with, as libcups would read it;
// what follows it is not read. Returns false when they do not begin with
// one whole message; *status is the message's status.
bool ReadPrinterAnswer(const unsigned char* bytes, size_t size, int* status, const OnPrinter& onPrinter);

#endif  // PRINTER_PROBE_PRINTER_ANSWER_H_

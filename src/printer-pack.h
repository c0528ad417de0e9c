// Lays out level-4 printer records the way the spooler hands them back: the
// records at the start of the caller's buffer, each name packed after them.
#ifndef PRINTER_PROBE_PRINTER_PACK_H_
#define PRINTER_PROBE_PRINTER_PACK_H_

#include <string>
#include <vector>

#include "winspool-cups.h"

struct Queue {
  std::string name;  // UTF-8, as the scheduler gives it
  DWORD attributes;
};

// A name from the scheduler as the records give it: a scheduler somebody
// else runs could send one that drives the terminal it is printed on, so
// each control character (C0, DEL and C1) becomes U+FFFD, as malformed UTF-8
// does. The narrow records hold its UTF-8, so both widths show it alike;
// any other name, in any script, stays exactly as it is.
std::wstring ShowableName(const std::string& name);

// Each writes *needed (the bytes the records and names take) and, when they
// fit in cbBuf, the records into buffer and their count into *returned.
// Returns 0 on success, ERROR_INSUFFICIENT_BUFFER when they do not fit (with
// *returned 0 and nothing written), or ERROR_NOT_ENOUGH_MEMORY when the size
// does not fit in 32 bits. Nothing is ever written at or past cbBuf.
DWORD PackPrinterInfo4A(const std::vector<Queue>& queues, LPBYTE buffer, DWORD cbBuf, DWORD* needed, DWORD* returned);
DWORD PackPrinterInfo4W(const std::vector<Queue>& queues, LPBYTE buffer, DWORD cbBuf, DWORD* needed, DWORD* returned);

#endif  // PRINTER_PROBE_PRINTER_PACK_H_

// The platform half of wprintfConsole: puts already formatted wide text on
// stdout, after whatever narrow text stdout holds. Returns false on failure.
#ifndef PRINTER_PROBE_WIDE_CONSOLE_WRITE_H_
#define PRINTER_PROBE_WIDE_CONSOLE_WRITE_H_

#include <cstddef>

bool WriteWideText(const wchar_t* text, size_t length);

#endif  // PRINTER_PROBE_WIDE_CONSOLE_WRITE_H_

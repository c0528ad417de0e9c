// Wide text on the console, in order with the narrow output on stdout.
//
// Neither platform's runtime can be trusted with wprintf here: glibc drops
// wide output on a stream that already carries narrow text, and the Windows
// runtime drops every character outside its locale. This writes the formatted
// text to the console as UTF-16 where stdout is one, and as UTF-8 otherwise.
#ifndef PRINTER_PROBE_WIDE_CONSOLE_H_
#define PRINTER_PROBE_WIDE_CONSOLE_H_

#include <cstddef>
#include <cwchar>

// Formats like wprintf (use %ls for wide strings) and returns the number of
// wide characters formatted, or -1 when nothing could be written.
int wprintfConsole(const wchar_t* format, ...);

// Its platform half (wide-console-posix.cc, -win32.cc): puts formatted text
// on stdout, after whatever narrow text stdout holds. False on failure.
bool WriteWideText(const wchar_t* text, size_t length);

#endif  // PRINTER_PROBE_WIDE_CONSOLE_H_

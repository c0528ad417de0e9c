// Where the spooler API comes from: the platform's own on Windows, our layer
// over CUPS everywhere else. The probe includes only this header.
#ifndef PRINTER_PROBE_SPOOLER_H_
#define PRINTER_PROBE_SPOOLER_H_

#ifdef _WIN32
#include <conio.h>
#include <windows.h>
#include <winspool.h>
// The 32-bit spooler lays out 12-byte level-4 records, and the listing steps
// through them by the header's size: the two must agree.
static_assert(sizeof(void*) != 4 || sizeof(PRINTER_INFO_4A) == 12, "a 32-bit level-4 record is 12 bytes");
static_assert(sizeof(void*) != 4 || sizeof(PRINTER_INFO_4W) == 12, "a 32-bit level-4 record is 12 bytes");
#else
#include "getch.h"
#include "last-error.h"
#include "winspool-cups.h"
#endif

#include "wide-console.h"

#endif  // PRINTER_PROBE_SPOOLER_H_

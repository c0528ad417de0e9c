// Where the spooler API comes from: the platform's own on Windows, our layer
// over CUPS everywhere else. The probe includes only this header.
#ifndef PRINTER_PROBE_SPOOLER_H_
#define PRINTER_PROBE_SPOOLER_H_

#ifdef _WIN32
#include <conio.h>
#include <windows.h>
#include <winspool.h>
#else
#include "winspool-cups.h"
#endif

#include "wide-console.h"

#endif  // PRINTER_PROBE_SPOOLER_H_

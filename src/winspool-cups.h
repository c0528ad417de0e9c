// The slice of the Windows spooler API that printer-probe uses, offered over
// CUPS with the platform's names, types and meanings.
#ifndef PRINTER_PROBE_WINSPOOL_CUPS_H_
#define PRINTER_PROBE_WINSPOOL_CUPS_H_

#include "win32-types.h"

struct PRINTER_INFO_4A {
  LPSTR pPrinterName;
  LPSTR pServerName;
  DWORD Attributes;
};

struct PRINTER_INFO_4W {
  LPWSTR pPrinterName;
  LPWSTR pServerName;
  DWORD Attributes;
};

enum : DWORD {
  PRINTER_ENUM_LOCAL = 0x00000002,
  PRINTER_ENUM_CONNECTIONS = 0x00000004,

  PRINTER_ATTRIBUTE_DEFAULT = 0x00000004,
  PRINTER_ATTRIBUTE_SHARED = 0x00000008,
  PRINTER_ATTRIBUTE_LOCAL = 0x00000040,
};

BOOL EnumPrintersA(DWORD Flags, LPSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned);
BOOL EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned);

#endif  // PRINTER_PROBE_WINSPOOL_CUPS_H_

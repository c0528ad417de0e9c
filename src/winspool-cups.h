// The slice of the Windows spooler API that printer-probe uses, offered over
// CUPS with the platform's names, types and meanings.
#ifndef PRINTER_PROBE_WINSPOOL_CUPS_H_
#define PRINTER_PROBE_WINSPOOL_CUPS_H_

#include <cstdint>

typedef uint32_t DWORD;  // 32 bits on every platform, as on Windows
typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef wchar_t* LPWSTR;

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

// Failure codes, with the numbers Windows gives them.
enum : DWORD {
  ERROR_ACCESS_DENIED = 5,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_INVALID_LEVEL = 124,
  ERROR_INVALID_FLAGS = 1004,
  ERROR_TIMEOUT = 1460,
  RPC_S_SERVER_UNAVAILABLE = 1722,
  RPC_S_CALL_FAILED = 1726,
  RPC_X_NULL_REF_POINTER = 1780,
  ERROR_INVALID_USER_BUFFER = 1784,
};

BOOL EnumPrintersA(DWORD Flags, LPSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned);
BOOL EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                   LPDWORD pcReturned);

// The code of the calling thread's last failed call.
DWORD GetLastError();
void SetLastError(DWORD code);

// Waits for one key at the controlling terminal, without echo; returns the
// key, or -1 at once when there is no terminal to read.
int _getch();

#endif  // PRINTER_PROBE_WINSPOOL_CUPS_H_

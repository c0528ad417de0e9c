// The calling thread's last failure code, as kernel32 keeps it on Windows.
#ifndef PRINTER_PROBE_LAST_ERROR_H_
#define PRINTER_PROBE_LAST_ERROR_H_

#include "win32-types.h"

DWORD GetLastError();
void SetLastError(DWORD code);

#endif  // PRINTER_PROBE_LAST_ERROR_H_

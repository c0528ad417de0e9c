// The calling thread's last failure code, as kernel32 keeps it on Windows.

#include "winspool-cups.h"

static thread_local DWORD lastError = 0;

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD code) {
  lastError = code;
}

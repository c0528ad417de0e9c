// The Windows types and failure codes the layer speaks in, as Windows has them.
#ifndef PRINTER_PROBE_WIN32_TYPES_H_
#define PRINTER_PROBE_WIN32_TYPES_H_

#include <cstdint>

typedef uint32_t DWORD;  // 32 bits on every platform, as on Windows
typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef wchar_t* LPWSTR;

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

#endif  // PRINTER_PROBE_WIN32_TYPES_H_

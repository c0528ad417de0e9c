#include <windows.h>

#include <cstdio>
#include <string>

#include "utf8.h"
#include "wide-console.h"

// A console takes UTF-16 as it is; a file or a pipe gets UTF-8 through the
// runtime's stream, so its line ends are translated like the narrow lines'.
bool WriteWideText(const wchar_t* text, size_t length) {
  fflush(stdout);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (out != INVALID_HANDLE_VALUE && out != nullptr && GetConsoleMode(out, &mode)) {
    while (length > 0) {
      DWORD written = 0;
      const DWORD chunk = length > 8192 ? 8192 : static_cast<DWORD>(length);
      if (!WriteConsoleW(out, text, chunk, &written, nullptr) || written == 0) return false;
      text += written;
      length -= written;
    }
    return true;
  }
  const std::string utf8 = EncodeUtf8(text, length);
  return fwrite(utf8.data(), 1, utf8.size(), stdout) == utf8.size();
}

#include <cstdio>
#include <string>

#include "utf8.h"
#include "wide-console.h"

// Terminals, files and pipes here all take UTF-8, on the same byte stream as
// the narrow lines, so order comes for free.
bool WriteWideText(const wchar_t* text, size_t length) {
  const std::string utf8 = EncodeUtf8(text, length);
  return fwrite(utf8.data(), 1, utf8.size(), stdout) == utf8.size();
}

#include "wide-console.h"

#include <cstdarg>
#include <vector>

#include "wide-console-write.h"

int wprintfConsole(const wchar_t* format, ...) {
  // vswprintf cannot say how much room it wants, so the room grows until the
  // text fits or reaches a size no report line comes near.
  const size_t kMaximum = size_t{1} << 20;
  std::vector<wchar_t> text(256);
  for (;;) {
    va_list args;
    va_start(args, format);
    const int length = vswprintf(text.data(), text.size(), format, args);
    va_end(args);
    if (length >= 0) return WriteWideText(text.data(), static_cast<size_t>(length)) ? length : -1;
    if (text.size() >= kMaximum) return -1;
    text.resize(text.size() * 2);
  }
}

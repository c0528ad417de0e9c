#include "wide-console.h"

#include <cstdarg>
#include <vector>

int wprintfConsole(const wchar_t* format, ...) {
  // vswprintf cannot say how much room it wants, so the room grows until the
  // text fits or reaches a size no report line comes near.
  const size_t kMaximum = size_t{1} << 20;
  std::vector<wchar_t> text(256);
  va_list args;
  va_start(args, format);
  int length = -1;
  for (;;) {
    va_list attempt;
    va_copy(attempt, args);
    // The analyzer loses track of va_copy inside a loop; attempt is set.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    length = vswprintf(text.data(), text.size(), format, attempt);
    va_end(attempt);
    if (length >= 0 || text.size() >= kMaximum) break;
    text.resize(text.size() * 2);
  }
  va_end(args);
  if (length < 0) return -1;
  return WriteWideText(text.data(), static_cast<size_t>(length)) ? length : -1;
}

#include "utf8.h"

namespace {

const char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Reads one code point at text[*at], advancing past it. A malformed sequence
// is consumed up to its longest valid-looking prefix (at least one byte) and
// read as U+FFFD.
char32_t NextCodePoint(const unsigned char* text, size_t length, size_t* at) {
  const unsigned char lead = text[(*at)++];
  if (lead < 0x80) return lead;

  int trailing;
  char32_t value;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2, value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3, value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return kReplacement;
  }

  for (int i = 0; i < trailing; ++i) {
    if (*at >= length) return kReplacement;
    const unsigned char byte = text[*at];
    const bool fits = i == 0 ? byte >= low && byte <= high : IsContinuation(byte);
    if (!fits) return kReplacement;
    value = (value << 6) | (byte & 0x3F);
    ++*at;
  }
  return value;
}

void AppendWide(std::wstring* out, char32_t code) {
  if (sizeof(wchar_t) >= 4 || code < 0x10000) {
    out->push_back(static_cast<wchar_t>(code));
    return;
  }
  code -= 0x10000;
  out->push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
  out->push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
}

void AppendUtf8(std::string* out, char32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::wstring DecodeUtf8(const char* text, size_t length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  std::wstring out;
  out.reserve(length);
  for (size_t at = 0; at < length;) AppendWide(&out, NextCodePoint(bytes, length, &at));
  return out;
}

std::string EncodeUtf8(const wchar_t* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t code = static_cast<char32_t>(text[i]);
    if (IsHighSurrogate(code) && i + 1 < length && IsLowSurrogate(static_cast<char32_t>(text[i + 1]))) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(code) || IsLowSurrogate(code) || code > 0x10FFFF) {
      code = kReplacement;
    }
    AppendUtf8(&out, code);
  }
  return out;
}

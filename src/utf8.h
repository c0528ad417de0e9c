// Conversions between UTF-8 and wchar_t text (UTF-32, or UTF-16 where
// wchar_t is 16 bits). Malformed input never stops a conversion: each
// malformed piece becomes U+FFFD, as the Unicode standard recommends.
#ifndef PRINTER_PROBE_UTF8_H_
#define PRINTER_PROBE_UTF8_H_

#include <cstddef>
#include <string>

std::wstring DecodeUtf8(const char* text, size_t length);
std::string EncodeUtf8(const wchar_t* text, size_t length);

#endif  // PRINTER_PROBE_UTF8_H_

// libFuzzer target for the packing of level-4 printer records and their names
// into the caller's buffer (PackPrinterInfo4A/W).
//
// Input: a 4-byte header, then the names, each ended by a NUL (the last one
// may run to the end of the input). NUL ends a name because names are C
// strings, so every other byte value can appear in one.
//   byte 0      bits 0-1: how the extra fill call picks cbBuf: 0 the value
//               itself, 1 needed + value, 2 or 3 needed - value (at least 0);
//               bit 2: exact-size buffers instead of guarded ones (see Fill)
//   bytes 1-2   that value, little-endian
//   byte 3      seed for each record's Attributes
// Names are cut to 127 bytes and their count to 4000, the sizes the scheduler
// gives in practice.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "printer-pack.h"
#include "utf8.h"

namespace {

static_assert(sizeof(wchar_t) == 4, "the wide checks read UTF-32, as on Linux");
// Records sit at fixed offsets from the buffer's start, so they are aligned
// exactly when the buffer is: new[] must give at least their alignment.
static_assert(alignof(PRINTER_INFO_4A) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ &&
                  alignof(PRINTER_INFO_4W) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
              "buffers from new[] would not be aligned for the records");

// The checks below are the judge, not what is fuzzed: kept out of the
// coverage that guides the fuzzer, their loops over every character cost it
// no tracing.
#if defined(__clang__)
#define NOT_GUIDING __attribute__((no_sanitize("coverage")))
#else
#define NOT_GUIDING
#endif

constexpr size_t kMaxNameBytes = 127;
constexpr size_t kMaxNames = 4000;
constexpr size_t kGuard = 64;  // a multiple of new[]'s alignment, so it keeps it
constexpr unsigned char kFill = 0xA5;
constexpr DWORD kUnset = 0xDEADBEEF;

using PackFn = DWORD (*)(const std::vector<Queue>&, LPBYTE, DWORD, DWORD*, DWORD*);

NOT_GUIDING void Check(bool ok, const char* what, size_t name = SIZE_MAX) {
  if (ok) return;
  if (name == SIZE_MAX)
    std::fprintf(stderr, "printer-pack_fuzz: %s\n", what);
  else
    std::fprintf(stderr, "printer-pack_fuzz: %s (name %zu)\n", what, name);
  std::abort();
}

struct Input {
  std::vector<Queue> queues;
  uint8_t mode = 0;
  uint16_t value = 0;
  bool guarded = true;
};

Input Parse(const uint8_t* data, size_t size) {
  uint8_t header[4] = {};
  const size_t taken = size < sizeof header ? size : sizeof header;
  std::memcpy(header, data, taken);
  data += taken, size -= taken;

  Input input;
  input.mode = header[0] & 3;
  input.guarded = !(header[0] & 4);
  input.value = static_cast<uint16_t>(header[1] | header[2] << 8);
  for (size_t at = 0; at < size && input.queues.size() < kMaxNames;) {
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + at, 0, size - at));
    const size_t length = (end ? static_cast<size_t>(end - data) : size) - at;
    const size_t kept = length < kMaxNameBytes ? length : kMaxNameBytes;
    // Odd multiplier: distinct for every index, and spread over all 32 bits
    // so a record that swaps or truncates them shows.
    const DWORD attributes = static_cast<DWORD>((input.queues.size() + 1) * 0x9E3779B9u) ^ header[3] * 0x01010101u;
    input.queues.push_back({std::string(reinterpret_cast<const char*>(data + at), kept), attributes});
    at += length + 1;
  }
  return input;
}

// Decodes well-formed UTF-8 and nothing else. Built differently from
// DecodeUtf8 (it rejects by the decoded value, not by the second byte's
// range) so that each can vouch for the other.
NOT_GUIDING bool DecodeWellFormed(const std::string& bytes, std::u32string* out) {
  for (size_t i = 0; i < bytes.size();) {
    const unsigned char lead = bytes[i];
    size_t trailing;
    char32_t code, least;
    if (lead < 0x80) {
      trailing = 0, code = lead, least = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      trailing = 1, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      trailing = 2, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      trailing = 3, code = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (bytes.size() - i - 1 < trailing) return false;
    for (size_t k = 1; k <= trailing; ++k) {
      const unsigned char byte = bytes[i + k];
      if ((byte & 0xC0) != 0x80) return false;
      code = code << 6 | (byte & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    out->push_back(code);
    i += trailing + 1;
  }
  return true;
}

NOT_GUIDING bool IsControl(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

// What the shown form of a name must be, judged without trusting DecodeUtf8:
// no control character in either width, and an ordinary name as it came.
NOT_GUIDING void CheckShowable(const std::string& bytes, const std::wstring& wide, const std::string& narrow,
                               size_t name) {
  Check(wide.size() <= bytes.size(), "wide name has more characters than bytes", name);
  std::string ascii_in, ascii_out;
  bool replaced = false;
  for (wchar_t unit : wide) {
    const uint32_t code = static_cast<uint32_t>(unit);
    Check(code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF),
          "wide name holds a surrogate half or a value past U+10FFFF", name);
    Check(!IsControl(code), "wide name holds a control character", name);
    if (code < 0x80) ascii_out.push_back(static_cast<char>(code));
    replaced |= code == 0xFFFD;
  }
  // A byte below 0x80 is never part of a longer sequence: whatever is
  // malformed around it, a printable one comes through as itself, and
  // nothing else decodes to ASCII.
  for (char byte : bytes)
    if (static_cast<unsigned char>(byte) < 0x80 && !IsControl(static_cast<unsigned char>(byte)))
      ascii_in.push_back(byte);
  Check(ascii_in == ascii_out, "printable ASCII bytes of the name were lost or made up", name);

  std::u32string narrow_code_points;
  Check(DecodeWellFormed(narrow, &narrow_code_points), "narrow name is not well-formed UTF-8", name);
  Check(std::u32string(wide.begin(), wide.end()) == narrow_code_points, "the two widths show the name differently",
        name);

  std::u32string code_points;
  if (DecodeWellFormed(bytes, &code_points)) {
    bool controls = false;
    for (char32_t& code : code_points)
      if (IsControl(code)) code = 0xFFFD, controls = true;
    // Exact equality also rules out a U+FFFD the bytes did not spell as EF BF BD.
    Check(std::u32string(wide.begin(), wide.end()) == code_points, "well-formed name shown as other code points", name);
    Check(controls || narrow == bytes, "an ordinary name is not shown byte for byte as it came", name);
  } else {
    Check(replaced, "malformed name shown without U+FFFD", name);
  }
}

// All bytes equal kFill when the first does and each equals the next: one
// memcmp, not a loop that coverage tracing would slow on every byte.
NOT_GUIDING bool Untouched(const unsigned char* bytes, size_t size) {
  return size == 0 || (bytes[0] == kFill && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

template <typename Record, typename Char>
NOT_GUIDING void CheckRecords(const unsigned char* buffer, DWORD needed, const std::vector<Queue>& queues,
                              const std::vector<std::basic_string<Char>>& names) {
  const size_t records = queues.size() * sizeof(Record);
  Check(records <= needed, "the records alone take more than the bytes needed");
  // Addresses as integers: comparing pointers into different objects would
  // itself be undefined, and a wild pointer is what this looks for.
  const uintptr_t strings = reinterpret_cast<uintptr_t>(buffer) + records;
  const uintptr_t end = reinterpret_cast<uintptr_t>(buffer) + needed;
  for (size_t i = 0; i < queues.size(); ++i) {
    Record record;
    std::memcpy(&record, buffer + i * sizeof(Record), sizeof record);
    Check(record.pServerName == nullptr, "pServerName is not null", i);
    Check(record.Attributes == queues[i].attributes, "Attributes differ from the queue's", i);

    const uintptr_t at = reinterpret_cast<uintptr_t>(record.pPrinterName);
    Check(at >= strings && at < end, "pPrinterName points outside the names' part of the buffer", i);
    Check(at % alignof(Char) == 0, "pPrinterName is not aligned for its characters", i);
    const size_t bytes = (names[i].size() + 1) * sizeof(Char);
    Check(end - at >= bytes, "name and its terminator run past the bytes needed", i);
    Check(std::memcmp(record.pPrinterName, names[i].c_str(), bytes) == 0, "name does not read back as given", i);
  }
}

// One fill call into cbBuf bytes. Guarded: fill bytes on both sides, to see
// a stray write as changed memory. Exact: an allocation of just cbBuf bytes,
// so AddressSanitizer stops the first byte written past it.
template <typename Record, typename Char>
void Fill(PackFn pack, const std::vector<Queue>& queues, const std::vector<std::basic_string<Char>>& names,
          DWORD needed, DWORD cbBuf, bool guarded) {
  const size_t guard = guarded ? kGuard : 0;
  const size_t total = guard + cbBuf + guard;
  std::unique_ptr<unsigned char[]> block(new unsigned char[total]);
  std::memset(block.get(), kFill, total);
  unsigned char* buffer = block.get() + guard;

  DWORD reported = kUnset, returned = kUnset;
  const DWORD code = pack(queues, buffer, cbBuf, &reported, &returned);
  Check(reported == needed, "a fill reports other bytes needed than the size query");
  if (cbBuf >= needed) {
    Check(code == 0, "a fill into enough bytes failed");
    Check(returned == queues.size(), "a fill returned another count than the queues'");
    Check(Untouched(block.get(), guard) && Untouched(buffer + cbBuf, guard),
          "a fill wrote outside [buffer, buffer + cbBuf)");
    CheckRecords<Record>(buffer, needed, queues, names);
  } else {
    Check(code == ERROR_INSUFFICIENT_BUFFER, "a fill into too few bytes did not fail with 122");
    Check(returned == 0, "a failed fill returned a count");
    Check(Untouched(block.get(), total), "a failed fill wrote into the buffer");
  }
}

template <typename Record, typename Char>
void Exercise(PackFn pack, const Input& input, const std::vector<std::basic_string<Char>>& names) {
  DWORD needed = kUnset, returned = kUnset;
  const DWORD code = pack(input.queues, nullptr, 0, &needed, &returned);
  Check(needed != kUnset, "the size query left the bytes needed unset");
  Check((needed == 0) == input.queues.empty(), "bytes needed is 0 with names, or not 0 without");
  Check(code == (needed ? static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER) : 0), "the size query returned the wrong code");
  Check(returned == 0, "the size query returned a count");

  DWORD extra;
  if (input.mode == 0)
    extra = input.value;
  else if (input.mode == 1)
    extra = needed + input.value;
  else
    extra = needed > input.value ? needed - input.value : 0;

  Fill<Record>(pack, input.queues, names, needed, needed, input.guarded);
  if (needed > 0) Fill<Record>(pack, input.queues, names, needed, needed - 1, input.guarded);
  Fill<Record>(pack, input.queues, names, needed, extra, input.guarded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input input = Parse(data, size);

  std::vector<std::string> narrow;
  std::vector<std::wstring> wide;
  for (size_t i = 0; i < input.queues.size(); ++i) {
    const std::string& name = input.queues[i].name;
    wide.push_back(ShowableName(name));
    narrow.push_back(EncodeUtf8(wide.back().data(), wide.back().size()));
    CheckShowable(name, wide.back(), narrow.back(), i);
  }

  Exercise<PRINTER_INFO_4A>(PackPrinterInfo4A, input, narrow);
  Exercise<PRINTER_INFO_4W>(PackPrinterInfo4W, input, wide);
  return 0;
}

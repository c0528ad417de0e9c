#include "printer-pack.h"

#include <cstdint>
#include <cstring>

#include "utf8.h"

namespace {

uint64_t AlignUp(uint64_t offset, uint64_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

// The name a record shows, in its width.
template <typename Char>
std::basic_string<Char> Shown(const std::string& name);
template <>
std::string Shown<char>(const std::string& name) {
  const std::wstring shown = ShowableName(name);
  return EncodeUtf8(shown.data(), shown.size());
}
template <>
std::wstring Shown<wchar_t>(const std::string& name) {
  return ShowableName(name);
}

// Offsets are taken from the start of the buffer, which the caller aligns for
// the records (as calloc does), so the size never depends on where it lies.
// Each name is made anew where it is needed rather than kept: for a long
// answer, a second copy of every name would take more memory than the
// records themselves.
template <typename Record, typename Char>
DWORD Pack(const std::vector<Queue>& queues, LPBYTE buffer, DWORD cbBuf, DWORD* needed, DWORD* returned) {
  *returned = 0;
  uint64_t bytes = uint64_t{sizeof(Record)} * queues.size();
  for (const Queue& queue : queues)
    bytes = AlignUp(bytes, alignof(Char)) + (Shown<Char>(queue.name).size() + 1) * sizeof(Char);
  if (bytes > UINT32_MAX) {
    *needed = 0;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  *needed = static_cast<DWORD>(bytes);
  if (bytes > cbBuf || (bytes > 0 && !buffer)) return ERROR_INSUFFICIENT_BUFFER;

  uint64_t offset = uint64_t{sizeof(Record)} * queues.size();
  for (size_t i = 0; i < queues.size(); ++i) {
    const std::basic_string<Char> name = Shown<Char>(queues[i].name);
    offset = AlignUp(offset, alignof(Char));
    Char* copy = reinterpret_cast<Char*>(buffer + offset);
    std::memcpy(copy, name.c_str(), (name.size() + 1) * sizeof(Char));
    offset += (name.size() + 1) * sizeof(Char);

    Record record{};
    record.pPrinterName = copy;
    record.pServerName = nullptr;
    record.Attributes = queues[i].attributes;
    std::memcpy(buffer + i * sizeof(Record), &record, sizeof record);
  }
  *returned = static_cast<DWORD>(queues.size());
  return 0;
}

}  // namespace

std::wstring ShowableName(const std::string& name) {
  // A name ends at its first NUL, as in C.
  std::wstring text = DecodeUtf8(name.c_str(), std::strlen(name.c_str()));
  for (wchar_t& c : text)
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) c = 0xFFFD;
  return text;
}

DWORD PackPrinterInfo4A(const std::vector<Queue>& queues, LPBYTE buffer, DWORD cbBuf, DWORD* needed, DWORD* returned) {
  return Pack<PRINTER_INFO_4A, char>(queues, buffer, cbBuf, needed, returned);
}

DWORD PackPrinterInfo4W(const std::vector<Queue>& queues, LPBYTE buffer, DWORD cbBuf, DWORD* needed, DWORD* returned) {
  return Pack<PRINTER_INFO_4W, wchar_t>(queues, buffer, cbBuf, needed, returned);
}

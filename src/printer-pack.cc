#include "printer-pack.h"

#include <cstdint>
#include <cstring>

#include "utf8.h"

namespace {

uint64_t AlignUp(uint64_t offset, uint64_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

// Offsets are taken from the start of the buffer, which the caller aligns for
// the records (as calloc does), so the size never depends on where it lies.
template <typename Record, typename Char>
uint64_t BytesNeeded(const std::vector<std::basic_string<Char>>& names) {
  uint64_t offset = uint64_t{sizeof(Record)} * names.size();
  for (const auto& name : names) offset = AlignUp(offset, alignof(Char)) + (name.size() + 1) * sizeof(Char);
  return offset;
}

template <typename Record, typename Char>
DWORD Pack(const std::vector<std::basic_string<Char>>& names, const std::vector<Queue>& queues, LPBYTE buffer,
           DWORD cbBuf, DWORD* needed, DWORD* returned) {
  *returned = 0;
  const uint64_t bytes = BytesNeeded<Record, Char>(names);
  if (bytes > UINT32_MAX) {
    *needed = 0;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  *needed = static_cast<DWORD>(bytes);
  if (bytes > cbBuf || (bytes > 0 && !buffer)) return ERROR_INSUFFICIENT_BUFFER;

  uint64_t offset = uint64_t{sizeof(Record)} * names.size();
  for (size_t i = 0; i < names.size(); ++i) {
    offset = AlignUp(offset, alignof(Char));
    Char* copy = reinterpret_cast<Char*>(buffer + offset);
    std::memcpy(copy, names[i].c_str(), (names[i].size() + 1) * sizeof(Char));
    offset += (names[i].size() + 1) * sizeof(Char);

    Record record{};
    record.pPrinterName = copy;
    record.pServerName = nullptr;
    record.Attributes = queues[i].attributes;
    std::memcpy(buffer + i * sizeof(Record), &record, sizeof record);
  }
  *returned = static_cast<DWORD>(names.size());
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
  std::vector<std::string> names;
  names.reserve(queues.size());
  for (const Queue& queue : queues) {
    const std::wstring name = ShowableName(queue.name);
    names.push_back(EncodeUtf8(name.data(), name.size()));
  }
  return Pack<PRINTER_INFO_4A>(names, queues, buffer, cbBuf, needed, returned);
}

DWORD PackPrinterInfo4W(const std::vector<Queue>& queues, LPBYTE buffer, DWORD cbBuf, DWORD* needed, DWORD* returned) {
  std::vector<std::wstring> names;
  names.reserve(queues.size());
  for (const Queue& queue : queues) names.push_back(ShowableName(queue.name));
  return Pack<PRINTER_INFO_4W>(names, queues, buffer, cbBuf, needed, returned);
}

// libFuzzer target for the reading of the scheduler's answer
// (IppMessageLength, ReadPrinterAnswer), set beside libcups's own reader
// (ippReadIO). Input: the bytes of an answer's body, at most 64 KiB, so that
// libcups's cost stays low.
//
// Where libcups takes the message whole, ours must too, ending it where
// libcups ends it, with the same status and the same printers in the same
// order. Where libcups refuses it, ours may read it, but every printer it
// yields must stand in the input as a printer-name and printer-type would.
// The one written-down difference between the two is in Expected().
#include <cups/cups.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "printer-answer.h"

namespace {

constexpr size_t kMaxInput = 64 * 1024;

struct Printer {
  std::string name;
  std::optional<int> type;
  bool operator==(const Printer& other) const { return name == other.name && type == other.type; }
};

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "printer-answer_fuzz: %s\n", what);
  std::abort();
}

struct Reader {
  const uint8_t* data;
  size_t size, at;
};

ssize_t Read(void* context, ipp_uchar_t* buffer, size_t bytes) {
  Reader* reader = static_cast<Reader*>(context);
  const size_t taken = bytes < reader->size - reader->at ? bytes : reader->size - reader->at;
  std::memcpy(buffer, reader->data + reader->at, taken);
  reader->at += taken;
  return static_cast<ssize_t>(taken);
}

// The printers a client of libcups lists from the message libcups read, as
// lpstat lists them: a printer group's last printer-name of name syntax
// names its printer, by its first value. The layer differs from such a
// client in its types alone, by a choice written down in docs/design.md too:
// a group's last printer-type decides, and only as one enum value.
std::vector<Printer> Expected(ipp_t* message) {
  std::vector<Printer> printers;
  ipp_tag_t group = IPP_TAG_ZERO;
  ipp_attribute_t *name = nullptr, *type = nullptr;
  const auto endGroup = [&] {
    if (group == IPP_TAG_PRINTER && name) {
      std::optional<int> value;
      if (type && ippGetValueTag(type) == IPP_TAG_ENUM && ippGetCount(type) == 1) value = ippGetInteger(type, 0);
      printers.push_back({ippGetString(name, 0, nullptr), value});
    }
    name = type = nullptr;
  };
  for (ipp_attribute_t* attribute = ippFirstAttribute(message); attribute; attribute = ippNextAttribute(message)) {
    const char* attributeName = ippGetName(attribute);
    // libcups marks a group that follows one of the same tag by an attribute without a name.
    if (!attributeName || ippGetGroupTag(attribute) != group) {
      endGroup();
      group = ippGetGroupTag(attribute);
    }
    if (!attributeName) continue;
    if (std::strcmp(attributeName, "printer-name") == 0 && ippGetValueTag(attribute) == IPP_TAG_NAME) name = attribute;
    if (std::strcmp(attributeName, "printer-type") == 0) type = attribute;
  }
  endGroup();
  return printers;
}

// What a real printer group could have said: each printer-name value in
// the input that libcups could take as a name (a name, or a keyword it
// turns into one), and each enum printer-type, wherever it stands.
void Held(const uint8_t* data, size_t size, std::set<std::string>* names, std::set<std::optional<int>>* types) {
  types->insert(std::nullopt);
  for (size_t at = 0; at + 5 <= size; ++at) {
    if (data[at] != 0x42 && data[at] != 0x44 && data[at] != 0x23) continue;
    const size_t nameLength = data[at + 1] << 8 | data[at + 2];
    if (size - at - 5 < nameLength) continue;
    const size_t valueLength = data[at + 3 + nameLength] << 8 | data[at + 4 + nameLength];
    if (size - at - 5 - nameLength < valueLength) continue;
    std::string_view attributeName(reinterpret_cast<const char*>(data + at + 3), nameLength);
    std::string_view value(reinterpret_cast<const char*>(data + at + 5 + nameLength), valueLength);
    attributeName = attributeName.substr(0, attributeName.find('\0'));
    if (data[at] != 0x23 && attributeName == "printer-name")
      names->insert(std::string(value.substr(0, value.find('\0'))));
    if (data[at] == 0x23 && attributeName == "printer-type" && valueLength == 4) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
      types->insert(
          static_cast<int>(static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;

  Reader reader = {data, size, 0};
  ipp_t* message = ippNew();
  ipp_state_t state;
  // A blocking read goes to the end in one call; a short read ends it in error.
  for (int calls = 0; (state = ippReadIO(&reader, Read, 1, nullptr, message)) != IPP_STATE_DATA &&
                      state != IPP_STATE_ERROR && calls < 100;
       ++calls) {
  }
  const bool whole = state == IPP_STATE_DATA;

  int status = -1;
  std::vector<Printer> printers;
  const bool read = ReadPrinterAnswer(data, size, &status, [&](std::string name, std::optional<int> type) {
    printers.push_back({std::move(name), type});
  });
  size_t scanned = 0;
  const size_t length = IppMessageLength(data, size, &scanned);
  Check(!read || length > 0, "a message ReadPrinterAnswer reads is not whole to IppMessageLength");

  if (whole) {
    Check(read, "libcups reads the message whole, ours refuses it");
    Check(length == reader.at, "the message ends elsewhere than libcups ends it");
    Check(status == ippGetStatusCode(message), "the status differs from libcups's");
    Check(printers == Expected(message), "the printers differ from those libcups's reading lists");
    // The layer looks for the end as the body arrives, going on from where
    // it stopped: split anywhere, the end is the same.
    const size_t split = size / 2 + data[0] % (size / 2 + 1);
    scanned = 0;
    const size_t part = IppMessageLength(data, split, &scanned);
    Check(part == (split >= length ? length : 0), "a part of the message is taken for a whole one");
    Check(part || IppMessageLength(data, size, &scanned) == length, "going on from a part, the end is found elsewhere");
  } else if (read) {
    std::set<std::string> names;
    std::set<std::optional<int>> types;
    Held(data, size, &names, &types);
    for (const Printer& printer : printers) {
      Check(names.count(printer.name) && types.count(printer.type), "a printer no printer group held");
    }
  }
  ippDelete(message);
  return 0;
}

#include "printer-answer.h"

#include <cstring>
#include <utility>

namespace {

// The tags of RFC 8010 that the reading needs.
const unsigned char kEndOfAttributes = 0x03;
const unsigned char kPrinterGroup = 0x04;
const unsigned char kFirstValueTag = 0x10;
const unsigned char kEnum = 0x23;
const unsigned char kNameWithoutLanguage = 0x42;
const unsigned char kExtension = 0x7F;

class Reader {
 public:
  Reader(ipp_iocb_t read, void* context) : read_(read), context_(context) {}

  bool Bytes(void* out, size_t count) {
    return count == 0 || read_(context_, static_cast<ipp_uchar_t*>(out), count) == static_cast<ssize_t>(count);
  }
  bool Length(size_t* length) {
    unsigned char bytes[2];
    if (!Bytes(bytes, 2)) return false;
    *length = static_cast<size_t>(bytes[0] << 8 | bytes[1]);
    return true;
  }
  bool Skip(size_t count) {
    unsigned char scratch[4096];
    for (size_t step; count > 0; count -= step) {
      step = count < sizeof scratch ? count : sizeof scratch;
      if (!Bytes(scratch, step)) return false;
    }
    return true;
  }

 private:
  ipp_iocb_t read_;
  void* context_;
};

// The attribute a value belongs to, as far as the listing cares.
enum class Attribute { kOther, kName, kType };

Attribute Named(Reader* reader, size_t length, bool* ok) {
  static const char kName[] = "printer-name";
  static const char kType[] = "printer-type";
  char name[sizeof kName - 1];
  if (length != sizeof name) {
    *ok = reader->Skip(length);
    return Attribute::kOther;
  }
  *ok = reader->Bytes(name, sizeof name);
  if (!*ok) return Attribute::kOther;
  if (std::memcmp(name, kName, sizeof name) == 0) return Attribute::kName;
  if (std::memcmp(name, kType, sizeof name) == 0) return Attribute::kType;
  return Attribute::kOther;
}

}  // namespace

bool ReadPrinterAnswer(ipp_iocb_t read, void* context, int* status, const OnPrinter& onPrinter) {
  Reader reader(read, context);
  unsigned char head[8];  // version, status, request id
  if (!reader.Bytes(head, sizeof head)) return false;
  *status = head[2] << 8 | head[3];

  // The printer group being read, and what it has said of its printer so
  // far; as libcups's reading did, the last printer-name wins.
  bool inPrinter = false, named = false;
  std::string name;
  int type = 0;
  const auto endGroup = [&] {
    if (inPrinter && named) onPrinter(std::move(name), type);
    named = false;
    name.clear();
    type = 0;
  };

  Attribute current = Attribute::kOther;
  bool anyAttribute = false;
  for (;;) {
    unsigned char tag;
    if (!reader.Bytes(&tag, 1)) return false;
    if (tag == kEndOfAttributes) {
      endGroup();
      return true;
    }
    if (tag < kFirstValueTag) {
      if (tag == 0) return false;
      endGroup();
      inPrinter = tag == kPrinterGroup;
      anyAttribute = false;
      continue;
    }
    // An extended value tag carries its real number in the next four bytes.
    if (tag == kExtension && !reader.Skip(4)) return false;

    size_t length;
    if (!reader.Length(&length)) return false;
    // A value without a name is one more value of the attribute before it.
    const bool firstValue = length > 0;
    if (firstValue) {
      bool ok;
      current = Named(&reader, length, &ok);
      if (!ok) return false;
      anyAttribute = true;
    } else if (!anyAttribute) {
      return false;
    }

    if (!reader.Length(&length)) return false;
    if (inPrinter && firstValue && current == Attribute::kName && tag == kNameWithoutLanguage) {
      name.resize(length);
      if (!reader.Bytes(&name[0], length)) return false;
      named = true;
    } else if (inPrinter && firstValue && current == Attribute::kType && tag == kEnum && length == 4) {
      unsigned char value[4];
      if (!reader.Bytes(value, 4)) return false;
      type = static_cast<int>(static_cast<unsigned>(value[0]) << 24 | value[1] << 16 | value[2] << 8 | value[3]);
    } else if (!reader.Skip(length)) {
      return false;
    }
  }
}

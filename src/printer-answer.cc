#include "printer-answer.h"

#include <cups/cups.h>

#include <string_view>
#include <utility>

namespace {

// The tags of RFC 8010 that the reading needs.
const unsigned char kEndOfAttributes = 0x03;
const unsigned char kPrinterGroup = 0x04;
const unsigned char kFirstValueTag = 0x10;
const unsigned char kEnum = 0x23;
const unsigned char kNameWithoutLanguage = 0x42;
const size_t kHeadBytes = 8;  // version, status, request id

// What follows a message's head, one piece at a time: a group's tag, or a
// value with the name of its attribute (empty for one more value of the
// attribute before it).
struct Piece {
  unsigned char tag = 0;
  std::string_view name, value;
};
enum class Step { kPiece, kEnd, kShort, kMalformed };

class Pieces {
 public:
  Pieces(const unsigned char* bytes, size_t size, size_t at) : bytes_(bytes), size_(size), at_(at) {}
  size_t at() const { return at_; }

  // Reads the piece at at(), moving past it only when it is whole.
  Step Next(Piece* piece) {
    size_t at = at_;
    if (at >= size_) return Step::kShort;
    piece->tag = bytes_[at++];
    if (piece->tag == kEndOfAttributes) {
      at_ = at;
      return Step::kEnd;
    }
    if (piece->tag == 0) return Step::kMalformed;
    if (piece->tag >= kFirstValueTag) {
      // 0x7F needs nothing of its own: RFC 8010 puts the extended tag inside the value.
      if (!Field(&at, &piece->name) || !Field(&at, &piece->value)) return Step::kShort;
    }
    at_ = at;
    return Step::kPiece;
  }

 private:
  // A two-byte length and that many bytes.
  bool Field(size_t* at, std::string_view* field) const {
    if (size_ - *at < 2) return false;
    const size_t length = static_cast<size_t>(bytes_[*at] << 8 | bytes_[*at + 1]);
    if (size_ - *at - 2 < length) return false;
    *field = std::string_view(reinterpret_cast<const char*>(bytes_ + *at + 2), length);
    *at += 2 + length;
    return true;
  }

  const unsigned char* bytes_;
  size_t size_;
  size_t at_;
};

}  // namespace

size_t IppMessageLength(const unsigned char* bytes, size_t size, size_t* scanned) {
  if (size < kHeadBytes) return 0;
  Pieces pieces(bytes, size, *scanned > kHeadBytes ? *scanned : kHeadBytes);
  Piece piece;
  for (;;) {
    const Step step = pieces.Next(&piece);
    *scanned = pieces.at();
    if (step == Step::kEnd) return pieces.at();
    if (step != Step::kPiece) return 0;
  }
}

bool ReadPrinterAnswer(const unsigned char* bytes, size_t size, int* status, const OnPrinter& onPrinter) {
  if (size < kHeadBytes) return false;
  *status = bytes[2] << 8 | bytes[3];

  // The printer group being read, and what it has said of its printer so
  // far; as libcups's reading did, the last printer-name wins. A remote
  // queue is left out here too, as a server may ignore the request's
  // printer-type-mask.
  bool inPrinter = false, named = false;
  std::string name;
  int type = 0;
  const auto endGroup = [&] {
    if (inPrinter && named && !(type & CUPS_PRINTER_REMOTE)) onPrinter(std::move(name), type);
    named = false;
    name.clear();
    type = 0;
  };

  Pieces pieces(bytes, size, kHeadBytes);
  Piece piece;
  std::string_view attribute;  // the name of the attribute being read
  bool anyAttribute = false;
  for (;;) {
    const Step step = pieces.Next(&piece);
    if (step == Step::kEnd) {
      endGroup();
      return true;
    }
    if (step != Step::kPiece) return false;
    if (piece.tag < kFirstValueTag) {
      endGroup();
      inPrinter = piece.tag == kPrinterGroup;
      anyAttribute = false;
      continue;
    }
    // A value without a name is one more value of the attribute before it.
    const bool firstValue = !piece.name.empty();
    if (firstValue) {
      attribute = piece.name;
      anyAttribute = true;
    } else if (!anyAttribute) {
      return false;
    }
    if (!inPrinter || !firstValue) continue;
    if (attribute == "printer-name" && piece.tag == kNameWithoutLanguage) {
      name.assign(piece.value);
      named = true;
    } else if (attribute == "printer-type" && piece.tag == kEnum && piece.value.size() == 4) {
      const auto* value = reinterpret_cast<const unsigned char*>(piece.value.data());
      type = static_cast<int>(static_cast<unsigned>(value[0]) << 24 | value[1] << 16 | value[2] << 8 | value[3]);
    }
  }
}

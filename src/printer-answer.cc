#include "printer-answer.h"

#include <cups/cups.h>  // RFC 8010's tags, by libcups's names for them

#include <string_view>
#include <utility>

namespace {

const size_t kHeadBytes = 8;  // version, status, request id

// What follows a message's head, one piece at a time: a group's tag, or a
// value with the name of its attribute (empty for one more value of the
// attribute before it). A nested piece is inside a collection, or closes it.
struct Piece {
  unsigned char tag = 0;
  std::string_view name, value;
  bool nested = false;
};
enum class Step { kPiece, kEnd, kShort, kMalformed };

class Pieces {
 public:
  Pieces(const unsigned char* bytes, size_t size, size_t at) : bytes_(bytes), size_(size), at_(at) {}
  size_t at() const { return at_; }
  size_t depth() const { return depth_; }  // collections open at at()

  // Reads the piece at at(), moving past it only when it is whole. A
  // message ends where libcups ends it: libcups takes an end tag inside a
  // collection, and an endCollection outside one, as the end of what it
  // reads, and reads no name after an endCollection's name length.
  Step Next(Piece* piece) {
    size_t at = at_;
    if (at >= size_) return Step::kShort;
    piece->tag = bytes_[at++];
    piece->nested = depth_ > 0;
    if (piece->tag == 0) return Step::kMalformed;
    if (piece->tag == IPP_TAG_END_COLLECTION) {
      if (size_ - at < 4) return Step::kShort;
      if (bytes_[at + 2] || bytes_[at + 3]) return Step::kMalformed;
      at += 4;
    } else if (piece->tag >= IPP_TAG_UNSUPPORTED_VALUE) {
      // 0x7F needs nothing of its own: RFC 8010 puts the extended tag inside the value.
      if (!Field(&at, &piece->name) || !Field(&at, &piece->value)) return Step::kShort;
      if ((piece->tag == IPP_TAG_INTEGER || piece->tag == IPP_TAG_ENUM) && piece->value.size() != 4)
        return Step::kMalformed;
    }
    at_ = at;
    if (piece->tag == IPP_TAG_END || piece->tag == IPP_TAG_END_COLLECTION) {
      if (depth_ == 0) return Step::kEnd;
      --depth_;
    }
    depth_ += piece->tag == IPP_TAG_BEGIN_COLLECTION;
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
  size_t depth_ = 0;
};

// The syntax libcups gives a set of strings once it takes one more value of
// tag after values of syntax: a keyword goes over to a name, a name or a
// keyword to a name with a language, a text (in libcups 2.4) to a name with
// a language at a text with one, and any string to none at a no-value.
unsigned char Joined(unsigned char syntax, unsigned char tag) {
  if (tag == IPP_TAG_NOVALUE) return tag;
  if (syntax == IPP_TAG_KEYWORD && tag == IPP_TAG_NAME) return tag;
  if ((syntax == IPP_TAG_KEYWORD || syntax == IPP_TAG_NAME) && tag == IPP_TAG_NAMELANG) return tag;
  if (syntax == IPP_TAG_TEXT && tag == IPP_TAG_TEXTLANG) return IPP_TAG_NAMELANG;
  return syntax;
}

}  // namespace

size_t IppMessageLength(const unsigned char* bytes, size_t size, size_t* scanned) {
  if (size < kHeadBytes) return 0;
  Pieces pieces(bytes, size, *scanned > kHeadBytes ? *scanned : kHeadBytes);
  Piece piece;
  for (;;) {
    const Step step = pieces.Next(&piece);
    // The depth is not kept from one call to the next.
    if (pieces.depth() == 0) *scanned = pieces.at();
    if (step == Step::kEnd) return pieces.at();
    if (step != Step::kPiece) return 0;
  }
}

bool ReadPrinterAnswer(const unsigned char* bytes, size_t size, int* status, const OnPrinter& onPrinter) {
  if (size < kHeadBytes) return false;
  *status = bytes[2] << 8 | bytes[3];

  // The printer group being read, and what it has said of its printer so
  // far. As lpstat reads a group, its last printer-name of name syntax names
  // the printer, by its first value; the last printer-type decides its type.
  bool inPrinter = false, named = false;
  std::string name;
  std::optional<int> type;
  // A printer-name being read: its first value, and the syntax libcups
  // gives it as its values come.
  bool inName = false;
  std::string_view first;
  unsigned char syntax = 0;
  const auto endAttribute = [&] {
    // libcups keeps strings as C strings, which end at a NUL.
    if (inName && syntax == IPP_TAG_NAME) {
      name.assign(first.substr(0, first.find('\0')));
      named = true;
    }
    inName = false;
  };
  const auto endGroup = [&] {
    endAttribute();
    if (inPrinter && named) onPrinter(std::move(name), type);
    named = false;
    type.reset();
  };

  // libcups starts a group at a group tag that repeats the one before it,
  // and at any other only once an attribute follows: two groups of one tag
  // with only empty groups between them are one. So here.
  unsigned char groupTag = 0, attributesGroup = 0;
  bool inAttribute = false;
  std::string_view attribute;
  Pieces pieces(bytes, size, kHeadBytes);
  Piece piece;
  for (;;) {
    const Step step = pieces.Next(&piece);
    if (step == Step::kEnd) {
      endGroup();
      return true;
    }
    if (step != Step::kPiece) return false;
    if (piece.nested) continue;
    if (piece.tag < IPP_TAG_UNSUPPORTED_VALUE) {
      if (piece.tag == groupTag) attributesGroup = 0;
      groupTag = piece.tag;
      inAttribute = false;
      continue;
    }
    const bool more = piece.name.empty();  // one more value of the attribute before
    if (more && !inAttribute) return false;
    if (!more && groupTag != attributesGroup) {
      endGroup();
      attributesGroup = groupTag;
      inPrinter = groupTag == IPP_TAG_PRINTER;
    } else if (!more) {
      endAttribute();
    }
    if (!more) attribute = piece.name.substr(0, piece.name.find('\0'));
    inAttribute = true;
    if (inPrinter && attribute == "printer-name") {
      inName = true;
      if (!more) first = piece.value;
      syntax = more ? Joined(syntax, piece.tag) : piece.tag;
    } else if (inPrinter && attribute == "printer-type") {
      // Only one enum value counts as a type.
      const auto* value = reinterpret_cast<const unsigned char*>(piece.value.data());
      type.reset();
      if (!more && piece.tag == IPP_TAG_ENUM)
        type = static_cast<int>(static_cast<unsigned>(value[0]) << 24 | value[1] << 16 | value[2] << 8 | value[3]);
    }
  }
}

// Byte order of MOS text on the wire. The NRCS sends bare 16-bit text in either byte order;
// each receive lands in a TextArea, is classified by its first 28 bytes and converted to
// the machine's order for the parser. Used by the connection threads, each on its own area.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vidra {

enum class EncodingType : std::uint32_t {
  HighByteFirst = 0,
  LowByteFirst = 1,
  SingleByte = 2,
  Undetermined = 3,
};

// The fixed receive and conversion area of one connection: a receive fills at most the
// first half, so a zero terminator always follows the text.
struct TextArea {
  static constexpr std::size_t kBytes = 32768;
  static constexpr std::size_t kReceiveBytes = 16384;

  std::array<std::uint8_t, kBytes> bytes{};
  EncodingType encodingType = EncodingType::Undetermined;
  EncodingType previousType = EncodingType::Undetermined;

  void Clear();
  // The 16-bit units of a LowByteFirst area up to the first zero unit.
  std::u16string Text() const;
};

// Classifies an Undetermined area from its first 28 bytes (14 pairs); a mixed count falls
// back to LowByteFirst with a log line. An area of another type is left alone. True when the
// pairs named a 16-bit byte order without doubt.
bool ClassifyEncoding(TextArea& area);

// The answer as wire bytes in the order target names: 16-bit units without byte-order mark
// or terminator, or UTF-8 for single-byte traffic. Any length. An Undetermined target logs
// that it cannot be followed and gives the machine's order.
std::string ConvertAnswer(EncodingType target, std::u16string_view answer);

// A status notice as wire bytes. The notice text is classified as a string (with the "resp"
// form of the fallback line) and the result returned in classified; the bytes are always
// the notice's 16-bit units high byte first, whatever the NRCS itself sends.
std::string ConvertNotice(std::u16string_view notice, EncodingType& classified);

inline bool IsSixteenBit(EncodingType type) {
  return type == EncodingType::HighByteFirst || type == EncodingType::LowByteFirst;
}
// Converts the area in place to target; previousType keeps the type it had before.
void ConvertEncoding(TextArea& area, EncodingType target);

}  // namespace vidra

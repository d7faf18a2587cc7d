// Byte order of MOS text on the wire. The NRCS sends bare 16-bit text in either byte order,
// or 8-bit text; the connection pipeline reads it (see Pipeline.h), and answers and notices
// go back as the functions here write them.
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

// Counts the first 14 byte pairs of a connection's first message (head: 28 bytes, zeros past
// its end) and logs a mixed count with its numbers, as the server always has; the message's
// start tag, not this count, decides the connection's order.
void CountStartPairs(const std::uint8_t* head);

// The answer as wire bytes in the order target names: 16-bit units without byte-order mark
// or terminator, or UTF-8 for single-byte traffic. Any length. An Undetermined target logs
// that it cannot be followed and gives the machine's order.
std::string ConvertAnswer(EncodingType target, std::u16string_view answer);
// The same into bytes, whose memory is reused: a connection keeps one buffer for its answers,
// so a big roList does not take fresh pages from the kernel each time it is sent.
void ConvertAnswerInto(EncodingType target, std::u16string_view answer, std::string& bytes);

// A status notice as wire bytes. The notice text is classified as a string (with the "resp"
// form of the fallback line) and the result returned in classified; the bytes are always
// the notice's 16-bit units high byte first, whatever the NRCS itself sends.
std::string ConvertNotice(std::u16string_view notice, EncodingType& classified);

inline bool IsSixteenBit(EncodingType type) {
  return type == EncodingType::HighByteFirst || type == EncodingType::LowByteFirst;
}

}  // namespace vidra

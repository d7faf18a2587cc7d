// Classification looks at 28 bytes only; answers are converted in one pass into their
// bytes.
#include "transport/Encoding.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

constexpr std::size_t kClassifiedPairs = 14;

// Counts the first 14 byte pairs of bytes and names the order; fallbackLine is logged with
// the counts when they are mixed. True when the pairs named a 16-bit order without doubt.
bool ClassifyPairs(const std::uint8_t* bytes, EncodingType& type, const char* fallbackLine) {
  int highFirst = 0;  // zero byte first: a big-endian unit of a Latin character
  int lowFirst = 0;
  int other = 0;
  for (std::size_t i = 0; i < kClassifiedPairs; ++i) {
    const bool firstZero = bytes[i * 2] == 0;
    const bool secondZero = bytes[i * 2 + 1] == 0;
    if (firstZero && !secondZero) {
      ++highFirst;
    } else if (!firstZero && secondZero) {
      ++lowFirst;
    } else {
      ++other;
    }
  }
  if (highFirst == static_cast<int>(kClassifiedPairs)) {
    type = EncodingType::HighByteFirst;
    return true;
  }
  if (lowFirst == static_cast<int>(kClassifiedPairs)) {
    type = EncodingType::LowByteFirst;
    return true;
  }
  if (other == static_cast<int>(kClassifiedPairs)) {
    type = EncodingType::SingleByte;
  } else {
    Log(fallbackLine, lowFirst, highFirst, other);
    type = EncodingType::LowByteFirst;
  }
  return false;
}

}  // namespace

void CountStartPairs(const std::uint8_t* head) {
  EncodingType type = EncodingType::Undetermined;
  ClassifyPairs(head, type,
                "Can't define bytes order in input message and type of encoding: BE=%d, "
                "LE=%d, ANSI=%d. Use default encoding BE.\n");
}

std::string ConvertNotice(std::u16string_view notice, EncodingType& classified) {
  std::uint8_t head[kClassifiedPairs * 2] = {};
  for (std::size_t i = 0; i < kClassifiedPairs && i < notice.size(); ++i) {
    head[i * 2] = static_cast<std::uint8_t>(notice[i] & 0xFF);  // the string's own order
    head[i * 2 + 1] = static_cast<std::uint8_t>(notice[i] >> 8);
  }
  ClassifyPairs(head, classified,
                "Can't define bytes order in resp message and type of encoding: BE=%d, LE=%d, "
                "ANSI=%d. Use default encoding BE.\n");
  // Sent high byte first even when the count said single-byte: the notice is 16-bit text,
  // and leaving it in the machine's order would send it backwards.
  return ConvertAnswer(EncodingType::HighByteFirst, notice);
}

std::string ConvertAnswer(EncodingType target, std::u16string_view answer) {
  std::string bytes;
  ConvertAnswerInto(target, answer, bytes);
  return bytes;
}

void ConvertAnswerInto(EncodingType target, std::u16string_view answer, std::string& bytes) {
  if (target == EncodingType::SingleByte) {
    Utf16ToUtf8Into(answer, bytes);
    return;
  }
  if (target == EncodingType::Undetermined) {
    LogText("\nVIDRA - Can't transform to init message type\n");
    target = EncodingType::LowByteFirst;
  }
  bytes.resize(answer.size() * 2);
  if ((target == EncodingType::HighByteFirst) == (std::endian::native == std::endian::big)) {
    std::memcpy(bytes.data(), answer.data(), bytes.size());
    return;
  }
  // Whole units swapped as they are copied, which the compiler turns into vector code; a
  // byte-by-byte swap took longer than building a running order's roAck.
  char* out = bytes.data();
  for (const char16_t unit : answer) {
    const auto swapped = static_cast<char16_t>(unit << 8 | unit >> 8);
    std::memcpy(out, &swapped, sizeof swapped);
    out += sizeof swapped;
  }
}

}  // namespace vidra

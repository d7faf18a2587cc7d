// Classification looks at 28 bytes only and conversion works in place in the area, so a
// receive costs no allocation until its text is taken.
#include "transport/Encoding.h"

#include <algorithm>
#include <cstring>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

constexpr std::size_t kClassifiedPairs = 14;

// Number of 16-bit units before the first zero unit.
std::size_t UnitCount(const TextArea& area) {
  std::size_t units = 0;
  while (units * 2 + 1 < area.bytes.size() &&
         (area.bytes[units * 2] != 0 || area.bytes[units * 2 + 1] != 0)) {
    ++units;
  }
  return units;
}

void SwapUnits(TextArea& area) {
  const std::size_t units = UnitCount(area);
  for (std::size_t i = 0; i < units; ++i) {
    std::swap(area.bytes[i * 2], area.bytes[i * 2 + 1]);
  }
}

// 8-bit text becomes 16-bit LowByteFirst text: read as UTF-8 when it is valid UTF-8 (what a
// modern NRCS sends when it sends bytes), otherwise as Latin-1, one unit per byte.
void WidenSingleByte(TextArea& area) {
  const auto* begin = reinterpret_cast<const char*>(area.bytes.data());
  const std::size_t length = strnlen(begin, TextArea::kBytes / 2);
  const std::string_view text(begin, length);
  std::u16string wide;
  if (IsValidUtf8(text)) {
    wide = Utf8ToUtf16(text);
  } else {
    wide.resize(text.size());
    std::transform(text.begin(), text.end(), wide.begin(),
                   [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
  }
  const std::size_t units = std::min(wide.size(), TextArea::kBytes / 2 - 1);
  std::fill(area.bytes.begin(), area.bytes.end(), 0);
  for (std::size_t i = 0; i < units; ++i) {
    area.bytes[i * 2] = static_cast<std::uint8_t>(wide[i] & 0xFF);
    area.bytes[i * 2 + 1] = static_cast<std::uint8_t>(wide[i] >> 8);
  }
}

void NarrowToSingleByte(TextArea& area) {
  const std::size_t units = UnitCount(area);
  for (std::size_t i = 0; i < units; ++i) {
    area.bytes[i] = area.bytes[i * 2];
  }
  area.bytes[units] = 0;
}

}  // namespace

void TextArea::Clear() {
  bytes.fill(0);
  encodingType = EncodingType::Undetermined;
}

std::u16string TextArea::Text() const {
  const std::size_t units = UnitCount(*this);
  std::u16string text(units, u'\0');
  for (std::size_t i = 0; i < units; ++i) {
    text[i] = static_cast<char16_t>(bytes[i * 2] | (bytes[i * 2 + 1] << 8));
  }
  return text;
}

namespace {

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

bool ClassifyEncoding(TextArea& area) {
  if (area.encodingType != EncodingType::Undetermined) {
    return false;
  }
  return ClassifyPairs(area.bytes.data(), area.encodingType,
                       "Can't define bytes order in input message and type of encoding: BE=%d, "
                       "LE=%d, ANSI=%d. Use default encoding BE.\n");
}

void ConvertEncoding(TextArea& area, EncodingType target) {
  area.previousType = area.encodingType;
  if (area.encodingType == target || target == EncodingType::Undetermined) {
    return;
  }
  const bool wide = area.encodingType == EncodingType::HighByteFirst ||
                    area.encodingType == EncodingType::LowByteFirst;
  if (wide && target != EncodingType::SingleByte) {
    SwapUnits(area);
  } else if (target == EncodingType::SingleByte) {
    if (area.encodingType == EncodingType::HighByteFirst) {
      SwapUnits(area);
    }
    NarrowToSingleByte(area);
  } else {
    // SingleByte (or Undetermined, taken as bytes) to 16-bit text.
    WidenSingleByte(area);
    if (target == EncodingType::HighByteFirst) {
      SwapUnits(area);
    }
  }
  area.encodingType = target;
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
  if (target == EncodingType::SingleByte) {
    return Utf16ToUtf8(answer);
  }
  if (target == EncodingType::Undetermined) {
    LogText("\nVIDRA - Can't transform to init message type\n");
    target = EncodingType::LowByteFirst;
  }
  std::string bytes(answer.size() * 2, '\0');
  const bool highFirst = target == EncodingType::HighByteFirst;
  for (std::size_t i = 0; i < answer.size(); ++i) {
    const auto high = static_cast<char>(answer[i] >> 8);
    const auto low = static_cast<char>(answer[i] & 0xFF);
    bytes[i * 2] = highFirst ? high : low;
    bytes[i * 2 + 1] = highFirst ? low : high;
  }
  return bytes;
}

}  // namespace vidra

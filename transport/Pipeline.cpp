// Tags are found with memchr on '<' and tested in place, and the search for a closing tag
// resumes where the last one stopped, so a message of megabytes that arrives in many
// receives is scanned once and copied once, when it is decoded.
#include "transport/Pipeline.h"

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

constexpr std::size_t kOpenLength16 = 10;  // "<mos>" in 16-bit units
constexpr std::size_t kOpenLength8 = 5;
constexpr std::size_t kCloseLength16 = 12;  // "</mos>"
constexpr std::size_t kCloseLength8 = 6;
// Kept at the end of the buffer while no start tag is found: a tag split between receives
// (a 16-bit one high byte first begins with its zero byte, before the '<').
constexpr std::size_t kTail = kOpenLength16;

bool Letter(std::uint8_t c, char lower) {
  return c == static_cast<std::uint8_t>(lower) || c == static_cast<std::uint8_t>(lower - 32);
}

// The tag's characters ("<mos>" or "</mos>"; the letters in any case) at b in the encoding.
bool TagAt(const std::uint8_t* b, EncodingType order, std::string_view tag) {
  const std::size_t step = order == EncodingType::SingleByte ? 1 : 2;
  for (std::size_t k = 0; k < tag.size(); ++k) {
    const std::uint8_t* unit = b + k * step;
    std::uint8_t c = unit[0];
    if (order == EncodingType::HighByteFirst) {
      if (unit[0] != 0) {
        return false;
      }
      c = unit[1];
    } else if (order == EncodingType::LowByteFirst && unit[1] != 0) {
      return false;
    }
    const char want = tag[k];
    if (want >= 'a' && want <= 'z' ? !Letter(c, want) : c != static_cast<std::uint8_t>(want)) {
      return false;
    }
  }
  return true;
}

std::size_t OpenLength(EncodingType order) {
  return order == EncodingType::SingleByte ? kOpenLength8 : kOpenLength16;
}

std::size_t CloseLength(EncodingType order) {
  return order == EncodingType::SingleByte ? kCloseLength8 : kCloseLength16;
}

// Where the unit holding '<' begins, for a '<' byte at p.
std::size_t UnitStart(std::size_t p, EncodingType order) {
  return order == EncodingType::HighByteFirst ? p - 1 : p;
}

bool IsBlank(unsigned unit) {
  return unit == u' ' || unit == u'\t' || unit == u'\r' || unit == u'\n';
}

#if defined(__SSE2__)
// Where the '<' search of 16-bit text resumes: past every unit from the one whose '<' byte
// is at or after p (units on the grid that starts at message) that cannot begin "</mos>" or
// "<mos>", eight units at a time. A unit can if it is '<' followed by '/' and an 'm', or by
// an 'm' and an 'o' (either case); in a running order that is one tag in a few dozen, where
// a '<' is one unit in six. Whole units are compared, so a character whose low or high byte
// is '<' is no candidate. The last units, where a tag may be cut off, are left to the caller.
std::size_t SkipToTagCandidate(const std::uint8_t* b, std::size_t p, std::size_t size,
                               std::size_t message, bool highFirst) {
  const std::size_t lessByte = highFirst ? 1 : 0;  // the '<' byte's place in its unit
  if (p < message + lessByte) {
    return p;
  }
  std::size_t at = p - lessByte;
  at += (at - message) % 2;
  const auto unit = [highFirst](char16_t c) {
    return _mm_set1_epi16(static_cast<short>(highFirst ? c << 8 : c));
  };
  const __m128i less = unit(u'<');
  const __m128i slash = unit(u'/');
  const __m128i m = unit(u'm');
  const __m128i upperM = unit(u'M');
  const __m128i o = unit(u'o');
  const __m128i upperO = unit(u'O');
  const auto either = [](__m128i units, __m128i one, __m128i other) {
    return _mm_or_si128(_mm_cmpeq_epi16(units, one), _mm_cmpeq_epi16(units, other));
  };
  constexpr std::size_t kBlock = 16;
  constexpr std::size_t kRead = kBlock + 4;  // two more units for each unit's followers
  for (; at + kRead <= size; at += kBlock) {
    const auto load = [b, at](std::size_t offset) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at + offset));
    };
    const __m128i first = load(0);
    const __m128i second = load(2);
    const __m128i third = load(4);
    const __m128i close = _mm_and_si128(_mm_cmpeq_epi16(second, slash), either(third, m, upperM));
    const __m128i open = _mm_and_si128(either(second, m, upperM), either(third, o, upperO));
    const __m128i candidate =
        _mm_and_si128(_mm_cmpeq_epi16(first, less), _mm_or_si128(close, open));
    if (const int mask = _mm_movemask_epi8(candidate); mask != 0) {
      return at + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask))) +
             lessByte;
    }
  }
  return at + lessByte;
}
#endif

}  // namespace

std::u16string DecodeText(std::string_view bytes, EncodingType order) {
  std::u16string text;
  if (order == EncodingType::HighByteFirst || order == EncodingType::LowByteFirst) {
    text.resize(bytes.size() / 2);
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    if ((order == EncodingType::HighByteFirst) != (std::endian::native == std::endian::big)) {
      for (char16_t& unit : text) {
        unit = static_cast<char16_t>(unit << 8 | unit >> 8);
      }
    }
    return text;
  }
  if (IsValidUtf8(bytes)) {
    return Utf8ToUtf16(bytes);
  }
  text.resize(bytes.size());
  std::transform(bytes.begin(), bytes.end(), text.begin(),
                 [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
  return text;
}

std::uint8_t* ReceiveBuffer::Room(std::size_t n) {
  if (size_ + n > capacity_) {
    const std::size_t capacity = std::max(size_ + n, capacity_ * 2);
    auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (size_ > 0) {
      std::memcpy(bytes.get(), bytes_.get(), size_);
    }
    bytes_ = std::move(bytes);
    capacity_ = capacity;
  }
  return bytes_.get() + size_;
}

void ReceiveBuffer::Append(std::string_view bytes) {
  if (!bytes.empty()) {
    std::memcpy(Room(bytes.size()), bytes.data(), bytes.size());
    size_ += bytes.size();
  }
}

void ReceiveBuffer::EraseFront(std::size_t n) {
  n = std::min(n, size_);
  if (n < size_) {
    std::memmove(bytes_.get(), bytes_.get() + n, size_ - n);
  }
  size_ -= n;
}

std::uint8_t* MessagePipeline::ReceiveSpace() {
  lastReceive_ = buffer_.size();
  const bool bigMessage =
      message_ != std::string::npos && buffer_.size() - message_ >= kReceiveBytes;
  room_ = bigMessage ? kBigReceiveBytes : kReceiveBytes;
  return buffer_.Room(room_);
}

void MessagePipeline::Commit(std::size_t received) {
  buffer_.Added(std::min(received, room_));
}

void MessagePipeline::Append(std::string_view bytes) {
  lastReceive_ = buffer_.size();
  buffer_.Append(bytes);
}

bool MessagePipeline::FindOpen(std::size_t from, Open& open) const {
  const auto* b = reinterpret_cast<const std::uint8_t*>(buffer_.data());
  const std::size_t size = buffer_.size();
  static constexpr EncodingType kAll[] = {EncodingType::HighByteFirst, EncodingType::LowByteFirst,
                                          EncodingType::SingleByte};
  for (std::size_t p = from; p < size;) {
    const void* found = std::memchr(b + p, '<', size - p);
    if (found == nullptr) {
      return false;
    }
    p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - b);
    bool found16 = false;
    for (const EncodingType order : kAll) {
      if (order_ != EncodingType::Undetermined && order != order_) {
        continue;
      }
      if (order == EncodingType::HighByteFirst && p == from) {
        continue;  // its zero byte would stand before from
      }
      const std::size_t at = UnitStart(p, order);
      if (at + OpenLength(order) > size || !TagAt(b + at, order, "<mos>")) {
        continue;
      }
      // Low byte first text after a zero byte reads as high byte first too; the NRCS
      // sends whole units, so the reading whose units start at an even offset of the
      // connection's stream is its own.
      if (found16 && (erased_ + open.at) % 2 == 0) {
        return true;
      }
      open = Open{at, order};
      if (order == EncodingType::SingleByte || order_ != EncodingType::Undetermined) {
        return true;
      }
      found16 = true;
      if (order == EncodingType::HighByteFirst && (erased_ + at) % 2 != 0 &&
          p + kOpenLength16 > size) {
        return false;  // the other reading, which would win, is not all here yet
      }
    }
    if (found16) {
      return true;
    }
    ++p;
  }
  return false;
}

void MessagePipeline::Skip(std::size_t to) {
  if (to <= start_) {
    return;
  }
  const auto* b = reinterpret_cast<const std::uint8_t*>(buffer_.data());
  if (order_ == EncodingType::HighByteFirst || order_ == EncodingType::LowByteFirst) {
    // Units counted back from to, where the next message or the end stands.
    std::size_t at = to;
    while (!skippedText_ && at >= start_ + 2) {
      at -= 2;
      const unsigned unit = order_ == EncodingType::HighByteFirst ? (b[at] << 8 | b[at + 1])
                                                                  : (b[at + 1] << 8 | b[at]);
      skippedText_ = !IsBlank(unit);
    }
    skippedText_ = skippedText_ || at > start_;
  } else {
    for (std::size_t at = start_; at < to && !skippedText_; ++at) {
      skippedText_ = !IsBlank(b[at]);
    }
  }
  skipped_ += to - start_;
  start_ = to;
}

void MessagePipeline::CountFirstPairs(std::size_t at, std::size_t length) {
  // The count of the first message's first pairs, with its log lines, as the server always
  // wrote them; it no longer decides anything.
  std::uint8_t head[kCountedBytes] = {};
  std::memcpy(head, buffer_.data() + at, std::min(length, kCountedBytes));
  CountStartPairs(head);
  counted_ = true;
}

void MessagePipeline::ReportSkipped() {
  if (skipped_ > 0 && skippedText_) {
    Log("VIDRA - %zu bytes that are no MOS message are skipped\n", skipped_);
  }
  skipped_ = 0;
  skippedText_ = false;
}

void MessagePipeline::Finish() {
  Skip(buffer_.size());
  ReportSkipped();
}

void MessagePipeline::Compact() {
  if (start_ == 0 || (start_ < buffer_.size() / 2 && buffer_.size() - start_ > 4096)) {
    return;
  }
  buffer_.EraseFront(start_);
  erased_ += start_;
  const auto shift = [this](std::size_t& at) { at = at >= start_ ? at - start_ : 0; };
  shift(lastReceive_);
  shift(scanned_);
  if (message_ != std::string::npos) {
    shift(message_);
  }
  start_ = 0;
}

FrameResult MessagePipeline::Next(std::u16string& message) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(buffer_.data());
  const std::size_t size = buffer_.size();
  if (message_ == std::string::npos) {
    Open open;
    if (!FindOpen(start_, open)) {
      if (size - start_ > kTail) {
        // On whole units from the last message's end, so blanks after it stay blanks.
        const std::size_t to = size - kTail;
        Skip(order_ == EncodingType::SingleByte ? to : to - (to - start_) % 2);
      }
      Compact();
      return FrameResult::NeedMore;
    }
    Skip(open.at);
    ReportSkipped();  // a message begins: the burst before it has ended
    if (order_ == EncodingType::Undetermined) {
      order_ = open.order;  // the start tag decides the order
    }
    message_ = open.at;
    scanned_ = open.at + OpenLength(order_);
  }
  if (!counted_ && size - message_ >= kCountedBytes) {
    CountFirstPairs(message_, size - message_);
  }
  const std::size_t closeLength = CloseLength(order_);
  const std::size_t unit = order_ == EncodingType::SingleByte ? 1 : 2;
  // The '<' of a tag stands on the message's unit boundary: at an even distance from its
  // start, plus one byte high byte first.
  const std::size_t phase = order_ == EncodingType::HighByteFirst ? 1 : 0;
  std::size_t p = scanned_;
  bool more = false;
  while (p < size) {
#if defined(__SSE2__)
    if (unit == 2) {
      p = SkipToTagCandidate(b, p, size, message_, order_ == EncodingType::HighByteFirst);
    }
#endif
    const void* found = std::memchr(b + p, '<', size - p);
    if (found == nullptr) {
      break;
    }
    p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - b);
    if (unit == 2 && (p - message_) % 2 != phase) {
      ++p;
      continue;
    }
    const std::size_t at = UnitStart(p, order_);
    if (at + closeLength > size) {
      scanned_ = at;  // the tag may be complete with the next receive
      more = true;
      break;
    }
    if (TagAt(b + at, order_, "</mos>")) {
      if (!counted_) {
        CountFirstPairs(message_, at + closeLength - message_);
      }
      message = DecodeText(buffer_.View().substr(message_, at + closeLength - message_), order_);
      start_ = at + closeLength;
      message_ = std::string::npos;
      Compact();
      return FrameResult::Complete;
    }
    if (TagAt(b + at, order_, "<mos>")) {
      // A new message before this one closed: this one was cut short, and the new one is
      // taken whole.
      start_ = message_;
      Skip(at);
      ReportSkipped();
      message_ = at;
      p = at + OpenLength(order_);
      continue;
    }
    ++p;
  }
  if (!more) {
    scanned_ = std::max(scanned_, size > closeLength ? size - closeLength + 1 : 0);
  }
  if ((size - message_) / unit > limit_) {
    // Reported by the caller with its own line, not as skipped bytes.
    start_ = message_;
    message_ = std::string::npos;
    Skip(size > kTail ? size - kTail : size);
    skipped_ = 0;
    skippedText_ = false;
    Compact();
    return FrameResult::Overflow;
  }
  start_ = std::min(start_, message_);
  Compact();
  return FrameResult::NeedMore;
}

std::u16string MessagePipeline::LastReceived(std::size_t maxUnits) const {
  if (lastReceive_ >= buffer_.size()) {
    return {};
  }
  EncodingType order = order_;
  std::size_t from = lastReceive_;
  if (order == EncodingType::Undetermined) {
    // Before the first message: as its start tag shows it, on that tag's unit boundary.
    Open open;
    order = EncodingType::SingleByte;
    if (FindOpen(lastReceive_, open)) {
      order = open.order;
      from += order == EncodingType::SingleByte ? 0 : (open.at - lastReceive_) % 2;
    }
  } else if (order != EncodingType::SingleByte && message_ != std::string::npos &&
             (from - message_) % 2 != 0) {
    ++from;  // the receive began inside a unit
  }
  const std::size_t unit = order == EncodingType::SingleByte ? 1 : 2;
  const std::size_t length = std::min(buffer_.size() - from, maxUnits * unit);
  return DecodeText(buffer_.View().substr(from, length - length % unit), order);
}

}  // namespace vidra

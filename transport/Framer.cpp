// Only the five-character "<mos>" opens a message (no attributes, no blank) and only the
// six-character "</mos>" closes it. The search for a closing tag resumes where the last one
// stopped, so a message arriving in many receives is scanned once, not once per receive.
#include "transport/Framer.h"

namespace vidra {

namespace {

bool Letter(char16_t c, char16_t lower) {
  return c == lower || c == lower - 32;
}

bool IsOpenTag(std::u16string_view s, std::size_t i) {
  return s[i] == u'<' && Letter(s[i + 1], u'm') && Letter(s[i + 2], u'o') &&
         Letter(s[i + 3], u's') && s[i + 4] == u'>';
}

bool IsCloseTag(std::u16string_view s, std::size_t i) {
  return s[i] == u'<' && s[i + 1] == u'/' && Letter(s[i + 2], u'm') && Letter(s[i + 3], u'o') &&
         Letter(s[i + 4], u's') && s[i + 5] == u'>';
}

}  // namespace

void Framer::Append(std::u16string_view text) {
  buffer_.append(text);
}

void Framer::Compact() {
  if (start_ > 0 && (start_ >= buffer_.size() / 2 || buffer_.size() - start_ < 64)) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
}

FrameResult Framer::Next(std::u16string& message) {
  std::u16string_view pending(buffer_);
  pending.remove_prefix(start_);
  if (pending.size() < 5) {
    return FrameResult::NeedMore;
  }
  std::size_t open = std::u16string_view::npos;
  for (std::size_t i = 0; i + 5 <= pending.size(); ++i) {
    if (IsOpenTag(pending, i)) {
      open = i;
      break;
    }
  }
  if (open == std::u16string_view::npos) {
    // Keep the last four characters: a start tag may be split between receives.
    buffer_.erase(0, buffer_.size() - 4);
    start_ = 0;
    scanned_ = 0;
    return FrameResult::NeedMore;
  }
  if (open > 0) {
    start_ += open;
    scanned_ = scanned_ > open ? scanned_ - open : 0;
    pending.remove_prefix(open);
  }
  for (std::size_t j = scanned_; j + 6 <= pending.size(); ++j) {
    if (IsCloseTag(pending, j)) {
      message.assign(pending.substr(0, j + 6));
      start_ += j + 6;
      scanned_ = 0;
      Compact();
      return FrameResult::Complete;
    }
  }
  scanned_ = pending.size() >= 5 ? pending.size() - 5 : 0;
  if (pending.size() > limit_) {
    buffer_.clear();
    start_ = 0;
    scanned_ = 0;
    return FrameResult::Overflow;
  }
  Compact();
  return FrameResult::NeedMore;
}

}  // namespace vidra

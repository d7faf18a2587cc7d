// Cuts whole MOS messages out of one connection's stream of 16-bit text: from the first
// "<mos>" (tag letters in any case) to the first "</mos>" after it, with no nesting count.
// Text before the start tag is dropped; a partial message waits for the next receive. Each
// connection thread owns one, so a partial message never crosses connections.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vidra {

enum class FrameResult {
  Complete,  // a whole message was cut out
  NeedMore,  // no whole message is buffered
  Overflow,  // the pending text passed the limit without a closing tag and was dropped
};

class Framer {
 public:
  // Pending text past this many characters without a closing tag is dropped.
  static constexpr std::size_t kDefaultLimit = std::size_t{16} << 20;

  explicit Framer(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  void Append(std::u16string_view text);
  // Takes the next whole message into message.
  FrameResult Next(std::u16string& message);
  std::size_t Pending() const { return buffer_.size() - start_; }

 private:
  void Compact();

  std::u16string buffer_;
  std::size_t start_ = 0;    // consumed prefix of buffer_, dropped lazily
  std::size_t scanned_ = 0;  // closing tags were looked for up to here (relative to start_)
  std::size_t limit_;
};

}  // namespace vidra

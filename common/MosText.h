// A MOS text that may be absent. An absent text and an empty one are equal in every
// comparison; the difference matters only when a message is written back, where an absent
// optional field is left out and a present empty one is written empty. UTF-8 inside.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vidra {

class MosText {
 public:
  MosText() = default;
  MosText(std::string text)  // NOLINT: implicit on purpose
      : text_(std::move(text)), present_(true) {}
  MosText(const char* text) : MosText(std::string(text)) {}  // NOLINT: implicit on purpose
  MosText(const MosText&) = default;
  MosText& operator=(const MosText&) = default;
  // A text moved from is absent, as a field never received.
  MosText(MosText&& other) noexcept
      : text_(std::move(other.text_)), present_(std::exchange(other.present_, false)) {}
  MosText& operator=(MosText&& other) noexcept {
    text_ = std::move(other.text_);
    present_ = std::exchange(other.present_, false);
    return *this;
  }
  ~MosText() = default;

  bool Present() const { return present_; }
  // The text, empty when absent.
  const std::string& Str() const { return text_; }
  bool IsEmpty() const { return text_.empty(); }
  void Reset() {
    text_.clear();
    present_ = false;
  }

  friend bool operator==(const MosText& a, const MosText& b) { return a.text_ == b.text_; }

 private:
  // Held in place: most texts of a running order (IDs, durations, times) are short enough
  // to need no allocation of their own, and reading a running order of thousands of items
  // costs no allocation for each of their two dozen texts.
  std::string text_;
  bool present_ = false;
};

}  // namespace vidra

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
      : value_(std::make_unique<std::string>(std::move(text))) {}
  MosText(const char* text) : MosText(std::string(text)) {}  // NOLINT: implicit on purpose
  MosText(const MosText& other)
      : value_(other.value_ ? std::make_unique<std::string>(*other.value_) : nullptr) {}
  MosText& operator=(const MosText& other) {
    if (!other.value_) {
      value_.reset();
    } else if (value_) {
      *value_ = *other.value_;
    } else {
      value_ = std::make_unique<std::string>(*other.value_);
    }
    return *this;
  }
  MosText(MosText&&) noexcept = default;
  MosText& operator=(MosText&&) noexcept = default;
  ~MosText() = default;

  bool Present() const { return value_ != nullptr; }
  // The text, empty when absent.
  const std::string& Str() const { return value_ ? *value_ : EmptyString(); }
  bool IsEmpty() const { return Str().empty(); }
  void Reset() { value_.reset(); }

  friend bool operator==(const MosText& a, const MosText& b) { return a.Str() == b.Str(); }

 private:
  static const std::string& EmptyString() {
    static const std::string empty;
    return empty;
  }
  // A record has two dozen texts and most are absent in a running order's items: one
  // pointer each keeps a stored running order of thousands of items small.
  std::unique_ptr<std::string> value_;
};

}  // namespace vidra

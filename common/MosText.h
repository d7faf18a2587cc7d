// A MOS text that may be absent. An absent text and an empty one are equal in every
// comparison; the difference matters only when a message is written back, where an absent
// optional field is left out and a present empty one is written empty. UTF-8 inside.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vidra {

class MosText {
 public:
  MosText() = default;
  MosText(std::string_view text) : block_(Block(text)) {}  // NOLINT: implicit on purpose
  MosText(const std::string& text)                         // NOLINT: implicit on purpose
      : MosText(std::string_view(text)) {}
  MosText(const char* text) : MosText(std::string_view(text)) {}  // NOLINT: implicit on purpose
  MosText(const MosText& other) : block_(other.block_ ? Block(other.Str()) : nullptr) {}
  MosText& operator=(const MosText& other) {
    if (this != &other) {
      block_ = other.block_ ? Block(other.Str()) : nullptr;
    }
    return *this;
  }
  MosText(MosText&&) noexcept = default;
  MosText& operator=(MosText&&) noexcept = default;
  ~MosText() = default;

  bool Present() const { return block_ != nullptr; }
  // The text, empty when absent.
  std::string_view Str() const {
    return block_ ? std::string_view(block_.get() + kHeader, Size()) : std::string_view();
  }
  // The text with a zero after it, for C interfaces and log formats; "" when absent.
  const char* CStr() const { return block_ ? block_.get() + kHeader : ""; }
  bool IsEmpty() const { return Size() == 0; }
  void Reset() { block_.reset(); }

  friend bool operator==(const MosText& a, const MosText& b) { return a.Str() == b.Str(); }

 private:
  // A record has two dozen texts and most are absent in a running order's items, so each
  // is one pointer. A present text is one block (its length, its characters, a zero): a
  // running order of thousands of items is read, copied and freed with one allocation per
  // text, not two.
  using Length = std::uint32_t;
  static constexpr std::size_t kHeader = sizeof(Length);

  static std::unique_ptr<char[]> Block(std::string_view text) {
    if (text.size() > UINT32_MAX - kHeader - 1) {
      throw std::length_error("a MOS text over 4 GiB");
    }
    const auto length = static_cast<Length>(text.size());
    auto block = std::make_unique_for_overwrite<char[]>(kHeader + text.size() + 1);
    std::memcpy(block.get(), &length, kHeader);
    if (!text.empty()) {
      std::memcpy(block.get() + kHeader, text.data(), text.size());
    }
    block[kHeader + text.size()] = '\0';
    return block;
  }
  std::size_t Size() const {
    Length length = 0;
    if (block_) {
      std::memcpy(&length, block_.get(), kHeader);
    }
    return length;
  }

  std::unique_ptr<char[]> block_;
};

}  // namespace vidra

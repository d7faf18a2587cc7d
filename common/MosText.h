// A MOS text that may be absent. An absent text and an empty one are equal in every
// comparison; the difference matters only when a message is written back, where an absent
// optional field is left out and a present empty one is written empty. UTF-8 inside.
#pragma once

#include <array>
#include <bit>
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
  MosText(std::string_view text) { Assign(text); }  // NOLINT: implicit on purpose
  MosText(const std::string& text)                  // NOLINT: implicit on purpose
      : MosText(std::string_view(text)) {}
  MosText(const char* text) : MosText(std::string_view(text)) {}  // NOLINT: implicit on purpose
  MosText(const MosText& other) {
    if (other.Present()) {
      Assign(other.Str());
    }
  }
  MosText& operator=(const MosText& other) {
    if (this != &other) {
      MosText copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  MosText(MosText&& other) noexcept : raw_(other.raw_) { other.raw_ = {}; }
  MosText& operator=(MosText&& other) noexcept {
    if (this != &other) {
      Release();
      raw_ = other.raw_;
      other.raw_ = {};
    }
    return *this;
  }
  ~MosText() { Release(); }

  bool Present() const { return Inline() || Heap() != nullptr; }
  // The text, empty when absent. It lives in this object when it is short: a view of it
  // holds as long as this object is neither changed nor moved.
  std::string_view Str() const {
    if (Inline()) {
      return {InlineText(), static_cast<std::size_t>(raw_[0] >> 1)};
    }
    const Length* heap = Heap();
    return heap != nullptr ? std::string_view(HeapText(heap), *heap) : std::string_view();
  }
  // The text with a zero after it, for C interfaces and log formats; "" when absent.
  const char* CStr() const {
    if (Inline()) {
      return InlineText();
    }
    const Length* heap = Heap();
    return heap != nullptr ? HeapText(heap) : "";
  }
  bool IsEmpty() const { return Str().empty(); }
  void Reset() {
    Release();
    raw_ = {};
  }

  friend bool operator==(const MosText& a, const MosText& b) { return a.Str() == b.Str(); }

 private:
  // A record has two dozen texts and most are absent in a running order's items, so each
  // is one pointer's room. A text of up to six bytes (a duration, a time base, a short ID)
  // is kept in that room: the first byte holds its length and a tag bit, then the text and a
  // zero. A longer one is one block (its length, its characters, a zero) that the room
  // points to; a block is aligned to its length field, so the tag bit of a pointer is clear.
  // Reading a running order of thousands of items allocates only for its long texts.
  using Length = std::uint32_t;
  static constexpr std::size_t kRoom = sizeof(Length*);
  static constexpr std::size_t kInlineMax = kRoom - 2;  // the length byte and the zero
  static_assert(std::endian::native == std::endian::little,
                "the tag bit is the low bit of the pointer's first byte");

  bool Inline() const { return (raw_[0] & 1U) != 0; }
  const char* InlineText() const { return reinterpret_cast<const char*>(raw_.data() + 1); }
  // The block this text owns, or null (absent or held in place).
  Length* Heap() const {
    Length* heap = nullptr;
    std::memcpy(&heap, raw_.data(), kRoom);
    return heap;
  }
  static const char* HeapText(const Length* heap) {
    return reinterpret_cast<const char*>(heap + 1);
  }
  static std::size_t Words(std::size_t size) {
    return 1 + (size + 1 + sizeof(Length) - 1) / sizeof(Length);
  }

  void Assign(std::string_view text) {
    if (text.size() <= kInlineMax) {
      raw_[0] = static_cast<unsigned char>(text.size() << 1 | 1U);
      if (!text.empty()) {
        std::memcpy(raw_.data() + 1, text.data(), text.size());
      }
      raw_[1 + text.size()] = 0;
      return;
    }
    if (text.size() > UINT32_MAX - 2 * sizeof(Length)) {
      throw std::length_error("a MOS text over 4 GiB");
    }
    Length* heap = std::allocator<Length>().allocate(Words(text.size()));
    *heap = static_cast<Length>(text.size());
    char* chars = reinterpret_cast<char*>(heap + 1);
    std::memcpy(chars, text.data(), text.size());
    chars[text.size()] = '\0';
    std::memcpy(raw_.data(), &heap, kRoom);
  }
  void Release() {
    if (!Inline()) {
      if (Length* heap = Heap()) {
        std::allocator<Length>().deallocate(heap, Words(*heap));
      }
    }
  }

  alignas(Length*) std::array<unsigned char, kRoom> raw_{};
};

}  // namespace vidra

// A MOS text that may be absent. An absent text and an empty one are equal in every
// comparison; the difference matters only when a message is written back, where an absent
// optional field is left out and a present empty one is written empty. UTF-8 inside.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vidra {

class MosText {
 public:
  MosText() = default;
  MosText(std::string text) : value_(std::move(text)) {}    // NOLINT: implicit on purpose
  MosText(const char* text) : value_(std::string(text)) {}  // NOLINT: implicit on purpose

  bool Present() const { return value_.has_value(); }
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
  std::optional<std::string> value_;
};

}  // namespace vidra

// A compact binary form for records kept or sent whole: numbers as LEB128 varints (signed
// ones zigzagged), byte strings as a varint of length + 1 (0 for an absent one) and their
// bytes, doubles as their 8 bytes in the machine's order. Reading checks every length, so a
// damaged record is refused, not misread.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace vidra {

class ByteWriter {
 public:
  void Number(std::uint64_t v) {
    do {
      auto byte = static_cast<unsigned char>(v & 0x7F);
      v >>= 7;
      out_.push_back(static_cast<char>(v != 0 ? byte | 0x80 : byte));
    } while (v != 0);
  }
  void Signed(std::int64_t v) {
    Number((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
  }
  void Bytes(std::string_view s) {
    Number(s.size() + 1);
    out_ += s;
  }
  void MaybeBytes(const std::optional<std::string>& s) {
    if (!s) {
      Number(0);
      return;
    }
    Bytes(*s);
  }
  void Real(double d) {
    char raw[sizeof d];
    std::memcpy(raw, &d, sizeof d);
    out_.append(raw, sizeof d);
  }
  void Byte(unsigned char b) { out_.push_back(static_cast<char>(b)); }
  std::string Take() { return std::move(out_); }

 protected:
  std::string out_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view in, std::size_t at = 0) : in_(in), at_(at) {}
  bool Ok() const { return ok_; }
  bool AtEnd() const { return at_ == in_.size(); }
  void Fail() { ok_ = false; }
  std::uint64_t Number() {
    std::uint64_t v = 0;
    for (int shift = 0; ok_ && shift < 64; shift += 7) {
      if (at_ >= in_.size()) {
        break;
      }
      const auto byte = static_cast<unsigned char>(in_[at_++]);
      v |= std::uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) {
        return v;
      }
    }
    ok_ = false;
    return 0;
  }
  std::int64_t Signed() {
    const std::uint64_t v = Number();
    return static_cast<std::int64_t>((v >> 1) ^ (~(v & 1) + 1));
  }
  std::int32_t Int32() { return static_cast<std::int32_t>(Signed()); }
  std::string Bytes() {
    const std::uint64_t n = Number();
    return n == 0 ? std::string() : Take(n - 1);
  }
  std::optional<std::string> MaybeBytes() {
    const std::uint64_t n = Number();
    if (n == 0) {
      return std::nullopt;
    }
    return Take(n - 1);
  }
  double Real() {
    double d = 0;
    if (!ok_ || in_.size() - at_ < sizeof d) {
      ok_ = false;
      return 0;
    }
    std::memcpy(&d, in_.data() + at_, sizeof d);
    at_ += sizeof d;
    return d;
  }
  unsigned char Byte() {
    if (!ok_ || at_ >= in_.size()) {
      ok_ = false;
      return 0;
    }
    return static_cast<unsigned char>(in_[at_++]);
  }

 protected:
  std::string Take(std::uint64_t n) {
    if (!ok_ || in_.size() - at_ < n) {
      ok_ = false;
      return {};
    }
    std::string s(in_.substr(at_, n));
    at_ += n;
    return s;
  }

 private:
  std::string_view in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// FNV-1a over the bytes with a final mix: a damaged record differs in every bit.
std::uint64_t Checksum64(std::string_view bytes);
// The same kind of checksum eight bytes a step, for long buffers on the wire (a pair's link
// frames): a change of any one eight-byte word changes the result. Kept nowhere, so it may
// change with the link's version; Checksum64 is kept in databases and may not.
std::uint64_t WordChecksum64(std::string_view bytes);
// The final mix of a 64-bit hash (MurmurHash3's finaliser), so that inputs that differ in
// one bit differ in every bit of the result.
std::uint64_t FinalMix64(std::uint64_t h);

}  // namespace vidra

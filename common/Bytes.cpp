#include "common/Bytes.h"

namespace vidra {

std::uint64_t Checksum64(std::string_view bytes) {
  constexpr std::uint64_t kPrime = 0x100000001B3ull;
  std::uint64_t h = 0xCBF29CE484222325ull ^ bytes.size();
  for (const char c : bytes) {
    h = (h ^ static_cast<unsigned char>(c)) * kPrime;
  }
  return FinalMix64(h);
}

std::uint64_t WordChecksum64(std::string_view bytes) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;  // odd: each step is reversible
  // Little-endian whatever the machine, so that both ends of a link agree.
  const auto word = [](std::string_view eight) {
    std::uint64_t w = 0;
    for (std::size_t k = 0; k < eight.size(); ++k) {
      w |= static_cast<std::uint64_t>(static_cast<unsigned char>(eight[k])) << (8 * k);
    }
    return w;
  };
  std::uint64_t h = 0xCBF29CE484222325ull ^ bytes.size();
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    h = (h ^ word(bytes.substr(at, 8))) * kMultiplier;
    h ^= h >> 29;
  }
  h = (h ^ word(bytes.substr(at))) * kMultiplier;
  return FinalMix64(h);
}

std::uint64_t FinalMix64(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

}  // namespace vidra

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

std::uint64_t FinalMix64(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

}  // namespace vidra

// A PCM WAV file of a given length (8 kHz, mono, 16 bit), as bytes to write: the smallest
// real media that the FFmpeg probe opens. Header-only, for the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <string>

namespace vidra::test {

inline std::string WavBytes(double seconds) {
  const auto samples = static_cast<std::uint32_t>(seconds * 8000);
  const std::uint32_t dataBytes = samples * 2;
  std::string out;
  auto u32 = [&](std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
  out += "RIFF";
  u32(36 + dataBytes);
  out += "WAVEfmt ";
  u32(16);
  u16(1);  // PCM
  u16(1);  // mono
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  out += "data";
  u32(dataBytes);
  out += std::string(dataBytes, '\0');
  return out;
}

}  // namespace vidra::test

// Result codes of the control operations and of every internal operation that can fail.
// They are the 32-bit COM codes that controlling programs already know; a dropped
// result is a compiler warning because the type is [[nodiscard]].
#pragma once

#include <cstdint>
#include <string>

namespace vidra {

enum class [[nodiscard]] HResult : std::int32_t{
    S_OK = 0,
    S_FALSE = 1,
    E_FAIL = static_cast<std::int32_t>(0x80004005u),
    E_INVALIDARG = static_cast<std::int32_t>(0x80070057u),
    E_POINTER = static_cast<std::int32_t>(0x80004003u),
    E_NOINTERFACE = static_cast<std::int32_t>(0x80004002u),
    E_UNEXPECTED = static_cast<std::int32_t>(0x8000FFFFu),
    E_ACCESSDENIED = static_cast<std::int32_t>(0x80070005u),
    E_OUTOFMEMORY = static_cast<std::int32_t>(0x8007000Eu),
};

// Success codes have the top bit clear (S_OK and S_FALSE alike).
constexpr bool Succeeded(HResult hr) {
  return static_cast<std::int32_t>(hr) >= 0;
}
constexpr bool Failed(HResult hr) {
  return !Succeeded(hr);
}

// The code as the unsigned number that log lines print with %X.
constexpr std::uint32_t Code(HResult hr) {
  return static_cast<std::uint32_t>(hr);
}

// "0x80004005" and, for the known codes, the name: "0x80004005 (E_FAIL)".
std::string Describe(HResult hr);

}  // namespace vidra

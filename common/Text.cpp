// Hand-written UTF-8/UTF-16 transcoding: small, allocation-light and strict about garbage,
// which the NRCS side may send.
#include "common/Text.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/Bytes.h"

namespace vidra {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one character at text[i], advancing i; invalid input yields kReplacement and
// consumes one byte.
char32_t NextUtf8(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int extra = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + static_cast<std::size_t>(extra) >= text.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += static_cast<std::size_t>(extra) + 1;
  return c;
}

// MOS text is nearly all ASCII: it is converted sixteen units at a time while they are all
// ASCII, character by character for the sixteen after a block that is not.
constexpr std::size_t kBlock = 16;

// Copies kBlock units of from into to when they are all ASCII (false, and to untouched,
// otherwise), through local blocks the compiler knows nothing else writes to, so that it
// makes vector code of the loops.
template <typename From, typename To>
bool CopyAsciiBlock(const From* from, To* to) {
  std::array<From, kBlock> units{};
  std::memcpy(units.data(), from, sizeof units);
  unsigned any = 0;
  for (const From unit : units) {
    any |= static_cast<std::make_unsigned_t<From>>(unit);
  }
  if (any >= 0x80) {
    return false;
  }
  std::array<To, kBlock> narrow{};
  for (std::size_t k = 0; k < kBlock; ++k) {
    narrow[k] = static_cast<To>(units[k]);
  }
  std::memcpy(to, narrow.data(), sizeof narrow);
  return true;
}

#if defined(__SSE2__)
// The same two ways in SSE2, which the compiler does not make of the loops above: a running
// order's hundreds of KB convert about six times faster.
static_assert(kBlock == 16, "two 8-unit vectors one way, one 16-byte vector the other");

bool CopyAsciiBlock(const char16_t* from, char* to) {
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 8));
  // Every bit above the lowest seven, so that units from 0x8000 up, which the packing below
  // would take as negative and make zero, are caught too.
  const __m128i beyond = _mm_and_si128(_mm_or_si128(low, high), _mm_set1_epi16(-0x80));
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(beyond, _mm_setzero_si128())) != 0xFFFF) {
    return false;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_packus_epi16(low, high));
  return true;
}

bool CopyAsciiBlock(const char* from, char16_t* to) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
  if (_mm_movemask_epi8(bytes) != 0) {
    return false;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8),
                   _mm_unpackhi_epi8(bytes, _mm_setzero_si128()));
  return true;
}
#endif

// Converts text into out, which has as many elements as text: the leading ASCII blocks go
// straight into place, the rest is appended block by block or, where a block is not all
// ASCII, character by character (step converts one character at i and appends it).
template <typename From, typename To, typename Step>
void ConvertMostlyAscii(std::basic_string_view<From> text, std::basic_string<To>& out, Step step) {
  std::size_t i = 0;
  while (i + kBlock <= text.size() && CopyAsciiBlock(text.data() + i, out.data() + i)) {
    i += kBlock;
  }
  out.resize(i);
  while (i < text.size()) {
    std::array<To, kBlock> block{};
    if (i + kBlock <= text.size() && CopyAsciiBlock(text.data() + i, block.data())) {
      out.append(block.data(), kBlock);
      i += kBlock;
      continue;
    }
    for (const std::size_t stop = std::min(text.size(), i + kBlock); i < stop;) {
      step(i);
    }
  }
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  Utf16ToUtf8Into(text, out);
  return out;
}

void Utf16ToUtf8Into(std::u16string_view text, std::string& out) {
  out.resize(text.size());
  ConvertMostlyAscii(text, out, [&](std::size_t& i) {
    char32_t c = text[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  });
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  ConvertMostlyAscii(text, out, [&](std::size_t& i) {
    const char32_t c = NextUtf8(text, i);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  });
  return out;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t at = i;
    if (NextUtf8(text, i) == kReplacement &&
        !(i - at == 3 && text.substr(at, 3) == "\xEF\xBF\xBD")) {
      return false;
    }
  }
  return true;
}

std::size_t CountCharacters(std::string_view utf8) {
  std::size_t n = 0;
  for (const char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++n;
    }
  }
  return n;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string ErrorText(int errnum) {
  char buffer[256] = {};
  // GNU strerror_r returns the text, which may or may not be in buffer.
  return strerror_r(errnum, buffer, sizeof buffer);
}

std::string Preview(const std::string& text, std::size_t n) {
  if (text.size() <= n) {
    return text;
  }
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
    --n;
  }
  return text.substr(0, n) + "\u2026";
}

bool ContainsFolded(std::string_view text, std::string_view lowerWord) {
  return std::search(text.begin(), text.end(), lowerWord.begin(), lowerWord.end(),
                     [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) == b;
                     }) != text.end();
}

std::string ToUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return out;
}

std::string FormatIPv4(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  const in_addr parsed{address};
  ::inet_ntop(AF_INET, &parsed, text, sizeof text);
  return text;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::uint64_t minimum,
                                           std::uint64_t maximum) {
  text = Trim(text);
  std::uint64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < minimum || value > maximum) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> ParseYesNo(std::string_view text) {
  std::string word(Trim(text));
  for (char& c : word) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  if (word == "yes" || word == "true" || word == "on" || word == "1") {
    return true;
  }
  if (word == "no" || word == "false" || word == "off" || word == "0") {
    return false;
  }
  return std::nullopt;
}

std::uint64_t Digest64(std::u16string_view text) {
  // FNV-1a over the 16-bit units, four at a time, then a final mix (from MurmurHash3's
  // finaliser) so that messages that differ in one character differ in every bit.
  constexpr std::uint64_t kPrime = 0x100000001B3ull;
  std::uint64_t h = 0xCBF29CE484222325ull ^ text.size();
  std::size_t i = 0;
  for (; i + 4 <= text.size(); i += 4) {
    const std::uint64_t word = std::uint64_t{text[i]} | std::uint64_t{text[i + 1]} << 16 |
                               std::uint64_t{text[i + 2]} << 32 | std::uint64_t{text[i + 3]} << 48;
    h = (h ^ word) * kPrime;
  }
  for (; i < text.size(); ++i) {
    h = (h ^ text[i]) * kPrime;
  }
  return FinalMix64(h);
}

}  // namespace vidra

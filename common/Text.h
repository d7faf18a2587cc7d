// Text helpers shared by every library: records, logs and answers hold UTF-8 in std::string;
// the wire's 16-bit units are std::u16string. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vidra {

// Lone surrogates and other unpaired units become U+FFFD, so any received garbage still
// makes valid UTF-8 for logs, the journal and the control socket.
std::string Utf16ToUtf8(std::u16string_view text);
// The same into out, whose capacity is kept: a buffer used message after message is not
// allocated (nor are its pages touched anew) each time.
void Utf16ToUtf8Into(std::u16string_view text, std::string& out);
// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
bool IsValidUtf8(std::string_view text);

// Number of characters (code points) in UTF-8 text.
std::size_t CountCharacters(std::string_view utf8);

std::string_view Trim(std::string_view text);
// Text cut to at most n bytes, never inside a UTF-8 sequence, with "…" when it was cut.
std::string Preview(const std::string& text, std::size_t n);
// ASCII letters in upper case, the rest as it is.
std::string ToUpper(std::string_view text);
// Whether lowerWord (lower case) is in text, ignoring case; allocates nothing, as a search
// runs it for every object of the catalogue.
bool ContainsFolded(std::string_view text, std::string_view lowerWord);

// The system's text for an errno value (thread-safe, unlike strerror).
std::string ErrorText(int errnum);
// "192.0.2.7": an IPv4 address given in network order.
std::string FormatIPv4(std::uint32_t address);

// A whole decimal number in [minimum, maximum], blanks around it allowed; nothing else.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::uint64_t minimum,
                                           std::uint64_t maximum);

// yes/no, true/false, on/off or 1/0, in any case, blanks around allowed; none for anything
// else.
std::optional<bool> ParseYesNo(std::string_view text);

// A 64-bit digest of text that stays the same from run to run and machine to machine, so
// that it can be stored (not a cryptographic one: it tells messages apart, it does not
// guard against forgery).
std::uint64_t Digest64(std::u16string_view text);

}  // namespace vidra

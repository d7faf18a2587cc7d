// One receive of 16-bit or single-byte MOS text on a connection, as the connection threads
// and the notice senders both read their peers: the bytes are classified, a unit split
// between two receives is carried over, and the text is converted to the machine's order.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "transport/Encoding.h"

namespace vidra {

// What a connection keeps from one receive to the next besides its framing.
struct ReceiveState {
  TextArea area;
  // The last byte of a 16-bit receive of odd length: the first half of a unit whose second
  // half comes with the next receive.
  std::optional<std::uint8_t> carry;
  // The byte order that a receive of this connection showed without doubt; later receives
  // that the count cannot place (a short tail, text whose units have two non-zero bytes)
  // are read in it.
  EncodingType knownOrder = EncodingType::Undetermined;
};

// One receive of at most TextArea::kReceiveBytes into the cleared area, after the carried
// byte: bytes received, 0 when the peer closed, -1 on error.
ssize_t ReceiveRaw(int socket, ReceiveState& state);
// Clears the area, puts the carried byte first and returns where the next receive's
// TextArea::kReceiveBytes go.
std::uint8_t* ReceiveTarget(ReceiveState& state);
// Classifies what ReceiveRaw put in the area and converts it to LowByteFirst.
void DecodeReceived(ReceiveState& state, ssize_t received);

// Journal copies of messages, answers and notices are cut to this many 16-bit units.
constexpr std::size_t kJournalUnits = 16383;
// The text as the journal keeps it: cut to kJournalUnits, never inside a surrogate pair.
std::string JournalText(std::u16string_view text);

}  // namespace vidra

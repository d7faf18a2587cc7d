#include "transport/Receive.h"

#include <algorithm>

#include "common/Text.h"
#include "transport/SocketPort.h"

namespace vidra {

std::uint8_t* ReceiveTarget(ReceiveState& state) {
  TextArea& area = state.area;
  area.Clear();
  if (!state.carry) {
    return area.bytes.data();
  }
  area.bytes[0] = *state.carry;
  return area.bytes.data() + 1;
}

ssize_t ReceiveRaw(int socket, ReceiveState& state) {
  return ReceiveOn(socket, ReceiveTarget(state), TextArea::kReceiveBytes);
}

void DecodeReceived(ReceiveState& state, ssize_t received) {
  TextArea& area = state.area;
  const std::size_t offset = state.carry ? 1 : 0;
  const std::size_t total = offset + static_cast<std::size_t>(std::max<ssize_t>(received, 0));
  if (ClassifyEncoding(area)) {
    state.knownOrder = area.encodingType;
  } else if (IsSixteenBit(state.knownOrder)) {
    area.encodingType = state.knownOrder;
  }
  state.carry.reset();
  if (IsSixteenBit(area.encodingType) && total % 2 == 1) {
    state.carry = area.bytes[total - 1];
    area.bytes[total - 1] = 0;
  }
  ConvertEncoding(area, EncodingType::LowByteFirst);
}

std::string JournalText(std::u16string_view text) {
  std::size_t units = std::min(text.size(), kJournalUnits);
  if (units > 0 && units < text.size() && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) {
    --units;  // never half a surrogate pair
  }
  return Utf16ToUtf8(text.substr(0, units));
}

}  // namespace vidra

#include "transport/Receive.h"

#include <algorithm>

#include "common/Text.h"
#include "transport/SocketPort.h"

namespace vidra {

ssize_t ReceiveInto(int socket, MessagePipeline& pipeline) {
  std::uint8_t* space = pipeline.ReceiveSpace();
  const ssize_t received = ReceiveOn(socket, space, pipeline.RoomSize());
  pipeline.Commit(received > 0 ? static_cast<std::size_t>(received) : 0);
  return received;
}

std::string JournalText(std::u16string_view text) {
  std::size_t units = std::min(text.size(), kJournalUnits);
  if (units > 0 && units < text.size() && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) {
    --units;  // never half a surrogate pair
  }
  return Utf16ToUtf8(text.substr(0, units));
}

}  // namespace vidra

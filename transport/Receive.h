// One receive of a connection into its pipeline, as the connection threads and the senders
// read their peers, and the text the journal keeps of a message.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "transport/Pipeline.h"

namespace vidra {

// Bytes received, 0 when the peer closed, -1 on error.
ssize_t ReceiveInto(int socket, MessagePipeline& pipeline);

// Journal copies of messages, answers and notices are cut to this many 16-bit units.
constexpr std::size_t kJournalUnits = 16383;
// The text as the journal keeps it: cut to kJournalUnits, never inside a surrogate pair.
std::string JournalText(std::u16string_view text);

}  // namespace vidra

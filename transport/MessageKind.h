// What the metrics count a message or an answer as, read off its text without parsing it.
#pragma once

#include <string_view>

namespace vidra {

// The MOS message type: the first element inside <mos> after mosID, ncsID and messageID,
// looked for in the message's first units. "other" for a name outside the MOS vocabulary
// the server knows (so that an NRCS cannot make the metrics grow without bound), "none"
// when there is no such element.
std::string_view MessageKind(std::u16string_view message);
// "OK" for a roAck whose roStatus is OK, "NACK" for any other roAck.
std::string_view AnswerStatus(std::u16string_view answer);
// The name itself when it is a MOS type the server knows, "other" for any other name,
// "none" for no name: what the metrics label a message with.
std::string_view KnownKind(std::string_view name);

}  // namespace vidra

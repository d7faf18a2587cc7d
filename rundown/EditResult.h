// What an operation on the running orders did, as the running-order layer reports it. The
// MOS layer turns it into the roStatus text of its answer in one place; nothing else reads
// or writes roStatus text.
#pragma once

#include <cstdint>

namespace vidra {

enum class EditResult : std::uint8_t {
  Ok,
  UnknownRo,     // the channel holds no running order with that roID
  UnknownStory,  // a storyID that the running order does not hold
  UnknownItem,   // an itemID that the story does not hold
  DuplicateId,   // a new story or item would share its ID with another
  Malformed,     // counts, kinds or required fields that do not make an edit
  Refused,       // a roCtrl that the item's state does not allow
  Unsupported,   // a message this server does not handle
  NotSaved,      // the durable store could not save the change: nothing was changed
  NotXml,        // the message is not well-formed XML
  StandingBy,    // this server is the backup of a pair: its main answers
};

}  // namespace vidra

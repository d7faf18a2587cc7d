// Readers and handlers of the two messages that act on a stored running order: roElementAction
// (carried out through the store's element actions) and roCtrl. They run on the connection
// thread and leave in the RoAckInfo what the dispatcher answers.
#pragma once

#include <pugixml.hpp>

#include <optional>
#include <vector>

#include "playout/PlayoutManager.h"
#include "rundown/RoStore.h"

namespace vidra {

// The operation named by the element's one attribute; none when it has not exactly one
// attribute or the value (exact, case-sensitive) is no operation.
std::optional<ElementOp> ReadOperation(const pugi::xml_node& element);
// Appends the references of one element_target or element_source, in document order: a
// storyID opens a reference, an itemID completes it (or names an item of the last storyID
// seen), a storyID followed by another or by the end names the story alone.
void ReadRefs(const pugi::xml_node& list, std::vector<ElementRef>& refs);
// roElementAction into an edit: false when the operation cannot be read.
bool ReadElementAction(const pugi::xml_node& element, const MosText& folder, ElementAction& action);
EditResult HandleElementAction(const pugi::xml_node& element, PlayoutManager& manager,
                               std::int32_t channel, RoAckInfo& ack);

struct RoCtrlRequest {
  CtrlCommand command = CtrlCommand::SIGNAL;  // a roCtrl without command signals
  MosText roID;
  MosText storyID;
  MosText itemID;
};
// false, with the unknown word in badCommand, when the command names no command.
bool ReadRoCtrl(const pugi::xml_node& element, RoCtrlRequest& request, std::string& badCommand);
EditResult HandleRoCtrl(const pugi::xml_node& element, PlayoutManager& manager,
                        std::int32_t channel, RoAckInfo& ack);

}  // namespace vidra

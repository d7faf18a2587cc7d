// Readers and handlers of the two messages that act on a stored running order: roElementAction
// (carried out through the store's element actions) and roCtrl. They run on the connection
// thread and leave in the RoAckInfo what the dispatcher answers.
#pragma once

#include <pugixml.hpp>

#include <vector>

#include "common/HResult.h"
#include "playout/PlayoutManager.h"
#include "rundown/RoStore.h"

namespace vidra {

// The roCtrl command codes.
enum CtrlCommand : std::int32_t { SIGNAL = 0, CUE_READY = 1, EXECUTE = 2, PAUSE_CMD = 3, STOP = 4 };

HResult ReadOperation(const pugi::xml_node& element, ElementOp& op);
// Appends the references of one element_target or element_source; count gets their number.
HResult ReadRefs(const pugi::xml_node& list, ElementRefs& refs, std::int32_t& count);
HResult ReadElementRefs(const pugi::xml_node& element, ElementRefs& refs, std::int32_t& nTarget,
                        std::int32_t& nSource);
HResult ReadElementContent(const pugi::xml_node& element, ElementRefs& refs, std::int32_t& nTarget,
                           std::vector<story>& stories, std::vector<item>& items,
                           std::int32_t& nSource, const MosText& folder);
HResult HandleElementAction(const pugi::xml_node& element, PlayoutManager& manager,
                            std::int32_t channel, RoAckInfo& ack);

HResult ReadRoCtrl(const pugi::xml_node& element, std::int32_t& command, MosText& roID,
                   MosText& storyID, MosText& itemID, mosExternalMetadata& metadata);
HResult HandleRoCtrl(const pugi::xml_node& element, PlayoutManager& manager, std::int32_t channel,
                     RoAckInfo& ack);

}  // namespace vidra

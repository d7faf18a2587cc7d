// Readers of the running-order messages that change a stored running order beside
// roCreate, roElementAction and roCtrl: the story and item messages that NRCS software
// written before roElementAction still sends (roStoryInsert, roItemMoveMultiple, ...), and
// roMetadataReplace, roReadyToAir, roStorySend and the NRCS's own roElementStat. The story
// and item messages become the same edits that roElementAction makes. Run on the connection
// thread.
#pragma once

#include <pugixml.hpp>

#include <string>
#include <string_view>

#include "rundown/RoStore.h"

namespace vidra {

// True when name is one of the story and item messages.
bool IsStoryOrItemEdit(std::string_view name);
// The edit that the story or item message asks for; false, with what is wrong in detail,
// when it does not carry what its edit needs (two storyIDs for roStorySwap, ...).
bool ReadStoryOrItemEdit(std::string_view name, const pugi::xml_node& body, const MosText& folder,
                         ElementAction& action, std::string& detail);
// mosItemReplace: the item takes the place of the item with its itemID in the story.
bool ReadMosItemReplace(const pugi::xml_node& body, const MosText& folder, ElementAction& action,
                        std::string& detail);
RoMetadata ReadRoMetadata(const pugi::xml_node& body);
// The text of a roStorySend's storyBody: a line for each paragraph (or other text element),
// the item references left out.
std::string ReadStoryBody(const pugi::xml_node& storyBody);
// The element a roElementStat reports on (by its element attribute, else by the IDs given)
// and what the NRCS says of it.
struct NrcsStatus {
  ElementRef element;
  NrcsView view;
};
NrcsStatus ReadNrcsStatus(const pugi::xml_node& body);

}  // namespace vidra

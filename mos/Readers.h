// Readers that turn the body of a running-order message into records: roCreate and
// roReplace into an ro, and the stories, items and metadata blocks that other messages
// carry. Children are recognised by whole, case-sensitive names; others are ignored; a later
// child of the same name wins. Run on the connection thread, on records no other thread
// sees yet.
#pragma once

#include <pugixml.hpp>

#include "common/MosText.h"
#include "rundown/Ro.h"

namespace vidra {

void ReadRo(const pugi::xml_node& body, ro& r, const MosText& folder);
void ReadStory(const pugi::xml_node& element, story& s, const MosText& folder);
void ReadItem(const pugi::xml_node& element, item& i, const MosText& folder);
// One mosExternalMetadata element as it came, with its mosSchema.
MetadataBlocks::Block ReadMetadataBlock(const pugi::xml_node& element);
void ReadObjPaths(const pugi::xml_node& element, objPaths& paths, const MosText& folder);
// A relative path gets the media folder in front (the folder carries its own separator);
// absolute paths ("/", "\\\\host", "D:"), paths under 4 characters and an empty folder leave
// it as it is.
void MakePathAbsolute(MosText& path, const MosText& folder);
// The text of the last child of that name; absent when there is none.
MosText ChildText(const pugi::xml_node& element, std::string_view name);
// The texts of every child of that name, in document order.
std::vector<MosText> ChildTexts(const pugi::xml_node& element, std::string_view name);

}  // namespace vidra

// Readers that turn the body of a running-order message into records: roCreate and
// roReplace into an ro, roDelete and roReq into their roID, and the stories and items of
// roElementAction. Children are recognised by whole, case-sensitive names; others are
// ignored; a later child of the same name wins. Run on the connection thread, on a record
// no other thread sees yet.
#pragma once

#include <pugixml.hpp>

#include "common/HResult.h"
#include "common/MosText.h"
#include "rundown/Ro.h"

namespace vidra {

HResult ReadRo(const pugi::xml_node& body, ro& r, const MosText& folder);
HResult ReadStory(const pugi::xml_node& element, story& s, const MosText& folder);
HResult ReadItem(const pugi::xml_node& element, item& i, const MosText& folder);
HResult ReadMetadata(const pugi::xml_node& element, mosExternalMetadata& metadata);
HResult ReadPayload(const pugi::xml_node& element, mosPayload& payload);
HResult ReadObjPaths(const pugi::xml_node& element, objPaths& paths, const MosText& folder);
// A relative path gets the media folder in front (the folder carries its own separator);
// absolute paths ("/", "\\\\host", "D:"), paths under 4 characters and an empty folder leave
// it as it is.
void MakePathAbsolute(MosText& path, const MosText& folder);
// The text of the last roID child; absent when there is none.
HResult ReadRoID(const pugi::xml_node& body, MosText& roID);

}  // namespace vidra

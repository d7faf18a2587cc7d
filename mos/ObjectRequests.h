// What the NRCS asks of the device's objects (profile 3): mosObjCreate and mosReqObjAction
// make, change and delete the NRCS's own objects in the media catalogue. Each is read,
// checked and carried out here; the dispatcher answers with the mosAck this returns.
#pragma once

#include <pugixml.hpp>

#include <string>

#include "common/MosText.h"
#include "media/MediaLibrary.h"

namespace vidra {

struct ObjectRequestAnswer {
  bool ok = false;
  MosText objID;
  MosText objRev;
  std::string description;  // the statusDescription
};

// media: null for a server without a media catalogue.
ObjectRequestAnswer HandleObjectCreate(const pugi::xml_node& body, MediaLibrary* media);
ObjectRequestAnswer HandleObjectAction(const pugi::xml_node& body, MediaLibrary* media);

// Why the NRCS's change of an object was refused, in words; empty for Done.
std::string ObjectEditReason(const ObjectEditResult& result);

}  // namespace vidra

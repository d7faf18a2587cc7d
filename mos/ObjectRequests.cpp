#include "mos/ObjectRequests.h"

#include <algorithm>
#include <cctype>

#include "common/Log.h"
#include "common/Text.h"
#include "mos/MosXml.h"
#include "mos/Readers.h"

namespace vidra {

namespace {

// The longest text kept of one field the NRCS sends; longer ones are refused, not cut.
constexpr std::size_t kMaxFieldBytes = 4096;

bool Blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isspace(c) != 0; });
}

bool IsRate(const std::string& text) {
  char* end = nullptr;
  const double rate = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && rate > 0 && rate <= 1000;
}

// The NRCS's texts of an object, checked: empty when they can be taken, else what is wrong.
std::string ReadObjectText(const pugi::xml_node& body, NrcsObjectText& text,
                           std::string& wantedPath) {
  for (const auto& [name, field] : {std::pair<const char*, std::string*>{"objSlug", &text.objSlug},
                                    {"mosAbstract", &text.mosAbstract},
                                    {"objGroup", &text.objGroup},
                                    {"objType", &text.objType},
                                    {"objTB", &text.objTB},
                                    {"objDur", &text.objDur},
                                    {"createdBy", &text.createdBy},
                                    {"changedBy", &text.changedBy},
                                    {"description", &text.description}}) {
    *field = std::string(Trim(ChildText(body, name).Str()));
    if (field->size() > kMaxFieldBytes) {
      return std::string(name) + " longer than " + std::to_string(kMaxFieldBytes) + " bytes";
    }
  }
  if (Blank(text.objSlug)) {
    return "objSlug missing";
  }
  if (text.objType.empty()) {
    text.objType = "VIDEO";
  } else if (text.objType != "VIDEO" && text.objType != "AUDIO" && text.objType != "STILL") {
    return "objType " + text.objType.substr(0, 32) + " (VIDEO, AUDIO or STILL)";
  }
  if (!text.objTB.empty() && !IsRate(text.objTB)) {
    return "objTB " + text.objTB.substr(0, 32);
  }
  if (!text.objDur.empty() && !ParseUnsigned(text.objDur, 0, 0xFFFFFFFFu)) {
    return "objDur " + text.objDur.substr(0, 32);
  }
  for (pugi::xml_node block = body.child("mosExternalMetadata"); block;
       block = block.next_sibling("mosExternalMetadata")) {
    text.metadataXml += NodeXml(block);
  }
  wantedPath = std::string(Trim(ChildText(body.child("objPaths"), "objPath").Str()));
  return {};
}

ObjectRequestAnswer Refused(const std::string& objID, const std::string& reason) {
  ObjectRequestAnswer answer;
  answer.objID = MosText(objID.substr(0, kMaxObjIdBytes));
  answer.objRev = MosText("0");
  answer.description = reason;
  return answer;
}

ObjectRequestAnswer AnswerOf(const ObjectEditResult& result, const char* what) {
  if (result.outcome != ObjectEdit::Done) {
    return Refused(result.object.objID.empty() ? result.detail : result.object.objID,
                   ObjectEditReason(result));
  }
  ObjectRequestAnswer answer;
  answer.ok = true;
  answer.objID = MosText(result.object.objID);
  answer.objRev = MosText(std::to_string(result.object.revision));
  answer.description = std::string(what) + "; its media goes to " + result.object.path;
  return answer;
}

ObjectRequestAnswer Create(const pugi::xml_node& body, MediaLibrary* media,
                           const std::string& givenId) {
  if (!givenId.empty()) {
    return Refused(givenId, "malformed: objID is made by the device, not sent to it");
  }
  NrcsObjectText text;
  std::string wantedPath;
  if (const std::string wrong = ReadObjectText(body, text, wantedPath); !wrong.empty()) {
    return Refused("", "malformed: " + wrong);
  }
  if (media == nullptr) {
    return Refused("", ObjectEditReason(ObjectEditResult{ObjectEdit::NoFolder, {}, {}}));
  }
  return AnswerOf(media->Catalogue().CreatePlaceholder(std::move(text), wantedPath),
                  "placeholder made");
}

}  // namespace

std::string ObjectEditReason(const ObjectEditResult& result) {
  switch (result.outcome) {
    case ObjectEdit::Done:
      return {};
    case ObjectEdit::NoFolder:
      return "not supported: the server has no media folder";
    case ObjectEdit::UnknownObject:
      return "unknown objID";
    case ObjectEdit::StationFile:
      return "refused: " + result.detail +
             " is a file of the station's media folder, not an object the NRCS made";
    case ObjectEdit::HasMedia:
      return "refused: its media file " + result.detail +
             " is there; the server does not delete media (remove the file)";
    case ObjectEdit::PathOutside:
      return "malformed: objPath " + result.detail.substr(0, 256) +
             " is not a file name inside the media folder";
    case ObjectEdit::PathTaken:
      return "refused: " + result.detail + " is another object's already";
    case ObjectEdit::TooMany:
      return "refused: the NRCS has made " + result.detail + " objects, the most the server keeps";
    case ObjectEdit::NotSaved:
      return "not saved: " + result.detail;
  }
  return {};
}

ObjectRequestAnswer HandleObjectCreate(const pugi::xml_node& body, MediaLibrary* media) {
  return Create(body, media, std::string(Trim(ChildText(body, "objID").Str())));
}

ObjectRequestAnswer HandleObjectAction(const pugi::xml_node& body, MediaLibrary* media) {
  const std::string operation = body.attribute("operation").value();
  const std::string objID(Trim(body.attribute("objID").value()));
  if (operation == "NEW") {
    return Create(body, media, objID);
  }
  if (operation != "UPDATE" && operation != "DELETE") {
    return Refused(objID,
                   "malformed: operation " + operation.substr(0, 32) + " (NEW, UPDATE or DELETE)");
  }
  if (objID.empty()) {
    return Refused("", "malformed: objID missing");
  }
  if (media == nullptr) {
    return Refused(objID, ObjectEditReason(ObjectEditResult{ObjectEdit::NoFolder, {}, {}}));
  }
  if (operation == "DELETE") {
    ObjectEditResult deleted = media->Catalogue().DeleteNrcsObject(objID);
    if (deleted.outcome != ObjectEdit::Done) {
      return AnswerOf(deleted, "");
    }
    ObjectRequestAnswer answer;
    answer.ok = true;
    answer.objID = MosText(objID);
    answer.objRev = MosText(std::to_string(deleted.object.revision));
    answer.description = "placeholder deleted";
    return answer;
  }
  NrcsObjectText text;
  std::string wantedPath;
  if (const std::string wrong = ReadObjectText(body, text, wantedPath); !wrong.empty()) {
    return Refused(objID, "malformed: " + wrong);
  }
  return AnswerOf(media->Catalogue().UpdateNrcsObject(objID, std::move(text)), "object updated");
}

}  // namespace vidra

// The outgoing messages: element orders, optional elements and early stops as NRCS software
// has always received them. A builder reports no failure: what it could not write (a story
// without storyID, an item without objID) is left short, and the answer still goes out.
#include <algorithm>
#include <string>

#include "common/Log.h"
#include "mos/MosXml.h"

#ifndef VIDRA_DATA_DIR
#define VIDRA_DATA_DIR "/usr/local/share/vidra"
#endif

namespace vidra {

namespace {

// The machine description answered when no template file can be read: the same content as
// the listMachInfo.xml shipped with the server.
constexpr const char* kBuiltInMachInfo =
    "<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>0</messageID><listMachInfo>"
    "<manufacturer>TARNVEL</manufacturer><model>Marrowvale</model><hwRev>None</hwRev>"
    "<swRev>Marrowvale</swRev><DOM>2026-12-01</DOM><SN>VIDRA-0001</SN><ID>VIDRA</ID>"
    "<time>2026-12-01T00:00:00</time><mosRev>2.8.5</mosRev>"
    "<supportedProfiles deviceType=\"MOS\">"
    "<mosProfile number=\"0\">YES</mosProfile><mosProfile number=\"1\">YES</mosProfile>"
    "<mosProfile number=\"2\">YES</mosProfile><mosProfile number=\"3\">YES</mosProfile>"
    "<mosProfile number=\"4\">YES</mosProfile><mosProfile number=\"5\">YES</mosProfile>"
    "<mosProfile number=\"6\">NO</mosProfile><mosProfile number=\"7\">NO</mosProfile>"
    "</supportedProfiles></listMachInfo></mos>";

// An element with the text, escaped as the document writer escapes text: the three markup
// characters by name, control characters by number, and nothing after a zero character.
void AppendElement(std::string& out, std::string_view name, std::string_view text) {
  out += '<';
  out += name;
  out += '>';
  for (const char c : text) {
    const auto unit = static_cast<unsigned char>(c);
    if (unit == 0) {
      break;
    }
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (unit < 32 && c != '\t' && c != '\n' && c != '\r') {
      out += "&#";
      out += static_cast<char>('0' + unit / 10);
      out += static_cast<char>('0' + unit % 10);
      out += ';';
    } else {
      out += c;
    }
  }
  out += "</";
  out += name;
  out += '>';
}

// A child element with the text; an empty text gives an empty element.
pugi::xml_node AddText(pugi::xml_node parent, const char* name, std::string_view text) {
  pugi::xml_node added = parent.append_child(name);
  if (!text.empty()) {
    added.append_child(pugi::node_pcdata).set_value(text.data(), text.size());
  }
  return added;
}

void AddIfPresent(pugi::xml_node parent, const char* name, const MosText& text) {
  if (text.Present()) {
    AddText(parent, name, text.Str());
  }
}

// The blocks as they were received, in their order.
// An element kept as the XML text it came in. Each was cut from a well-formed message; one
// that no longer parses is left out rather than cut short.
void AddXml(pugi::xml_node parent, const std::string& xml, const std::string& what) {
  if (!parent.append_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8)) {
    Log("VIDRA - %s could not be written back", what.c_str());
  }
}

void AddMetadata(pugi::xml_node parent, const MetadataBlocks& metadata) {
  for (const MetadataBlocks::Block& block : metadata.Blocks()) {
    AddXml(parent, block.xml, "a mosExternalMetadata block (mosSchema '" + block.mosSchema + "')");
  }
}

// Sets the text of the first node at the path; a path that matches nothing changes nothing.
void SetText(pugi::xml_node from, std::string_view path, const MosText& text) {
  pugi::xml_node node = SelectSingleNode(from, path);
  if (!node) {
    return;
  }
  while (node.first_child()) {
    node.remove_child(node.first_child());
  }
  if (!text.IsEmpty()) {
    node.append_child(pugi::node_pcdata).set_value(text.CStr());
  }
}

}  // namespace

std::string ReasonText(EditResult result, const std::string& detail) {
  const char* reason = "";
  switch (result) {
    case EditResult::Ok:
      return "";
    case EditResult::UnknownRo:
      reason = "unknown roID";
      break;
    case EditResult::UnknownStory:
      reason = "unknown storyID";
      break;
    case EditResult::UnknownItem:
      reason = "unknown itemID";
      break;
    case EditResult::DuplicateId:
      reason = "duplicate ID";
      break;
    case EditResult::Malformed:
      reason = "malformed:";
      break;
    case EditResult::Refused:
      reason = "refused in the item's state";
      break;
    case EditResult::Unsupported:
      reason = "not supported:";
      break;
    case EditResult::NotSaved:
      reason = "not saved:";
      break;
    case EditResult::NotXml:
      reason = "malformed XML:";
      break;
    case EditResult::StandingBy:
      reason = "backup:";
      break;
  }
  return detail.empty() ? reason : std::string(reason) + " " + detail;
}

std::string RoStatusText(const RoAckInfo& ack) {
  return ack.result == EditResult::Ok ? "OK" : "NACK " + ReasonText(ack.result, ack.detail);
}

pugi::xml_node MOSXMLWriter::StartMessage(const MosText& mosID, const MosText& ncsID,
                                          const MosText& messageID) {
  ForgetText();
  outDocument.reset();
  pugi::xml_node root = outDocument.append_child("mos");
  AddText(root, "mosID", mosID.Str());
  AddText(root, "ncsID", ncsID.Str());
  AddIfPresent(root, "messageID", messageID);
  return root;
}

void MOSXMLWriter::BuildHeartbeat(const MosText& mosID, const MosText& ncsID,
                                  const MosText& messageID) {
  AddText(StartMessage(mosID, ncsID, messageID).append_child("heartbeat"), "time", FormatIsoTime());
}

// The template in the current folder, else the installed one, else the built-in
// description: the answer is never empty.
bool MOSXMLWriter::LoadMachInfoTemplate() {
  for (const std::string& path :
       {std::string("listMachInfo.xml"), std::string(VIDRA_DATA_DIR) + "/listMachInfo.xml"}) {
    if (outDocument.load_file(path.c_str()) && outDocument.child("mos")) {
      return true;
    }
  }
  LogText(
      "VIDRA - listMachInfo.xml is missing or not well-formed, the built-in machine info "
      "is answered");
  return static_cast<bool>(outDocument.load_string(kBuiltInMachInfo));
}

void MOSXMLWriter::BuildListMachInfo(const MosText& mosID, const MosText& ncsID,
                                     const MosText& messageID, const MachInfo& info) {
  ForgetText();
  outDocument.reset();
  if (!LoadMachInfoTemplate()) {
    return;
  }
  // Each value goes to the path controllers have always used and, where the template spells
  // the element the MOS way instead, to that element.
  const struct {
    const MosText& value;
    const char* path;
    const char* mosPath;
  } fields[] = {
      {mosID, "mos/mosID", nullptr},
      {ncsID, "mos/ncsID", nullptr},
      {messageID, "mos/messageId", "mos/messageID"},
      {info.manufacturer, "mos/listMachInfo/manufacturer", nullptr},
      {info.model, "mos/listMachInfo/model", nullptr},
      {info.hwrev, "mos/listMachInfo/hwrev", "mos/listMachInfo/hwRev"},
      {info.swrev, "mos/listMachInfo/swrev", "mos/listMachInfo/swRev"},
      {info.DOM, "mos/listMachInfo/DOM", nullptr},
      {info.SN, "mos/listMachInfo/SN", nullptr},
      {info.ID, "mos/listMachInfo/ID", nullptr},
      {info.time, "mos/listMachInfo/time", nullptr},
      {info.mosRev, "mos/listMachInfo/mosRev", nullptr},
  };
  for (const auto& field : fields) {
    if (!field.value.Present()) {
      continue;
    }
    SetText(outDocument, field.path, field.value);
    if (field.mosPath != nullptr) {
      SetText(outDocument, field.mosPath, field.value);
    }
  }
  if (!messageID.Present()) {
    // The message answered had none: neither has its answer.
    pugi::xml_node root = outDocument.child("mos");
    root.remove_child("messageID");
    root.remove_child("messageId");
  }
  if (info.supportedProfiles.Present()) {
    if (pugi::xml_node profiles =
            SelectSingleNode(outDocument, "mos/listMachInfo/supportedProfiles")) {
      pugi::xml_attribute device = profiles.attribute("device");
      (device ? device : profiles.append_attribute("device"))
          .set_value(info.supportedProfiles.CStr());
    }
  }
}

// Written as text: the same bytes the document would give, without a node for each of the
// thousands of elements a big running order's roAck has.
void MOSXMLWriter::BuildRoAck(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                              const RoAckInfo& ack) {
  outDocument.reset();
  text_.clear();
  textName_ = "roAck";
  std::string& out = text_;
  out += "<mos>";
  AppendElement(out, "mosID", mosID.Str());
  AppendElement(out, "ncsID", ncsID.Str());
  if (messageID.Present()) {
    AppendElement(out, "messageID", messageID.Str());
  }
  out += "<roAck>";
  AppendElement(out, "roID", ack.roID.Str());
  AppendElement(out, "roStatus", RoStatusText(ack));
  // One group per item, each naming its story: (storyID, itemID, objID, itemChannel?,
  // status)*. An NRCS reads them as parallel lists, so a story without items has no group.
  for (const auto& story : ack.stories) {
    const std::size_t n = std::min(story.statuses.size(), story.itemIDs.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (story.itemIDs[i].empty()) {
        continue;
      }
      AppendElement(out, "storyID", story.storyID.Str());
      AppendElement(out, "itemID", story.itemIDs[i]);
      AppendElement(
          out, "objID",
          i < story.objIDs.size() ? std::string_view(story.objIDs[i]) : std::string_view());
      if (i < story.itemChannels.size() && !story.itemChannels[i].empty()) {
        AppendElement(out, "itemChannel", story.itemChannels[i]);
      }
      AppendElement(out, "status", story.statuses[i]);
    }
  }
  out += "</roAck></mos>";
}

void MOSXMLWriter::BuildMosAck(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                               const MosAckInfo& ack) {
  pugi::xml_node mosAck = StartMessage(mosID, ncsID, messageID).append_child("mosAck");
  AddText(mosAck, "objID", ack.objID.Str());
  AddText(mosAck, "objRev", ack.objRev.Str());
  AddText(mosAck, "status", ack.status.Str());
  AddText(mosAck, "statusDescription", ack.statusDescription.Str());
}

namespace {

// A file time as MOS writes times: local, to the second, no zone.
std::string ObjectTime(FileTime utc) {
  return FormatFileTime(UtcToLocal(utc), false).substr(0, 19);
}

std::string RateText(double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", rate);
  return text;
}

}  // namespace

// The protocol's order: objID, objSlug, mosAbstract?, objGroup?, objType, objTB, objRev,
// objDur, status, objAir, objPaths?, createdBy, created, changedBy, changed, description,
// mosExternalMetadata*. An object the NRCS made carries its own texts; until its media lands
// (a placeholder) also its type, time base and planned length.
void MOSXMLWriter::WriteObjectNode(const MediaObject& object, const ObjectWording& wording,
                                   pugi::xml_node node) {
  const NrcsObjectText* nrcs = object.nrcs.get();
  const bool placeholder = object.Placeholder();
  AddText(node, "objID", object.objID);
  AddText(node, "objSlug", object.Slug());
  if (nrcs != nullptr && !nrcs->mosAbstract.empty()) {
    AddText(node, "mosAbstract", nrcs->mosAbstract);
  }
  if (nrcs != nullptr && !nrcs->objGroup.empty()) {
    AddText(node, "objGroup", nrcs->objGroup);
  }
  const std::string type(object.Type());
  AddText(node, "objType", type);
  const bool ownTiming = placeholder && !nrcs->objTB.empty();
  AddText(node, "objTB", ownTiming ? nrcs->objTB : RateText(wording.frameRate));
  AddText(node, "objRev", std::to_string(object.revision));
  AddText(node, "objDur",
          placeholder ? (nrcs->objDur.empty() ? std::string("0") : nrcs->objDur)
                      : std::to_string(FramesAt(object.media, wording.frameRate)));
  const bool ready = object.media.playable;
  AddText(node, "status",
          wording.status.empty() ? std::string(ready ? "READY" : "NOT READY") : wording.status);
  AddText(node, "objAir", ready ? "READY" : "NOT READY");
  pugi::xml_node path = AddText(node.append_child("objPaths"), "objPath", object.path);
  path.append_attribute("techDescription").set_value(type.c_str());
  const auto own = [&](const std::string& text) {
    return nrcs != nullptr && !text.empty() ? text : wording.serverName;
  };
  AddText(node, "createdBy", own(nrcs != nullptr ? nrcs->createdBy : std::string()));
  AddText(node, "created", ObjectTime(object.created));
  AddText(node, "changedBy", own(nrcs != nullptr ? nrcs->changedBy : std::string()));
  AddText(node, "changed", ObjectTime(object.changed));
  AddText(node, "description", nrcs != nullptr ? nrcs->description : std::string());
  if (nrcs != nullptr && !nrcs->metadataXml.empty()) {
    AddXml(node, nrcs->metadataXml, "the mosExternalMetadata of object " + object.objID);
  }
}

void MOSXMLWriter::BuildMosObj(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                               const MediaObject& object, const ObjectWording& wording) {
  WriteObjectNode(object, wording, StartMessage(mosID, ncsID, messageID).append_child("mosObj"));
}

void MOSXMLWriter::BuildMosListAll(const MosText& mosID, const MosText& ncsID,
                                   const MosText& messageID,
                                   const std::vector<MediaObject>& objects,
                                   const ObjectWording& wording) {
  pugi::xml_node list = StartMessage(mosID, ncsID, messageID).append_child("mosListAll");
  for (const MediaObject& object : objects) {
    WriteObjectNode(object, wording, list.append_child("mosObj"));
  }
}

void MOSXMLWriter::BuildMosListSearchableSchema(const MosText& mosID, const MosText& ncsID,
                                                const MosText& messageID,
                                                const std::string& username) {
  pugi::xml_node list =
      StartMessage(mosID, ncsID, messageID).append_child("mosListSearchableSchema");
  list.append_attribute("username").set_value(username.c_str());
  AddText(list, "mosSchema", kSearchSchema);
}

void MOSXMLWriter::BuildMosObjList(const MosText& mosID, const MosText& ncsID,
                                   const MosText& messageID, const ObjectQuery& query,
                                   const ObjectPage& page, const ObjectWording& wording) {
  pugi::xml_node list = StartMessage(mosID, ncsID, messageID).append_child("mosObjList");
  list.append_attribute("username").set_value(query.username.c_str());
  AddText(list, "queryID", query.queryID);
  const bool empty = page.objects.empty();
  AddText(list, "listReturnStart", empty ? "0" : std::to_string(query.start));
  AddText(list, "listReturnEnd",
          empty ? "0" : std::to_string(query.start + page.objects.size() - 1));
  AddText(list, "listReturnTotal", std::to_string(page.total));
  if (empty) {
    AddText(list, "listReturnStatus",
            page.total == 0 ? std::string("no objects found")
                            : "only " + std::to_string(page.total) + " objects found");
  }
  pugi::xml_node objects = list.append_child("list");
  for (const MediaObject& object : page.objects) {
    WriteObjectNode(object, wording, objects.append_child("mosObj"));
  }
}

void MOSXMLWriter::BuildRoList(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                               const std::shared_ptr<ro>& r) {
  pugi::xml_node roList = StartMessage(mosID, ncsID, messageID).append_child("roList");
  if (r) {
    std::lock_guard guard(r->lock);  // the ro lock: no edit while it is written
    WriteRoNode(*r, roList, true);
  }
}

void MOSXMLWriter::BuildRoListAll(const MosText& mosID, const MosText& ncsID,
                                  const MosText& messageID,
                                  const std::vector<std::shared_ptr<ro>>& list) {
  pugi::xml_node roListAll = StartMessage(mosID, ncsID, messageID).append_child("roListAll");
  for (const auto& r : list) {
    pugi::xml_node node = roListAll.append_child("ro");
    if (r) {
      std::lock_guard guard(r->lock);  // the ro lock, while its header is written
      WriteRoNode(*r, node, false);
    }
  }
}

void MOSXMLWriter::BuildRoElementStat(const MosText& messageID, const StatusNotice& notice) {
  pugi::xml_node stat =
      StartMessage(notice.mosID, notice.ncsID, messageID).append_child("roElementStat");
  if (notice.roID.IsEmpty()) {
    return;
  }
  AddText(stat, "roID", notice.roID.Str());
  const char* element = "RO";
  if (!notice.storyID.IsEmpty()) {
    AddText(stat, "storyID", notice.storyID.Str());
    element = "STORY";
    if (!notice.itemID.IsEmpty()) {
      AddText(stat, "itemID", notice.itemID.Str());
      AddText(stat, "objID", notice.objID.Str());
      element = "ITEM";
    }
  }
  stat.append_attribute("element").set_value(element);
  AddText(stat, "status", notice.status.Str());
  AddText(stat, "time", notice.time.Str());
}

void MOSXMLWriter::BuildRoReq(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                              const MosText& roID) {
  AddText(StartMessage(mosID, ncsID, messageID).append_child("roReq"), "roID", roID.Str());
}

void MOSXMLWriter::BuildRoReqAll(const MosText& mosID, const MosText& ncsID,
                                 const MosText& messageID) {
  StartMessage(mosID, ncsID, messageID).append_child("roReqAll");
}

// A running order's header (and with withStories its stories), in the MOS order: roID,
// roSlug, roChannel, roEdStart, roEdDur, roTrigger, macroIn, macroOut, metadata, stories.
// The ro of a roListAll (without stories) has no macroIn or macroOut.
void MOSXMLWriter::WriteRoNode(const ro& r, pugi::xml_node node, bool withStories) {
  for (const auto& [name, value] : {std::pair<const char*, const MosText*>{"roID", &r.roID},
                                    {"roSlug", &r.roSlug},
                                    {"roChannel", &r.roChannel},
                                    {"roEdStart", &r.roEdStart},
                                    {"roEdDur", &r.roEdDur},
                                    {"roTrigger", &r.roTrigger}}) {
    AddIfPresent(node, name, *value);
  }
  if (withStories) {
    AddIfPresent(node, "macroIn", r.macroIn);
    AddIfPresent(node, "macroOut", r.macroOut);
  }
  AddMetadata(node, r.metadata);
  if (!withStories) {
    return;
  }
  for (const auto& s : r.stories) {
    WriteStoryNode(s, node.append_child("story"));
  }
}

// A story without storyID is written as an empty element.
void MOSXMLWriter::WriteStoryNode(const story& s, pugi::xml_node node) {
  if (!s.storyID.Present()) {
    return;
  }
  AddText(node, "storyID", s.storyID.Str());
  AddIfPresent(node, "storySlug", s.storySlug);
  AddIfPresent(node, "storyNum", s.storyNum);
  AddMetadata(node, s.metadata);
  for (const auto& i : s.items) {
    WriteItemNode(i, node.append_child("item"));
  }
}

// itemID, objID and mosID are required: an item is cut short at the first that is absent.
// The rest in the protocol's order: itemSlug after itemID, objPaths as the NRCS sent them.
void MOSXMLWriter::WriteItemNode(const item& i, pugi::xml_node node) {
  if (!i.itemID.Present() || !i.objID.Present() || !i.mosID.Present()) {
    AddIfPresent(node, "itemID", i.itemID);
    if (i.itemID.Present()) {
      AddIfPresent(node, "objID", i.objID);
    }
    return;
  }
  AddText(node, "itemID", i.itemID.Str());
  AddIfPresent(node, "itemSlug", i.itemSlug);
  AddText(node, "objID", i.objID.Str());
  AddText(node, "mosID", i.mosID.Str());
  AddIfPresent(node, "mosPlugInID", i.mosPlugInID);
  AddIfPresent(node, "mosAbstract", i.mosAbstract);
  if (!i.objPathsXml.empty()) {
    AddXml(node, i.objPathsXml, "objPaths");
  }
  for (const auto& [name, value] : {std::pair<const char*, const MosText*>{"objDur", &i.objDur},
                                    {"objTB", &i.objTB},
                                    {"itemChannel", &i.itemChannel},
                                    {"itemEdStart", &i.itemEdStart},
                                    {"itemEdDur", &i.itemEdDur},
                                    {"itemUserTimingDur", &i.itemUserTimingDur},
                                    {"itemTrigger", &i.itemTrigger},
                                    {"macroIn", &i.macroIn},
                                    {"macroOut", &i.macroOut}}) {
    AddIfPresent(node, name, *value);
  }
  AddMetadata(node, i.metadata);
}

}  // namespace vidra

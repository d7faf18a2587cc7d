// The six outgoing messages: element orders, optional elements and early stops as NRCS
// software has always received them.
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
    "<mosRev>2.8</mosRev><supportedProfiles deviceType=\"MOS\">"
    "<mosProfile number=\"0\">YES</mosProfile><mosProfile number=\"1\">NO</mosProfile>"
    "<mosProfile number=\"2\">YES</mosProfile><mosProfile number=\"3\">NO</mosProfile>"
    "<mosProfile number=\"4\">NO</mosProfile><mosProfile number=\"5\">YES</mosProfile>"
    "<mosProfile number=\"6\">NO</mosProfile><mosProfile number=\"7\">NO</mosProfile>"
    "</supportedProfiles></listMachInfo></mos>";

bool HasMosRootElement(const pugi::xml_document& document) {
  return static_cast<bool>(document.child("mos"));
}

}  // namespace

void MOSXMLWriter::BuildHeartbeat(const MosText& mosID, const MosText& ncsID,
                                  const MosText& messageID) {
  StartMessage(mosID, ncsID, messageID);
  static_cast<void>(AppendElement("mos", "heartbeat"));
  static_cast<void>(AppendTextElement("mos/heartbeat", "time", FormatIsoTime()));
}

// The template in the template folder (the current folder), else the installed one, else
// the built-in description: the answer is never empty.
bool MOSXMLWriter::LoadMachInfoTemplate() {
  for (const std::string& path :
       {templateFolder + "listMachInfo.xml", std::string(VIDRA_DATA_DIR) + "/listMachInfo.xml"}) {
    if (outDocument.load_file(path.c_str()) && HasMosRootElement(outDocument)) {
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
      {info.mosRev, "mos/listMachInfo/mosRev", nullptr},
  };
  for (const auto& field : fields) {
    if (!field.value.Present()) {
      continue;
    }
    static_cast<void>(SetNodeText(field.path, field.value));
    if (field.mosPath != nullptr) {
      static_cast<void>(SetNodeText(field.mosPath, field.value));
    }
  }
  if (info.supportedProfiles.Present()) {
    static_cast<void>(
        SetNodeAttribute("mos/listMachInfo/supportedProfiles", "device", info.supportedProfiles));
  }
}

void MOSXMLWriter::BuildRoAck(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                              const RoAckInfo& ack) {
  StartMessage(mosID, ncsID, messageID);
  pugi::xml_node roAck;
  static_cast<void>(AppendElement("mos", "roAck", &roAck));
  static_cast<void>(AppendElement("mos/roAck", "roID"));
  static_cast<void>(AppendElement("mos/roAck", "roStatus"));
  static_cast<void>(SetNodeText("mos/roAck/roID", ack.roID));
  static_cast<void>(SetNodeText("mos/roAck/roStatus", ack.roStatus));
  if (!roAck) {
    return;
  }
  for (const auto& story : ack.stories) {
    static_cast<void>(AppendTextChild(roAck, "storyID", story.storyID));
    const std::size_t n = std::min(story.statuses.size(), story.itemIDs.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (story.itemIDs[i].empty()) {
        continue;
      }
      static_cast<void>(AppendTextChild(roAck, "itemID", story.itemIDs[i]));
      static_cast<void>(AppendTextChild(
          roAck, "objID", i < story.objIDs.size() ? std::string_view(story.objIDs[i]) : ""));
      static_cast<void>(AppendTextChild(roAck, "status", story.statuses[i]));
    }
    if (n == 0) {
      static_cast<void>(AppendTextChild(roAck, "status", "ACK"));
    }
  }
}

void MOSXMLWriter::BuildRoList(const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                               const std::shared_ptr<ro>& r) {
  StartMessage(mosID, ncsID, messageID);
  static_cast<void>(AppendElement("mos", "roList"));
  if (r) {
    std::lock_guard guard(r->lock);  // the ro lock: no edit while it is written
    static_cast<void>(WriteRo(*r, "mos/roList"));
  }
}

void MOSXMLWriter::BuildRoListAll(const MosText& mosID, const MosText& ncsID,
                                  const MosText& messageID,
                                  const std::vector<std::shared_ptr<ro>>& list) {
  StartMessage(mosID, ncsID, messageID);
  static_cast<void>(AppendElement("mos", "roListAll"));
  for (const auto& r : list) {
    pugi::xml_node node;
    if (AppendElement("mos/roListAll", "ro", &node) != HResult::S_OK || !r) {
      continue;
    }
    std::lock_guard guard(r->lock);  // the ro lock, while its header is written
    static_cast<void>(WriteRoNode(*r, node, false));
  }
}

void MOSXMLWriter::BuildRoElementStat(const MosText& messageID, const StatusNotice& notice) {
  StartMessage(notice.mosID, notice.ncsID, messageID);
  static_cast<void>(AppendElement("mos", "roElementStat"));
  if (notice.roID.IsEmpty()) {
    return;
  }
  const char* path = "mos/roElementStat";
  static_cast<void>(AppendTextElement(path, "roID", notice.roID));
  const char* element = "RO";
  if (!notice.storyID.IsEmpty()) {
    static_cast<void>(AppendTextElement(path, "storyID", notice.storyID));
    element = "STORY";
    if (!notice.itemID.IsEmpty()) {
      static_cast<void>(AppendTextElement(path, "itemID", notice.itemID));
      static_cast<void>(AppendTextElement(path, "objID", notice.objID));
      element = "ITEM";
    }
  }
  static_cast<void>(SetNodeAttribute(path, "element", element));
  static_cast<void>(AppendTextElement(path, "status", notice.status));
  static_cast<void>(AppendTextElement(path, "time", notice.time));
}

HResult MOSXMLWriter::WriteRo(const ro& r, std::string_view path) {
  pugi::xml_node node = SelectSingleNode(outDocument, path);
  if (!node) {
    return HResult::E_FAIL;
  }
  return WriteRoNode(r, node, true);
}

HResult MOSXMLWriter::WriteRoNode(const ro& r, pugi::xml_node node, bool withStories) {
  if (!node) {
    return HResult::E_FAIL;
  }
  for (const auto& [name, value] : {std::pair<const char*, const MosText*>{"roID", &r.roID},
                                    {"roSlug", &r.roSlug},
                                    {"roEdStart", &r.roEdStart},
                                    {"roEdDur", &r.roEdDur},
                                    {"roTrigger", &r.roTrigger},
                                    {"macroIn", &r.macroIn},
                                    {"macroOut", &r.macroOut}}) {
    if (value->Present()) {
      static_cast<void>(AppendTextChild(node, name, *value));
    }
  }
  pugi::xml_node metadata;
  if (AppendChildElement(node, "mosExternalMetadata", metadata) == HResult::S_OK) {
    static_cast<void>(WriteMetadataNode(r.metadata, metadata));
  }
  if (!withStories) {
    return HResult::S_OK;
  }
  for (const auto& s : r.stories) {
    pugi::xml_node storyNode;
    if (AppendChildElement(node, "story", storyNode) != HResult::S_OK) {
      return HResult::E_FAIL;
    }
    static_cast<void>(WriteStoryNode(s, storyNode));
  }
  return HResult::S_OK;
}

HResult MOSXMLWriter::WriteMetadataNode(const mosExternalMetadata& metadata, pugi::xml_node node) {
  if (metadata.mosScope.Present()) {
    static_cast<void>(AppendTextChild(node, "mosScope", metadata.mosScope));
  }
  static_cast<void>(AppendTextChild(node, "mosSchema", metadata.mosSchema));
  pugi::xml_node payload;
  if (AppendChildElement(node, "mosPayload", payload) != HResult::S_OK) {
    return HResult::E_FAIL;
  }
  const mosPayload& p = metadata.payload;
  for (const auto& [name, value] : {std::pair<const char*, const MosText*>{"Creator", &p.Creator},
                                    {"Owner", &p.Owner},
                                    {"ModTime", &p.ModTime},
                                    {"mediaTime", &p.mediaTime},
                                    {"TextTime", &p.TextTime},
                                    {"ModBy", &p.ModBy}}) {
    if (value->Present()) {
      static_cast<void>(AppendTextChild(payload, name, *value));
    }
  }
  return AppendTextChild(payload, "Approved", p.Approved ? "1" : "0");
}

HResult MOSXMLWriter::WriteStoryNode(const story& s, pugi::xml_node node) {
  if (!s.storyID.Present()) {
    return HResult::E_FAIL;
  }
  static_cast<void>(AppendTextChild(node, "storyID", s.storyID));
  if (s.storySlug.Present()) {
    static_cast<void>(AppendTextChild(node, "storySlug", s.storySlug));
  }
  if (s.storyNum.Present()) {
    static_cast<void>(AppendTextChild(node, "storyNum", s.storyNum));
  }
  for (const auto& i : s.items) {
    pugi::xml_node itemNode;
    if (AppendChildElement(node, "item", itemNode) != HResult::S_OK) {
      return HResult::E_FAIL;
    }
    static_cast<void>(WriteItemNode(i, itemNode));  // a failed item does not stop the story
  }
  return HResult::S_OK;
}

HResult MOSXMLWriter::WriteItemNode(const item& i, pugi::xml_node node) {
  for (const auto& [name, value] : {std::pair<const char*, const MosText*>{"itemID", &i.itemID},
                                    {"objID", &i.objID},
                                    {"mosID", &i.mosID}}) {
    if (!value->Present()) {
      return HResult::E_FAIL;  // required; what was written so far stays
    }
    static_cast<void>(AppendTextChild(node, name, *value));
  }
  for (const auto& [name, value] : {std::pair<const char*, const MosText*>{"objTB", &i.objTB},
                                    {"itemSlug", &i.itemSlug},
                                    {"mosAbstract", &i.mosAbstract},
                                    {"itemEdStart", &i.itemEdStart},
                                    {"itemEdDur", &i.itemEdDur},
                                    {"itemUserTimingDur", &i.itemUserTimingDur},
                                    {"itemTrigger", &i.itemTrigger},
                                    {"macroIn", &i.macroIn},
                                    {"macroOut", &i.macroOut}}) {
    if (value->Present()) {
      static_cast<void>(AppendTextChild(node, name, *value));
    }
  }
  return HResult::S_OK;
}

}  // namespace vidra

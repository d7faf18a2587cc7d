// The dispatcher: one table of the message types in the order they are tried, each with its
// log line and its handler. Every answer carries the mosID and ncsID of the message answered
// and echoes its messageID.
#include <string>
#include <string_view>

#include "common/Log.h"
#include "mos/ActionReaders.h"
#include "mos/MosXml.h"
#include "mos/Readers.h"

namespace vidra {

namespace {

// What one body element needs to be answered.
struct Request {
  MOSXMLWriter& writer;
  PlayoutManager& manager;
  pugi::xml_node body;
  std::int32_t channel = 0;
  const MosText& mosID;
  const MosText& ncsID;
  const MosText& messageID;
};

enum class Reply { None, Answer };

using Handler = Reply (*)(Request&);

Reply Heartbeat(Request& r) {
  r.writer.BuildHeartbeat(r.mosID, r.ncsID, r.messageID);
  return Reply::Answer;
}

Reply Nothing(Request& /*r*/) {
  return Reply::None;
}

Reply MachInfo(Request& r) {
  vidra::MachInfo info;
  info.manufacturer = "TARNVEL";
  info.model = "Marrowvale";
  info.hwrev = "None";
  info.swrev = "Marrowvale";
  r.writer.BuildListMachInfo(r.mosID, r.ncsID, r.messageID, info);
  return Reply::Answer;
}

Reply EmptyOk(Request& r) {
  RoAckInfo ack;
  ack.roID = "";
  ack.roStatus = "OK";
  r.writer.BuildRoAck(r.mosID, r.ncsID, r.messageID, ack);
  return Reply::Answer;
}

Reply CreateOrReplace(Request& r) {
  auto created = std::make_unique<ro>();
  static_cast<void>(ReadRo(r.body, *created, r.manager.mediaPath));
  created->mosID = r.mosID;
  created->ncsID = r.ncsID;
  RoAckInfo ack;
  static_cast<void>(r.manager.Store(r.channel).AddRo(std::move(created), ack));
  r.writer.BuildRoAck(r.mosID, r.ncsID, r.messageID, ack);
  return Reply::Answer;
}

Reply Delete(Request& r) {
  MosText roID;
  static_cast<void>(ReadRoID(r.body, roID));
  RoAckInfo ack;
  static_cast<void>(r.manager.Store(r.channel).DeleteRo(roID, ack));
  r.writer.BuildRoAck(r.mosID, r.ncsID, r.messageID, ack);
  return Reply::Answer;
}

Reply Request1(Request& r) {
  MosText roID;
  static_cast<void>(ReadRoID(r.body, roID));
  if (const auto found = r.manager.Store(r.channel).GetRo(roID)) {
    r.writer.BuildRoList(r.mosID, r.ncsID, r.messageID, found);
    return Reply::Answer;
  }
  RoAckInfo ack;
  ack.roID = roID;
  ack.roStatus = "OK";
  r.writer.BuildRoAck(r.mosID, r.ncsID, r.messageID, ack);
  return Reply::Answer;
}

Reply RequestAll(Request& r) {
  std::vector<std::shared_ptr<ro>> list;
  r.manager.Store(r.channel).CopyRoList(list);
  r.writer.BuildRoListAll(r.mosID, r.ncsID, r.messageID, list);
  LogText(" LIST ALL MESS");
  LogText(r.writer.GetAnswerUtf8());
  return Reply::Answer;
}

Reply Control(Request& r) {
  RoAckInfo ack;
  static_cast<void>(HandleRoCtrl(r.body, r.manager, r.channel, ack));
  r.writer.BuildRoAck(r.mosID, r.ncsID, r.messageID, ack);
  return Reply::Answer;
}

Reply ElementAction(Request& r) {
  RoAckInfo ack;
  static_cast<void>(HandleElementAction(r.body, r.manager, r.channel, ack));
  r.writer.BuildRoAck(r.mosID, r.ncsID, r.messageID, ack);
  LogText(r.writer.GetAnswerUtf8());
  return Reply::Answer;
}

struct Row {
  std::string_view name;
  const char* logLine;
  Handler handler;
};

// Tried in this order; names compare whole and case-sensitively.
constexpr Row kMessageTypes[] = {
    {"heartbeat", "heartbeat", Heartbeat},
    {"mosAck", "mosAck => must be answer to roElementStat", Nothing},
    {"reqMachInfo", "reqMachInfo", MachInfo},
    {"listMachInfo", "listMachInfo", Heartbeat},
    {"mosObj", "mosObj", Heartbeat},
    {"mosReqObj", "mosReqObj", Heartbeat},
    {"mosReqAll", "mosReqAll", Heartbeat},
    {"mosListAll", "mosListAll", Heartbeat},
    {"mosObjCreate", "mosObjCreate", Heartbeat},
    {"mosReqObjAction", "mosReqObjAction", Heartbeat},
    {"mosItemReplace", "mosItemReplace", EmptyOk},
    {"roCreate", "roCreate", CreateOrReplace},
    {"roReplace", "roReplace", CreateOrReplace},
    {"roMetadataReplace", "roMetadataReplace", EmptyOk},
    {"roDelete", "roDelete", Delete},
    {"roReq", "roReq", Request1},
    {"roList", "roList", Nothing},
    {"roReqAll", "roReqAll", RequestAll},
    {"roListAll", "roListAll", Nothing},
    {"roCtrl", "roCtrl", Control},
    {"roElementAction", "roElementAction", ElementAction},
};

}  // namespace

HResult MOSXMLParser::HandleMessage(PlayoutManager& manager, std::u16string& answer,
                                    bool& answered) {
  answered = false;
  if (!HasMosRoot()) {
    return HResult::E_FAIL;
  }
  for (pugi::xml_node mos = inDocument.child("mos"); mos; mos = mos.next_sibling("mos")) {
    MosText mosID;
    MosText ncsID;
    std::int32_t messageID = 0;
    for (pugi::xml_node child = mos.first_child(); child; child = child.next_sibling()) {
      if (child.type() != pugi::node_element) {
        continue;
      }
      const std::string_view name = child.name();
      if (name == "mosID") {
        mosID = NodeText(child);
      } else if (name == "ncsID") {
        ncsID = NodeText(child);
      } else if (name == "messageID") {
        messageID = DecimalToInt32(NodeText(child));
      } else {
        bool produced = false;
        Dispatch(manager, child, produced, mosID, ncsID, messageID);
        if (produced) {
          answer = GetAnswer();
          answered = true;
        }
      }
    }
  }
  return HResult::S_OK;
}

void MOSXMLParser::Dispatch(PlayoutManager& manager, pugi::xml_node body, bool& answered,
                            const MosText& mosID, const MosText& ncsID, std::int32_t messageID) {
  answered = false;
  if (!body) {
    return;
  }
  const std::string_view name = body.name();
  messageIdText = std::to_string(messageID);
  const std::int32_t channel = manager.FindChannelByName(mosID);
  for (const Row& row : kMessageTypes) {
    if (row.name != name) {
      continue;
    }
    LogText(row.logLine);
    const MosText echoed(messageIdText);
    Request request{*this, manager, body, channel, mosID, ncsID, echoed};
    answered = row.handler(request) == Reply::Answer;
    return;
  }
}

}  // namespace vidra

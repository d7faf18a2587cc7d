// The dispatcher: one table of the message types in the order they are tried, each with its
// log line, its MOS profile, the children it cannot do without, and its handler. Every
// message is answered unless it is itself an answer: a message this server does not handle
// gets a NACK in the form of its port. Every answer carries the mosID and ncsID of the
// message answered and echoes its messageID as it was written.
#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <string>
#include <string_view>

#include "common/Log.h"
#include "common/Text.h"
#include "mos/ActionReaders.h"
#include "mos/EditReaders.h"
#include "mos/MachInfo.h"
#include "mos/MosXml.h"
#include "mos/ObjectRequests.h"
#include "mos/Readers.h"

namespace vidra {

namespace {

// What one body element needs to be answered.
struct Request {
  MOSXMLWriter& writer;
  PlayoutManager& manager;
  MosPort port;
  pugi::xml_node body;
  std::string_view name;
  std::int32_t channel = 0;
  const MosText& mosID;
  const MosText& ncsID;
  const MosText& messageID;
  std::optional<EditResult>& outcome;  // what the roAck answered, if one was
  std::optional<MOSXMLParser::PacedListing>& paced;
  std::uint32_t host;     // the NRCS host it came from (network order), 0 unknown
  const MessageKey* key;  // committed with the change it makes; null: not remembered
};

// The ack of an edit that r asks for: the edit commits r's key with its change.
RoAckInfo EditAck(const Request& r) {
  RoAckInfo ack;
  ack.message = r.key;
  return ack;
}

enum class Reply { None, Answer };

using Handler = Reply (*)(Request&);

Reply AnswerRoAck(Request& r, RoAckInfo& ack, EditResult result) {
  ack.result = result;
  r.outcome = result;
  // A roID this channel does not hold means the NRCS and the server disagree on what is
  // stored; the NACK tells it so (a resync with the NRCS starts from here).
  r.writer.BuildRoAck(r.mosID, r.ncsID, r.messageID, ack);
  return Reply::Answer;
}

// objRev: the revision of the object answered for; 0 when none is known.
Reply AnswerMosAck(Request& r, const MosText& objID, bool ok, const std::string& description,
                   const MosText& objRev = MosText()) {
  MosAckInfo ack;
  ack.objID = objID;
  ack.objRev = objRev.IsEmpty() ? MosText("0") : objRev;
  ack.status = MosText(ok ? "ACK" : "NACK");
  ack.statusDescription = MosText(description);
  r.writer.BuildMosAck(r.mosID, r.ncsID, r.messageID, ack);
  return Reply::Answer;
}

// A refusal in the form of the port: roAck on the upper port, mosAck on the lower.
Reply Refuse(Request& r, EditResult result, const std::string& detail) {
  if (r.port != MosPort::Upper) {
    return AnswerMosAck(r, ChildText(r.body, "objID"), false, ReasonText(result, detail));
  }
  RoAckInfo ack;
  ack.roID = ChildText(r.body, "roID");
  ack.detail = detail;
  return AnswerRoAck(r, ack, result);
}

// A message this server does not handle (or does not know), naming the message and, for a
// MOS message, its profile.
Reply NotHandled(Request& r, int profile) {
  std::string what(r.name);
  if (profile >= 0) {
    what += " (profile " + std::to_string(profile) + ")";
  }
  return Refuse(r, EditResult::Unsupported, what);
}

ObjectWording Wording(const Request& r, std::string status) {
  return ObjectWording{std::move(status), r.manager.frameRate, r.manager.ServerName()};
}

// An ID sent back in an answer: at most what an objID may be, cut where a character begins.
MosText EchoedId(const MosText& id) {
  std::string text(id.Str());
  if (text.size() > kMaxObjIdBytes) {
    std::size_t keep = kMaxObjIdBytes;
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) {
      --keep;
    }
    text.resize(keep);
  }
  return MosText(text);
}

// Why the catalogue cannot answer for all objects yet, or empty when it can.
std::string CatalogueNotReady(const PlayoutManager& manager) {
  const MediaLibrary* media = manager.Media();
  if (media == nullptr || !media->HasFolder()) {
    return {};
  }
  const ScanProgress progress = media->Catalogue().Progress();
  if (progress.complete) {
    return {};
  }
  return "the media catalogue is still being built: " + std::to_string(progress.probed) + " of " +
         std::to_string(progress.found) + " files looked at";
}

Reply RequestObject(Request& r) {
  const MosText objID = ChildText(r.body, "objID");
  if (const MediaLibrary* media = r.manager.Media()) {
    if (const auto object = media->Catalogue().Find(objID.Str())) {
      r.writer.BuildMosObj(r.mosID, r.ncsID, r.messageID, *object, Wording(r, ""));
      return Reply::Answer;
    }
  }
  const std::string building = CatalogueNotReady(r.manager);
  Log("VIDRA - mosReqObj for an unknown objID (%zu characters) is answered NACK",
      objID.Str().size());
  return AnswerMosAck(r, EchoedId(objID), false,
                      building.empty() ? "unknown objID" : "unknown objID; " + building);
}

Reply RequestAll(Request& r) {
  const std::string pauseText(Trim(ChildText(r.body, "pause").Str()));
  const auto pause = ParseUnsigned(pauseText, 0, 86400);
  if (!pause) {
    return AnswerMosAck(r, MosText(), false,
                        ReasonText(EditResult::Malformed, "pause " + pauseText.substr(0, 32)));
  }
  if (const std::string building = CatalogueNotReady(r.manager); !building.empty()) {
    Log("VIDRA - mosReqAll is answered NACK: %s", building.c_str());
    return AnswerMosAck(r, MosText(), false, building);
  }
  const MediaLibrary* media = r.manager.Media();
  const std::size_t count = media != nullptr ? media->Catalogue().Count() : 0;
  // What the device starts goes on its own connection to the NRCS's lower port, acknowledged
  // there: with pause 0 one mosListAll, else a mosObj every pause seconds.
  r.paced = MOSXMLParser::PacedListing{static_cast<std::uint32_t>(*pause), r.mosID, r.ncsID};
  if (*pause == 0) {
    return AnswerMosAck(r, MosText(), true,
                        std::to_string(count) + " objects follow in one mosListAll");
  }
  return AnswerMosAck(
      r, MosText(), true,
      std::to_string(count) + " objects follow, one every " + std::to_string(*pause) + " s");
}

// The NRCS's own objects (mosObj, mosListAll): taken note of, nothing more. The answer
// names the object and its revision as the NRCS sent them (for a mosListAll, its first).
Reply TakeObjects(Request& r) {
  const pugi::xml_node object = r.name == "mosListAll" ? r.body.child("mosObj") : r.body;
  return AnswerMosAck(r, EchoedId(ChildText(object, "objID")), true, "",
                      EchoedId(ChildText(object, "objRev")));
}

// mosObjCreate and mosReqObjAction: the NRCS's own objects, made, changed or deleted in the
// catalogue; the mosObj news follows through the object sender.
Reply ObjectRequest(Request& r) {
  const ObjectRequestAnswer answer = r.name == "mosObjCreate"
                                         ? HandleObjectCreate(r.body, r.manager.Media())
                                         : HandleObjectAction(r.body, r.manager.Media());
  if (!answer.ok) {
    Log("VIDRA - %s is answered NACK: %s", std::string(r.name).c_str(), answer.description.c_str());
  } else {
    r.outcome = EditResult::Ok;  // remembered: the same message sent again makes nothing new
  }
  return AnswerMosAck(r, answer.objID, answer.ok, answer.description, answer.objRev);
}

Reply SearchableSchema(Request& r) {
  r.writer.BuildMosListSearchableSchema(r.mosID, r.ncsID, r.messageID,
                                        r.body.attribute("username").value());
  return Reply::Answer;
}

Reply ObjectList(Request& r) {
  ObjectQuery query;
  std::string error;
  if (!ReadObjectQuery(r.body, query, error)) {
    Log("VIDRA - mosReqObjList is answered NACK: %s", error.c_str());
    return AnswerMosAck(r, MosText(), false, ReasonText(EditResult::Malformed, error));
  }
  const MediaLibrary* media = r.manager.Media();
  const ObjectPage page =
      media != nullptr ? RunObjectQuery(media->Catalogue(), query) : ObjectPage{};
  r.writer.BuildMosObjList(r.mosID, r.ncsID, r.messageID, query, page, Wording(r, ""));
  return Reply::Answer;
}

Reply Heartbeat(Request& r) {
  r.writer.BuildHeartbeat(r.mosID, r.ncsID, r.messageID);
  return Reply::Answer;
}

Reply Nothing(Request& /*r*/) {
  return Reply::None;
}

Reply MachInfoAnswer(Request& r) {
  vidra::MachInfo info;
  info.manufacturer = "TARNVEL";
  info.model = "Marrowvale";
  info.hwrev = "None";
  info.swrev = "Marrowvale";
  info.time = r.writer.FormatIsoTime();
  r.writer.BuildListMachInfo(r.mosID, r.ncsID, r.messageID, info);
  return Reply::Answer;
}

// The NRCS describing itself: what it claims is logged; it is answered as it always was.
Reply NrcsMachInfo(Request& r) {
  Log("VIDRA - NRCS %s claims MOS profiles: %s", r.ncsID.CStr(),
      FormatProfiles(ReadSupportedProfiles(r.body)).c_str());
  return Heartbeat(r);
}

Reply CreateOrReplace(Request& r) {
  auto created = std::make_unique<ro>();
  ReadRo(r.body, *created, r.manager.mediaPath);
  created->mosID = r.mosID;
  created->ncsID = r.ncsID;
  created->nrcsHost = r.host;
  RoAckInfo ack = EditAck(r);
  const EditResult added = r.manager.Store(r.channel).AddRo(std::move(created), ack);
  return AnswerRoAck(r, ack, added);
}

Reply Delete(Request& r) {
  RoAckInfo ack = EditAck(r);
  const EditResult deleted = r.manager.Store(r.channel).DeleteRo(ChildText(r.body, "roID"), ack);
  return AnswerRoAck(r, ack, deleted);
}

Reply List(Request& r) {
  const MosText roID = ChildText(r.body, "roID");
  if (const auto found = r.manager.Store(r.channel).GetRo(roID)) {
    r.writer.BuildRoList(r.mosID, r.ncsID, r.messageID, found);
    return Reply::Answer;
  }
  RoAckInfo ack;
  ack.roID = roID;
  return AnswerRoAck(r, ack, EditResult::UnknownRo);
}

Reply ListAll(Request& r) {
  std::vector<std::shared_ptr<ro>> list;
  r.manager.Store(r.channel).CopyRoList(list);
  r.writer.BuildRoListAll(r.mosID, r.ncsID, r.messageID, list);
  LogText(" LIST ALL MESS");
  LogText(r.writer.GetAnswerUtf8());
  return Reply::Answer;
}

Reply MetadataReplace(Request& r) {
  RoAckInfo ack = EditAck(r);
  const EditResult replaced =
      r.manager.Store(r.channel).ReplaceMetadata(ReadRoMetadata(r.body), ack);
  return AnswerRoAck(r, ack, replaced);
}

Reply Control(Request& r) {
  RoAckInfo ack = EditAck(r);
  const EditResult executed = HandleRoCtrl(r.body, r.manager, r.channel, ack);
  return AnswerRoAck(r, ack, executed);
}

Reply ElementActionEdit(Request& r) {
  RoAckInfo ack = EditAck(r);
  const EditResult edited = HandleElementAction(r.body, r.manager, r.channel, ack);
  AnswerRoAck(r, ack, edited);
  LogText(r.writer.GetAnswerUtf8());
  return Reply::Answer;
}

// roStoryInsert, roItemMoveMultiple and the other story and item messages: the same edits as
// roElementAction; their answers list the stories the edit touched.
Reply StoryOrItemEdit(Request& r) {
  vidra::ElementAction action;
  RoAckInfo ack = EditAck(r);
  if (!ReadStoryOrItemEdit(r.name, r.body, r.manager.mediaPath, action, ack.detail)) {
    ack.roID = action.roID;
    return AnswerRoAck(r, ack, EditResult::Malformed);
  }
  const EditResult edited = r.manager.Store(r.channel).ApplyElementAction(action, ack, true);
  return AnswerRoAck(r, ack, edited);
}

Reply MosItemReplace(Request& r) {
  vidra::ElementAction action;
  RoAckInfo ack = EditAck(r);
  if (!ReadMosItemReplace(r.body, r.manager.mediaPath, action, ack.detail)) {
    ack.roID = action.roID;
    return AnswerRoAck(r, ack, EditResult::Malformed);
  }
  const EditResult edited = r.manager.Store(r.channel).ApplyElementAction(action, ack, true);
  return AnswerRoAck(r, ack, edited);
}

Reply ReadyToAir(Request& r) {
  RoAckInfo ack = EditAck(r);
  const EditResult set = r.manager.Store(r.channel).SetReadyToAir(ChildText(r.body, "roID"),
                                                                  ChildText(r.body, "roAir"), ack);
  return AnswerRoAck(r, ack, set);
}

Reply StorySend(Request& r) {
  RoAckInfo ack = EditAck(r);
  const EditResult kept = r.manager.Store(r.channel).SetStoryBody(
      ChildText(r.body, "roID"), ChildText(r.body, "storyID"),
      ReadStoryBody(r.body.child("storyBody")), ack);
  return AnswerRoAck(r, ack, kept);
}

// The NRCS's own view of an element's timing (PLAY, STOP, ...).
Reply NrcsElementStat(Request& r) {
  NrcsStatus status = ReadNrcsStatus(r.body);
  RoAckInfo ack = EditAck(r);
  const EditResult kept = r.manager.Store(r.channel).SetNrcsView(
      ChildText(r.body, "roID"), status.element, std::move(status.view), ack);
  return AnswerRoAck(r, ack, kept);
}

// Whether a message changes running orders (or plays them), so that a copy of it sent again
// must not be applied again.
enum class Effect { Reads, Changes };

struct Row {
  std::string_view name;
  const char* logLine;
  int profile;  // the MOS profile the message belongs to
  Handler handler;
  Effect effect = Effect::Reads;
  // Children the message cannot do without; a message without one is answered NACK.
  std::array<std::string_view, 3> required{};
};

// Tried in this order; names compare whole and case-sensitively.
constexpr Row kMessageTypes[] = {
    {"heartbeat", "heartbeat", 0, Heartbeat},
    {"mosAck", "mosAck => must be answer to roElementStat", 1, Nothing},
    {"reqMachInfo", "reqMachInfo", 0, MachInfoAnswer},
    {"listMachInfo", "listMachInfo", 0, NrcsMachInfo},
    {"mosObj", "mosObj", 1, TakeObjects},
    {"mosReqObj", "mosReqObj", 1, RequestObject, Effect::Reads, {"objID"}},
    {"mosReqAll", "mosReqAll", 1, RequestAll},
    {"mosListAll", "mosListAll", 1, TakeObjects},
    {"mosObjCreate", "mosObjCreate", 3, ObjectRequest, Effect::Changes},
    {"mosReqObjAction", "mosReqObjAction", 3, ObjectRequest, Effect::Changes},
    {"mosReqSearchableSchema", "mosReqSearchableSchema", 3, SearchableSchema},
    {"mosReqObjList", "mosReqObjList", 3, ObjectList},
    {"mosItemReplace",
     "mosItemReplace",
     3,
     MosItemReplace,
     Effect::Changes,
     {"roID", "storyID", "item"}},
    {"roCreate", "roCreate", 2, CreateOrReplace, Effect::Changes, {"roID"}},
    {"roReplace", "roReplace", 2, CreateOrReplace, Effect::Changes, {"roID"}},
    {"roMetadataReplace", "roMetadataReplace", 2, MetadataReplace, Effect::Changes, {"roID"}},
    {"roDelete", "roDelete", 2, Delete, Effect::Changes, {"roID"}},
    {"roReq", "roReq", 2, List, Effect::Reads, {"roID"}},
    {"roList", "roList", 2, Nothing},
    {"roReqAll", "roReqAll", 4, ListAll},
    {"roListAll", "roListAll", 4, Nothing},
    {"roCtrl", "roCtrl", 5, Control, Effect::Changes},
    {"roElementAction", "roElementAction", 2, ElementActionEdit, Effect::Changes},
    {"roStoryAppend", "roStoryAppend", 2, StoryOrItemEdit, Effect::Changes, {"roID", "story"}},
    {"roStoryInsert",
     "roStoryInsert",
     2,
     StoryOrItemEdit,
     Effect::Changes,
     {"roID", "storyID", "story"}},
    {"roStoryReplace",
     "roStoryReplace",
     2,
     StoryOrItemEdit,
     Effect::Changes,
     {"roID", "storyID", "story"}},
    {"roStoryMove", "roStoryMove", 2, StoryOrItemEdit, Effect::Changes, {"roID", "storyID"}},
    {"roStorySwap", "roStorySwap", 2, StoryOrItemEdit, Effect::Changes, {"roID", "storyID"}},
    {"roStoryDelete", "roStoryDelete", 2, StoryOrItemEdit, Effect::Changes, {"roID", "storyID"}},
    {"roStoryMoveMultiple",
     "roStoryMoveMultiple",
     2,
     StoryOrItemEdit,
     Effect::Changes,
     {"roID", "storyID"}},
    {"roItemInsert",
     "roItemInsert",
     2,
     StoryOrItemEdit,
     Effect::Changes,
     {"roID", "storyID", "item"}},
    {"roItemReplace",
     "roItemReplace",
     2,
     StoryOrItemEdit,
     Effect::Changes,
     {"roID", "storyID", "item"}},
    {"roItemMoveMultiple",
     "roItemMoveMultiple",
     2,
     StoryOrItemEdit,
     Effect::Changes,
     {"roID", "storyID", "itemID"}},
    {"roItemDelete",
     "roItemDelete",
     2,
     StoryOrItemEdit,
     Effect::Changes,
     {"roID", "storyID", "itemID"}},
    {"roReadyToAir", "roReadyToAir", 2, ReadyToAir, Effect::Changes, {"roID", "roAir"}},
    {"roElementStat", "roElementStat", 2, NrcsElementStat, Effect::Changes, {"roID", "status"}},
    {"roStorySend", "roStorySend", 4, StorySend, Effect::Changes, {"roID", "storyID", "storyBody"}},
};

// What the query port serves: the search and the messages every port answers.
bool OnQueryPort(std::string_view name) {
  return name == "mosReqSearchableSchema" || name == "mosReqObjList" || name == "heartbeat" ||
         name == "reqMachInfo";
}

// The first required child the body lacks, or empty. An ID that is there but empty names
// nothing, and counts as missing.
std::string_view MissingChild(const Row& row, const pugi::xml_node& body) {
  for (const std::string_view name : row.required) {
    if (name.empty()) {
      continue;
    }
    const pugi::xml_node child = body.child(std::string(name).c_str());
    const bool isId = name.size() > 2 && name.substr(name.size() - 2) == "ID";
    const std::string text = isId && child ? NodeText(child) : std::string();
    if (!child || (isId && std::all_of(text.begin(), text.end(),
                                       [](unsigned char c) { return std::isspace(c) != 0; }))) {
      return name;
    }
  }
  return {};
}

}  // namespace

HResult MOSXMLParser::HandleMessage(PlayoutManager& manager, MosPort port, std::u16string& answer,
                                    bool& answered, std::uint32_t originHost,
                                    const MessageKey* key) {
  answered = false;
  lastOutcome_.reset();
  paced_.reset();
  if (!HasMosRoot()) {
    return HResult::E_FAIL;
  }
  for (pugi::xml_node mos = inDocument.child("mos"); mos; mos = mos.next_sibling("mos")) {
    MosText mosID;
    MosText ncsID;
    MosText messageID;
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
        messageID = NodeText(child);
      } else if (Dispatch(manager, port, child, mosID, ncsID, messageID, originHost, key)) {
        answer = GetAnswer();
        answered = true;
      }
    }
  }
  return HResult::S_OK;
}

bool MOSXMLParser::IsKnownMessage(std::string_view name) {
  return std::any_of(std::begin(kMessageTypes), std::end(kMessageTypes),
                     [&](const Row& row) { return row.name == name; });
}

MessageFacts MOSXMLParser::Facts() const {
  MessageFacts facts;
  for (pugi::xml_node child = inDocument.child("mos").first_child(); child;
       child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (child.type() != pugi::node_element) {
      continue;
    }
    if (name == "mosID") {
      facts.mosID = NodeText(child);
    } else if (name == "ncsID") {
      facts.ncsID = NodeText(child);
    } else if (name == "messageID") {
      facts.messageID = NodeText(child);
    } else {
      facts.name = name;
      facts.roID = ChildText(child, "roID");
      for (const Row& row : kMessageTypes) {
        if (row.name == name && row.effect == Effect::Changes) {
          facts.changesRunningOrders = true;
          facts.needsRunningOrder = name.rfind("ro", 0) == 0 && name != "roCreate" &&
                                    name != "roReplace" && name != "roDelete";
        }
      }
      break;
    }
  }
  return facts;
}

std::optional<MosText> MOSXMLParser::StoreReceivedList(PlayoutManager& manager,
                                                       std::uint32_t originHost) {
  const MessageFacts facts = Facts();
  const pugi::xml_node body = inDocument.child("mos").child("roList");
  if (facts.name != "roList" || !body) {
    return std::nullopt;
  }
  auto received = std::make_unique<ro>();
  ReadRo(body, *received, manager.mediaPath);
  received->mosID = facts.mosID;
  received->ncsID = facts.ncsID;
  received->nrcsHost = originHost;
  MosText roID = received->roID;
  RoAckInfo ack;
  if (manager.Store(manager.FindChannelByName(facts.mosID)).AddRo(std::move(received), ack) !=
      EditResult::Ok) {
    Log("VIDRA - running order %s from the NRCS cannot be stored: %s", roID.CStr(),
        ack.detail.c_str());
    return std::nullopt;
  }
  return roID;
}

std::vector<MosText> MOSXMLParser::MissingOfListAll(PlayoutManager& manager, MosText& mosID) const {
  const MessageFacts facts = Facts();
  std::vector<MosText> missing;
  mosID = facts.mosID;
  if (facts.name != "roListAll") {
    return missing;
  }
  const RoStore& store = manager.Store(manager.FindChannelByName(facts.mosID));
  for (pugi::xml_node r : inDocument.child("mos").child("roListAll").children("ro")) {
    MosText roID = ChildText(r, "roID");
    if (!roID.IsEmpty() && store.FindRo(roID) < 0) {
      missing.push_back(std::move(roID));
    }
  }
  return missing;
}

std::u16string MOSXMLParser::AppliedAnswer() {
  const pugi::xml_node mos = inDocument.child("mos");
  MosText mosID;
  MosText ncsID;
  MosText messageID;
  RoAckInfo ack;
  for (pugi::xml_node child = mos.first_child(); child; child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (name == "mosID") {
      mosID = NodeText(child);
    } else if (name == "ncsID") {
      ncsID = NodeText(child);
    } else if (name == "messageID") {
      messageID = NodeText(child);
    } else if (child.type() == pugi::node_element) {
      ack.roID = ChildText(child, "roID");
      break;
    }
  }
  BuildRoAck(mosID, ncsID, messageID, ack);
  return GetAnswer();
}

bool MOSXMLParser::Dispatch(PlayoutManager& manager, MosPort port, pugi::xml_node body,
                            const MosText& mosID, const MosText& ncsID, const MosText& messageID,
                            std::uint32_t originHost, const MessageKey* key) {
  const std::string_view name = body.name();
  Request request{*this, manager, port,      body,         name,   manager.FindChannelByName(mosID),
                  mosID, ncsID,   messageID, lastOutcome_, paced_, originHost,
                  key};
  for (const Row& row : kMessageTypes) {
    if (row.name != name) {
      continue;
    }
    LogText(row.logLine);
    if (port == MosPort::Query && !OnQueryPort(name)) {
      Log("VIDRA - %s on the query port is answered NACK", row.logLine);
      return Refuse(request, EditResult::Unsupported,
                    std::string(name) +
                        " on the query port (mosReqSearchableSchema, mosReqObjList)") ==
             Reply::Answer;
    }
    if (const std::string_view missing = MissingChild(row, body); !missing.empty()) {
      Log("VIDRA - %s without %s is answered NACK", row.logLine, std::string(missing).c_str());
      return Refuse(request, EditResult::Malformed, std::string(missing) + " missing") ==
             Reply::Answer;
    }
    return row.handler(request) == Reply::Answer;
  }
  Log("VIDRA - unknown MOS message %s is answered NACK", std::string(name).c_str());
  return NotHandled(request, -1) == Reply::Answer;
}

}  // namespace vidra

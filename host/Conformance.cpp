// The cases are one table in the order they run: what to send (on which port, in which
// dialect), what must come back, and how the running order must read afterwards. "$RO"
// in a message stands for the run's roID.
#include "host/Conformance.h"

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/ElementOrder.h"
#include "mos/MachInfo.h"

namespace vidra {

namespace {

enum class Expect {
  Any,
  Ok,
  Nack,
  MosNack,
  MosAck,
  Heartbeat,
  MachInfo,
  RoList,
  RoListAll,
  MosListAll,
  MosObj,
  Placeholder,     // mosAck ACK naming the object the device made ($PH from then on)
  PlaceholderObj,  // the mosObj of $PH
  SearchSchema,    // mosListSearchableSchema naming a schema
  ObjectList,      // mosObjList that lists $PH
};

struct Case {
  const char* name;
  int profile;
  bool upper;
  std::string body;
  Expect expect;
  // The running order read back afterwards, as "A:A1,A2 B:" ("" for no read-back).
  const char* order = "";
  // Text the running order's roList must hold afterwards.
  const char* listed = "";
  bool withoutMessageId = false;
  bool declaration = false;
  bool query = false;  // sent on the query port
};

std::string Item(const std::string& id) {
  return "<item><itemID>" + id + "</itemID><itemSlug/><objID>OBJ-" + id +
         "</objID><mosID>$MOS</mosID></item>";
}

std::string Story(const std::string& id, const std::vector<std::string>& items = {}) {
  std::string text = "<story><storyID>" + id + "</storyID><storySlug>" + id + "</storySlug>";
  for (const auto& i : items) {
    text += Item(i);
  }
  return text + "</story>";
}

std::string Ro(const std::string& body) {
  return "<roID>$RO</roID>" + body;
}

std::vector<Case> Cases() {
  const std::string moveAction = "<roElementAction operation=\"MOVE\">";
  return {
      {"heartbeat", 0, false, "<heartbeat/>", Expect::Heartbeat},
      {"heartbeat without messageID", 0, false, "<heartbeat/>", Expect::Heartbeat, "", "", true},
      {"heartbeat after an XML declaration", 0, false, "<heartbeat/>", Expect::Heartbeat, "", "",
       false, true},
      {"reqMachInfo", 0, false, "<reqMachInfo/>", Expect::MachInfo},
      {"mosReqAll with pause 0: mosAck, then mosListAll to the NRCS's lower port", 1, false,
       "<mosReqAll><pause>0</pause></mosReqAll>", Expect::MosListAll},
      {"mosReqObj of a listed object", 1, false, "<mosReqObj><objID>$OBJ</objID></mosReqObj>",
       Expect::MosObj},
      {"mosReqObj of an unknown objID", 1, false,
       "<mosReqObj><objID>CONFORMANCE-UNKNOWN-OBJECT</objID></mosReqObj>", Expect::MosNack},
      {"mosObj from the NRCS", 1, false,
       "<mosObj><objID>NCS-1</objID><objSlug>NCS object</objSlug><objType>VIDEO</objType>"
       "<objTB>25</objTB><objRev>1</objRev><objDur>250</objDur><status>NEW</status>"
       "<objAir>READY</objAir><createdBy>NCS</createdBy><created>2030-01-01T20:00:00</created>"
       "<changedBy>NCS</changedBy><changed>2030-01-01T20:00:00</changed></mosObj>",
       Expect::MosAck},
      {"mosListAll from the NRCS", 1, false, "<mosListAll/>", Expect::MosAck},
      {"unknown message on the lower port", 0, false, "<mosConformanceUnknown/>", Expect::MosNack},
      {"unknown message on the upper port", 0, true,
       "<roConformanceUnknown>" + Ro("") + "</roConformanceUnknown>", Expect::Nack},
      // Whole (framed by <mos>...</mos>) and not XML: refused at once, with the messageID,
      // not left for the NRCS to time out on.
      {"not well-formed XML on the lower port", 0, false, "<mosReqObj><objID>X</mosReqObj>",
       Expect::MosNack},
      {"not well-formed XML on the upper port", 0, true, "<roReq><roID>$RO</roReq>", Expect::Nack},
      {"roDelete of what an earlier run left", 2, true, "<roDelete>" + Ro("") + "</roDelete>",
       Expect::Any},
      {"roCreate (comma before milliseconds, self-closing elements)", 2, true,
       "<roCreate>" +
           Ro("<roSlug>Conformance</roSlug><roEdStart>2030-01-01T20:00:00,000</roEdStart>"
              "<roEdDur/><roTrigger>MANUAL</roTrigger>" +
              Story("A", {"A1", "A2"}) + Story("B", {"B1"}) + Story("C", {"C1"}) + Story("D")) +
           "</roCreate>",
       Expect::Ok, "A:A1,A2 B:B1 C:C1 D:"},
      {"roReq", 2, true, "<roReq>" + Ro("") + "</roReq>", Expect::RoList},
      {"roStoryAppend", 2, true, "<roStoryAppend>" + Ro(Story("E")) + "</roStoryAppend>",
       Expect::Ok, "A:A1,A2 B:B1 C:C1 D: E:"},
      {"roStoryInsert", 2, true,
       "<roStoryInsert>" + Ro("<storyID>B</storyID>" + Story("N")) + "</roStoryInsert>", Expect::Ok,
       "A:A1,A2 N: B:B1 C:C1 D: E:"},
      {"roStoryReplace", 2, true,
       "<roStoryReplace>" + Ro("<storyID>N</storyID>" + Story("N2", {"N21"})) + "</roStoryReplace>",
       Expect::Ok, "A:A1,A2 N2:N21 B:B1 C:C1 D: E:"},
      {"roStoryMove", 2, true,
       "<roStoryMove>" + Ro("<storyID>E</storyID><storyID>A</storyID>") + "</roStoryMove>",
       Expect::Ok, "E: A:A1,A2 N2:N21 B:B1 C:C1 D:"},
      {"roStoryMove to the bottom", 2, true,
       "<roStoryMove>" + Ro("<storyID>E</storyID><storyID/>") + "</roStoryMove>", Expect::Ok,
       "A:A1,A2 N2:N21 B:B1 C:C1 D: E:"},
      {"roStorySwap", 2, true,
       "<roStorySwap>" + Ro("<storyID>A</storyID><storyID>D</storyID>") + "</roStorySwap>",
       Expect::Ok, "D: N2:N21 B:B1 C:C1 A:A1,A2 E:"},
      {"roStoryMoveMultiple", 2, true,
       "<roStoryMoveMultiple>" +
           Ro("<storyID>B</storyID><storyID>C</storyID><storyID>D</storyID>") +
           "</roStoryMoveMultiple>",
       Expect::Ok, "B:B1 C:C1 D: N2:N21 A:A1,A2 E:"},
      {"roStoryMoveMultiple to the bottom", 2, true,
       "<roStoryMoveMultiple>" + Ro("<storyID>D</storyID><storyID></storyID>") +
           "</roStoryMoveMultiple>",
       Expect::Ok, "B:B1 C:C1 N2:N21 A:A1,A2 E: D:"},
      {"roStoryDelete", 2, true,
       "<roStoryDelete>" + Ro("<storyID>N2</storyID>") + "</roStoryDelete>", Expect::Ok,
       "B:B1 C:C1 A:A1,A2 E: D:"},
      {"roItemInsert", 2, true,
       "<roItemInsert>" + Ro("<storyID>A</storyID><itemID>A2</itemID>" + Item("X")) +
           "</roItemInsert>",
       Expect::Ok, "B:B1 C:C1 A:A1,X,A2 E: D:"},
      {"roItemInsert at the end of the story", 2, true,
       "<roItemInsert>" + Ro("<storyID>B</storyID><itemID/>" + Item("Y")) + "</roItemInsert>",
       Expect::Ok, "B:B1,Y C:C1 A:A1,X,A2 E: D:"},
      {"roItemReplace", 2, true,
       "<roItemReplace>" + Ro("<storyID>A</storyID><itemID>X</itemID>" + Item("X2")) +
           "</roItemReplace>",
       Expect::Ok, "B:B1,Y C:C1 A:A1,X2,A2 E: D:"},
      {"roItemMoveMultiple", 2, true,
       "<roItemMoveMultiple>" + Ro("<storyID>A</storyID><itemID>A2</itemID><itemID>A1</itemID>") +
           "</roItemMoveMultiple>",
       Expect::Ok, "B:B1,Y C:C1 A:A2,A1,X2 E: D:"},
      {"roItemMoveMultiple to the bottom", 2, true,
       "<roItemMoveMultiple>" + Ro("<storyID>A</storyID><itemID>A2</itemID><itemID/>") +
           "</roItemMoveMultiple>",
       Expect::Ok, "B:B1,Y C:C1 A:A1,X2,A2 E: D:"},
      {"roItemDelete", 2, true,
       "<roItemDelete>" + Ro("<storyID>A</storyID><itemID>X2</itemID>") + "</roItemDelete>",
       Expect::Ok, "B:B1,Y C:C1 A:A1,A2 E: D:"},
      {"roElementAction INSERT of a story", 2, true,
       "<roElementAction operation=\"INSERT\">" +
           Ro("<element_target><storyID>B</storyID></element_target><element_source>" + Story("F") +
              "</element_source>") +
           "</roElementAction>",
       Expect::Ok, "F: B:B1,Y C:C1 A:A1,A2 E: D:"},
      {"roElementAction REPLACE of a story", 2, true,
       "<roElementAction operation=\"REPLACE\">" +
           Ro("<element_target><storyID>F</storyID></element_target><element_source>" +
              Story("G", {"G1"}) + "</element_source>") +
           "</roElementAction>",
       Expect::Ok, "G:G1 B:B1,Y C:C1 A:A1,A2 E: D:"},
      {"roElementAction MOVE of a story to the bottom", 2, true,
       moveAction + Ro("<element_source><storyID>G</storyID></element_source>") +
           "</roElementAction>",
       Expect::Ok, "B:B1,Y C:C1 A:A1,A2 E: D: G:G1"},
      {"roElementAction SWAP of stories", 2, true,
       "<roElementAction operation=\"SWAP\">" +
           Ro("<element_source><storyID>A</storyID><storyID>B</storyID></element_source>") +
           "</roElementAction>",
       Expect::Ok, "A:A1,A2 C:C1 B:B1,Y E: D: G:G1"},
      {"roElementAction INSERT of an item", 2, true,
       "<roElementAction operation=\"INSERT\">" +
           Ro("<element_target><storyID>C</storyID><itemID>C1</itemID></element_target>"
              "<element_source>" +
              Item("Z") + "</element_source>") +
           "</roElementAction>",
       Expect::Ok, "A:A1,A2 C:Z,C1 B:B1,Y E: D: G:G1"},
      {"roElementAction MOVE of an item", 2, true,
       moveAction +
           Ro("<element_target><storyID>C</storyID><itemID>Z</itemID></element_target>"
              "<element_source><itemID>C1</itemID></element_source>") +
           "</roElementAction>",
       Expect::Ok, "A:A1,A2 C:C1,Z B:B1,Y E: D: G:G1"},
      {"roElementAction DELETE of a story", 2, true,
       "<roElementAction operation=\"DELETE\">" +
           Ro("<element_source><storyID>G</storyID></element_source>") + "</roElementAction>",
       Expect::Ok, "A:A1,A2 C:C1,Z B:B1,Y E: D:"},
      {"roMetadataReplace", 2, true,
       "<roMetadataReplace>" +
           Ro("<roSlug>Conformance changed</roSlug><roEdStart>2030-01-01T21:00:00.000"
              "</roEdStart>") +
           "</roMetadataReplace>",
       Expect::Ok, "A:A1,A2 C:C1,Z B:B1,Y E: D:", "<roSlug>Conformance changed</roSlug>"},
      {"roReadyToAir", 2, true, "<roReadyToAir>" + Ro("<roAir>READY</roAir>") + "</roReadyToAir>",
       Expect::Ok},
      {"roElementStat from the NRCS", 2, true,
       "<roElementStat element=\"ITEM\">" +
           Ro("<storyID>A</storyID><itemID>A1</itemID><objID>OBJ-A1</objID><status>PLAY"
              "</status><time>2030-01-01T20:00:00,000Z</time>") +
           "</roElementStat>",
       Expect::Ok},
      {"roStoryInsert before a story that is not there is refused", 2, true,
       "<roStoryInsert>" + Ro("<storyID>NOPE</storyID>" + Story("H")) + "</roStoryInsert>",
       Expect::Nack, "A:A1,A2 C:C1,Z B:B1,Y E: D:"},
      {"roStoryAppend of a storyID already there is refused", 2, true,
       "<roStoryAppend>" + Ro(Story("A")) + "</roStoryAppend>", Expect::Nack,
       "A:A1,A2 C:C1,Z B:B1,Y E: D:"},
      {"roItemDelete in a running order that is not there is refused", 2, true,
       "<roItemDelete><roID>$RO-NOPE</roID><storyID>A</storyID><itemID>A1</itemID>"
       "</roItemDelete>",
       Expect::Nack},
      {"roReq of a running order that is not there is refused", 2, true,
       "<roReq><roID>$RO-NOPE</roID></roReq>", Expect::Nack},
      {"roReqAll", 4, true, "<roReqAll/>", Expect::RoListAll},
      {"roStorySend", 4, true,
       "<roStorySend>" +
           Ro("<storyID>A</storyID><storySlug>A</storySlug><storyNum>1</storyNum><storyBody>"
              "<p>Conformance text.</p></storyBody>") +
           "</roStorySend>",
       Expect::Ok},
      {"roCtrl SIGNAL", 5, true, "<roCtrl>" + Ro("<command>SIGNAL</command>") + "</roCtrl>",
       Expect::Ok},
      {"roCtrl of a running order that is not there is refused", 5, true,
       "<roCtrl><roID>$RO-NOPE</roID><command>SIGNAL</command></roCtrl>", Expect::Nack},
      {"roReplace", 2, true, "<roReplace>" + Ro(Story("X", {"X1"})) + "</roReplace>", Expect::Ok,
       "X:X1"},
      {"roDelete", 2, true, "<roDelete>" + Ro("") + "</roDelete>", Expect::Ok},
      {"roReq after roDelete is refused", 2, true, "<roReq>" + Ro("") + "</roReq>", Expect::Nack},
      // Placeholders and search: an object made before its media, found, changed, deleted.
      {"mosObjCreate makes a placeholder", 3, false,
       "<mosObjCreate><objSlug>Conformance $RO</objSlug><objType>VIDEO</objType><objTB>25"
       "</objTB><objDur>250</objDur><createdBy>NCS</createdBy><description>Conformance"
       "</description></mosObjCreate>",
       Expect::Placeholder},
      {"mosReqObj of the placeholder", 3, false, "<mosReqObj><objID>$PH</objID></mosReqObj>",
       Expect::PlaceholderObj},
      {"mosObjCreate without objSlug is refused", 3, false,
       "<mosObjCreate><objType>VIDEO</objType></mosObjCreate>", Expect::MosNack},
      {"mosReqSearchableSchema on the query port", 3, false,
       "<mosReqSearchableSchema username=\"conformance\"/>", Expect::SearchSchema, "", "", false,
       false, true},
      {"mosReqObjList finds the placeholder by its slug", 3, false,
       "<mosReqObjList username=\"conformance\"><queryID>1</queryID><listReturnStart>1"
       "</listReturnStart><listReturnEnd>10</listReturnEnd><generalSearch>Conformance $RO"
       "</generalSearch><mosSchema>$SCHEMA</mosSchema></mosReqObjList>",
       Expect::ObjectList, "", "", false, false, true},
      {"mosReqObjList with its end before its start is refused", 3, false,
       "<mosReqObjList username=\"conformance\"><queryID>2</queryID><listReturnStart>5"
       "</listReturnStart><listReturnEnd>2</listReturnEnd></mosReqObjList>",
       Expect::MosNack, "", "", false, false, true},
      {"mosReqObjAction UPDATE of the placeholder", 3, false,
       "<mosReqObjAction operation=\"UPDATE\" objID=\"$PH\"><objSlug>Conformance $RO, changed"
       "</objSlug><objType>VIDEO</objType><objTB>25</objTB></mosReqObjAction>",
       Expect::MosAck},
      {"mosReqObjAction DELETE of the placeholder", 3, false,
       "<mosReqObjAction operation=\"DELETE\" objID=\"$PH\"/>", Expect::MosAck},
      {"mosReqObj of the deleted placeholder is refused", 3, false,
       "<mosReqObj><objID>$PH</objID></mosReqObj>", Expect::MosNack},
  };
}

void ReplaceAll(std::string& text, std::string_view what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

// One byte order's run against the device.
class Run {
 public:
  // objects: where the device's own object messages are heard (the NRCS's lower port), or
  // null when none is listened to.
  Run(const NrcsOptions& options, const std::string& roID, const char* label,
      NrcsSimulator* objects)
      : options_(options), roID_(roID), label_(label), nrcs_(options), objects_(objects) {}

  // Empty when the case passed, else why it failed.
  std::string Check(const Case& c) {
    auto answer = Send(c, c.body);
    // A device that has just started may still be looking through its media; it says so,
    // and is asked again (for at most a minute).
    for (int wait = 0; c.expect == Expect::MosListAll && answer && wait < 60 &&
                       answer->find("still being built") != std::string::npos;
         ++wait) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      answer = Send(c, c.body);
    }
    if (!answer) {
      return "no answer";
    }
    pugi::xml_document document;
    if (!document.load_string(answer->c_str())) {
      return "the answer is not well-formed XML";
    }
    if (std::string why = Expected(c, document, *answer); !why.empty()) {
      return why;
    }
    if (c.order[0] == '\0' && c.listed[0] == '\0') {
      return "";
    }
    return ReadBack(c);
  }

  const char* Label() const { return label_; }

 private:
  std::optional<std::string> Send(const Case& c, const std::string& body) {
    return Send(c.upper, body, !c.withoutMessageId, c.declaration, c.query);
  }
  std::optional<std::string> Send(bool upper, std::string body, bool withId, bool declaration,
                                  bool query = false) {
    ReplaceAll(body, "$RO", roID_);
    ReplaceAll(body, "$MOS", options_.mosID);
    ReplaceAll(body, "$OBJ", listedObject_.empty() ? "CONFORMANCE-NO-OBJECT" : listedObject_);
    ReplaceAll(body, "$PH", placeholder_.empty() ? "CONFORMANCE-NO-PLACEHOLDER" : placeholder_);
    ReplaceAll(body, "$SCHEMA", schema_);
    lastId_ = withId ? std::to_string(++messageID_) : "";
    const std::string message =
        std::string(declaration ? "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" : "") +
        "<mos><mosID>" + options_.mosID + "</mosID><ncsID>" + options_.ncsID + "</ncsID>" +
        (withId ? "<messageID>" + lastId_ + "</messageID>" : "") + body + "</mos>";
    return query ? nrcs_.Query(message) : nrcs_.Request(upper, message);
  }

  // The answer the case expects, with its elements in the protocol's order.
  std::string Expected(const Case& c, const pugi::xml_document& document, const std::string& text) {
    if (std::string why = ExpectedKind(c, document, text); !why.empty()) {
      return why;
    }
    if (std::string why = OrderProblem(BodyOf(document)); !why.empty()) {
      return why + ": " + Short(text);
    }
    return "";
  }

  std::string ExpectedKind(const Case& c, const pugi::xml_document& document,
                           const std::string& text) {
    const pugi::xml_node id = document.child("mos").child("messageID");
    if (c.withoutMessageId && id) {
      return "the answer has a messageID, the message had none";
    }
    if (!c.withoutMessageId && lastId_ != id.child_value()) {
      return "messageID " + std::string(id.child_value()) + " answers " + lastId_;
    }
    const pugi::xml_node body = BodyOf(document);
    const std::string name = body.name();
    const std::string status = body.child_value("roStatus");
    const auto objectIds = [](const pugi::xml_node& list) {
      std::vector<std::string> ids;
      for (pugi::xml_node o : list.child("list").children("mosObj")) {
        ids.emplace_back(o.child_value("objID"));
      }
      return ids;
    };
    switch (c.expect) {
      case Expect::Placeholder:
        placeholder_ = body.child_value("objID");
        return name == "mosAck" && std::string_view(body.child_value("status")) == "ACK" &&
                       !placeholder_.empty()
                   ? ""
                   : "expected mosAck ACK with the new objID, got " + Short(text);
      case Expect::PlaceholderObj:
        return name == "mosObj" && placeholder_ == body.child_value("objID") &&
                       std::string_view(body.child_value("objAir")) == "NOT READY"
                   ? ""
                   : "expected the mosObj of placeholder " + placeholder_ + ", NOT READY, got " +
                         Short(text);
      case Expect::SearchSchema:
        schema_ = body.child_value("mosSchema");
        return name == "mosListSearchableSchema" && !schema_.empty()
                   ? ""
                   : "expected mosListSearchableSchema with a mosSchema, got " + Short(text);
      case Expect::ObjectList: {
        const std::vector<std::string> ids = objectIds(body);
        return name == "mosObjList" && body.child("listReturnTotal") &&
                       std::find(ids.begin(), ids.end(), placeholder_) != ids.end()
                   ? ""
                   : "expected a mosObjList that lists " + placeholder_ + ", got " + Short(text);
      }
      case Expect::Any:
        return "";
      case Expect::Ok:
        return name == "roAck" && status == "OK" ? "" : "expected roAck OK, got " + Short(text);
      case Expect::Nack:
        return name == "roAck" && !status.empty() && status != "OK"
                   ? ""
                   : "expected a roAck that refuses, got " + Short(text);
      case Expect::MosNack:
        return name == "mosAck" && std::string_view(body.child_value("status")) == "NACK"
                   ? ""
                   : "expected mosAck NACK, got " + Short(text);
      case Expect::MosAck:
        return name == "mosAck" && std::string_view(body.child_value("status")) == "ACK"
                   ? ""
                   : "expected mosAck ACK, got " + Short(text);
      case Expect::MosListAll:
        return FollowingList(name, body, text);
      case Expect::MosObj:
        // With no object listed, the device must refuse the made-up objID.
        if (listedObject_.empty()) {
          return name == "mosAck" && std::string_view(body.child_value("status")) == "NACK"
                     ? ""
                     : "expected mosAck NACK for an object never listed, got " + Short(text);
        }
        return name == "mosObj" && listedObject_ == body.child_value("objID")
                   ? ""
                   : "expected the mosObj of " + listedObject_ + ", got " + Short(text);
      case Expect::Heartbeat:
        return name == "heartbeat" ? "" : "expected heartbeat, got " + Short(text);
      case Expect::MachInfo:
        return name == "listMachInfo" && body.child("mosRev") && body.child("supportedProfiles")
                   ? ""
                   : "expected listMachInfo with mosRev and supportedProfiles, got " + Short(text);
      case Expect::RoList:
        return name == "roList" && roID_ == body.child_value("roID")
                   ? ""
                   : "expected the roList of " + roID_ + ", got " + Short(text);
      case Expect::RoListAll:
        for (pugi::xml_node ro : body.children("ro")) {
          if (roID_ == ro.child_value("roID")) {
            return "";
          }
        }
        return "expected a roListAll that lists " + roID_ + ", got " + Short(text);
    }
    return "";
  }

  // mosAck ACK here, then a mosListAll that the device sends on its own connection to the
  // NRCS's lower port (when one is listened to); its first object is asked for by the next
  // case. Nothing more may come on this connection.
  std::string FollowingList(const std::string& name, const pugi::xml_node& body,
                            const std::string& text) {
    if (name != "mosAck" || std::string_view(body.child_value("status")) != "ACK") {
      return "expected mosAck ACK, got " + Short(text);
    }
    if (const auto extra = nrcs_.Next(false, 300)) {
      return "a message after the mosAck on the NRCS's connection: " + Short(*extra);
    }
    if (objects_ == nullptr) {
      return "";
    }
    // Object news (mosObj) may come on that connection at any time, before the list too.
    pugi::xml_document document;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      const auto message =
          left.count() > 0 ? objects_->NextObject(static_cast<int>(left.count())) : std::nullopt;
      if (!message) {
        return "no mosListAll on the NRCS's lower port after the mosAck";
      }
      if (document.load_string(message->c_str()) &&
          std::string_view(BodyOf(document).name()) == "mosListAll") {
        break;
      }
    }
    if (std::string why = OrderProblem(BodyOf(document)); !why.empty()) {
      return "the mosListAll: " + why;
    }
    listedObject_ = BodyOf(document).child("mosObj").child_value("objID");
    return "";
  }

  std::string ReadBack(const Case& c) {
    const auto list = Send(true, "<roReq><roID>$RO</roID></roReq>", true, false);
    pugi::xml_document document;
    if (!list || !document.load_string(list->c_str())) {
      return "no roList to read the running order back";
    }
    const pugi::xml_node roList = BodyOf(document);
    if (c.order[0] != '\0' && RunningOrderShape(roList) != c.order) {
      return "the running order reads \"" + RunningOrderShape(roList) + "\", expected \"" +
             c.order + "\"";
    }
    if (c.listed[0] != '\0' && list->find(c.listed) == std::string::npos) {
      return std::string("the roList lacks ") + c.listed;
    }
    return "";
  }

  static std::string Short(const std::string& text) {
    return text.size() > 200 ? text.substr(0, 200) + "..." : text;
  }

  NrcsOptions options_;
  std::string roID_;
  const char* label_;
  NrcsSimulator nrcs_;
  int messageID_ = 0;
  std::string lastId_;
  std::string listedObject_;  // the first objID of the device's mosListAll
  std::string placeholder_;   // the objID of the placeholder the device made
  std::string schema_;        // the schema the device searches
  NrcsSimulator* objects_;
};

}  // namespace

pugi::xml_node BodyOf(const pugi::xml_document& document) {
  for (pugi::xml_node child = document.child("mos").first_child(); child;
       child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (name != "mosID" && name != "ncsID" && name != "messageID") {
      return child;
    }
  }
  return {};
}

std::string RunningOrderShape(const pugi::xml_node& roList) {
  std::string order;
  for (pugi::xml_node s : roList.children("story")) {
    order += (order.empty() ? "" : " ") + std::string(s.child_value("storyID")) + ":";
    bool first = true;
    for (pugi::xml_node i : s.children("item")) {
      order += (first ? "" : ",") + std::string(i.child_value("itemID"));
      first = false;
    }
  }
  return order;
}

bool RunConformance(const NrcsOptions& given) {
  NrcsOptions options = given;
  options.print = false;
  options.noticePort = 0;
  // What the device claims decides which cases run.
  MosProfiles profiles;
  {
    NrcsSimulator probe(options);
    pugi::xml_document document;
    const auto answer =
        probe.Request(false, "<mos><mosID>" + options.mosID + "</mosID><ncsID>" + options.ncsID +
                                 "</ncsID><messageID>1</messageID><reqMachInfo/></mos>");
    if (!answer || !document.load_string(answer->c_str())) {
      std::printf("FAIL reqMachInfo: no listMachInfo from the device\n0 passed, 1 failed\n");
      return false;
    }
    profiles = ReadSupportedProfiles(document.child("mos").child("listMachInfo"));
  }
  std::printf("the device claims MOS profiles %s\n", FormatProfiles(profiles).c_str());
  // One listener for the device's own object connection through both runs: the device keeps
  // that connection.
  NrcsSimulator objects(options);
  if (!objects.ListenForObjects()) {
    return false;
  }
  int passed = 0;
  int failed = 0;
  for (const bool highFirst : {true, false}) {
    options.highByteFirst = highFirst;
    Run run(options, options.roID + (highFirst ? "-CONF-BE" : "-CONF-LE"),
            highFirst ? "high byte first" : "low byte first",
            options.objectPort != 0 ? &objects : nullptr);
    for (const Case& c : Cases()) {
      if (!profiles[static_cast<std::size_t>(c.profile)].value_or(false)) {
        continue;
      }
      const std::string why = run.Check(c);
      std::printf("%s profile %d, %s: %s%s%s\n", why.empty() ? "PASS" : "FAIL", c.profile,
                  run.Label(), c.name, why.empty() ? "" : ": ", why.c_str());
      ++(why.empty() ? passed : failed);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0;
}

}  // namespace vidra

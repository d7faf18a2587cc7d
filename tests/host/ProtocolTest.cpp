// MOS as newsroom systems speak it, over real sockets, family by family: the story and item
// messages of older NRCS, refusals that leave a running order untouched, metadata, times with
// a zone, messageIDs as written, the machine's claims and messages nobody handles.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "common/Text.h"
#include "host/Conformance.h"
#include "host/StatusView.h"
#include "mos/MachInfo.h"
#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

std::u16string Message(const std::string& messageID, const std::string& body) {
  const std::string id = messageID.empty() ? "" : "<messageID>" + messageID + "</messageID>";
  return Utf8ToUtf16("<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID>" + id + body + "</mos>");
}

// The body of the answer (what follows the envelope), or the whole text when it is no MOS.
std::string Body(const std::string& answer) {
  pugi::xml_document document;
  if (!document.load_string(answer.c_str())) {
    return answer;
  }
  for (pugi::xml_node child = document.child("mos").first_child(); child;
       child = child.next_sibling()) {
    const std::string_view name = child.name();
    if (name != "mosID" && name != "ncsID" && name != "messageID") {
      std::ostringstream out;
      child.print(out, "", pugi::format_raw | pugi::format_no_empty_element_tags);
      return out.str();
    }
  }
  return "";
}

class MosProtocol : public ServerTest {
 protected:
  explicit MosProtocol(std::string extra = "", std::chrono::seconds localOffset = 0s)
      : ServerTest({}, std::move(extra), ManualClock::Mode::Blocking, localOffset) {}
  void SetUp() override {
    InitAndStart();
    ASSERT_TRUE(upper.Connect(Upper()));
    ASSERT_TRUE(lower.Connect(Lower()));
  }
  // The whole answer to one message on the upper (or lower) port.
  std::string Exchange(const std::string& body, const std::string& messageID = "1",
                       bool onLower = false) {
    TestPeer& peer = onLower ? lower : upper;
    EXPECT_TRUE(peer.Send(Utf16Bytes(Message(messageID, body), true)));
    // Big messages take their time in the sanitizer builds; an answer ends the wait at once.
    return Utf16ToUtf8(peer.ReceiveMessage(true, 60s));
  }
  std::string Ask(const std::string& body) { return Body(Exchange(body)); }
  std::string Status(const std::string& body) {
    pugi::xml_document document;
    document.load_string(Ask(body).c_str());
    return document.child("roAck").child_value("roStatus");
  }
  // "A:A1,A2 B:B1" from the roList of the running order.
  std::string Order(const std::string& roID = "R") {
    pugi::xml_document document;
    document.load_string(Ask("<roReq><roID>" + roID + "</roID></roReq>").c_str());
    return RunningOrderShape(document.child("roList"));
  }
  static std::string Story(const std::string& id, const std::vector<std::string>& items = {}) {
    std::string text = "<story><storyID>" + id + "</storyID>";
    for (const auto& i : items) {
      text += Item(i);
    }
    return text + "</story>";
  }
  static std::string Item(const std::string& id) {
    return "<item><itemID>" + id + "</itemID><objID>O" + id + "</objID><mosID>VIDRA</mosID></item>";
  }
  void Create() {
    ASSERT_EQ(Status("<roCreate><roID>R</roID>" + Story("A", {"A1", "A2"}) + Story("B", {"B1"}) +
                     Story("C", {"C1"}) + "</roCreate>"),
              "OK");
  }

  TestPeer upper;
  TestPeer lower;
};

TEST_F(MosProtocol, StoryMessagesAreAppliedInPlace) {
  Create();
  EXPECT_EQ(
      Ask("<roStoryAppend><roID>R</roID>" + Story("D", {"D1"}) + Story("E") + "</roStoryAppend>"),
      "<roAck><roID>R</roID><roStatus>OK</roStatus><storyID>D</storyID><itemID>D1</itemID>"
      "<objID>OD1</objID><status>NEW</status>"
      "</roAck>")
      << "the answer lists the stories the edit touched";
  EXPECT_EQ(Order(), "A:A1,A2 B:B1 C:C1 D:D1 E:");
  EXPECT_EQ(Status("<roStoryInsert><roID>R</roID><storyID>B</storyID>" + Story("N", {"N1"}) +
                   "</roStoryInsert>"),
            "OK");
  EXPECT_EQ(Order(), "A:A1,A2 N:N1 B:B1 C:C1 D:D1 E:");
  EXPECT_EQ(Status("<roStoryReplace><roID>R</roID><storyID>C</storyID>" + Story("C2") +
                   Story("C3", {"C31"}) + "</roStoryReplace>"),
            "OK");
  EXPECT_EQ(Order(), "A:A1,A2 N:N1 B:B1 C2: C3:C31 D:D1 E:");
  EXPECT_EQ(Status("<roStoryMove><roID>R</roID><storyID>N</storyID><storyID/></roStoryMove>"),
            "OK");
  EXPECT_EQ(Order(), "A:A1,A2 B:B1 C2: C3:C31 D:D1 E: N:N1") << "an empty target: the bottom";
  EXPECT_EQ(Status("<roStoryMove><roID>R</roID><storyID>E</storyID><storyID>A</storyID>"
                   "</roStoryMove>"),
            "OK");
  EXPECT_EQ(Order(), "E: A:A1,A2 B:B1 C2: C3:C31 D:D1 N:N1");
  EXPECT_EQ(Status("<roStoryMove><roID>R</roID><storyID>E</storyID></roStoryMove>"), "OK");
  EXPECT_EQ(Order(), "A:A1,A2 B:B1 C2: C3:C31 D:D1 N:N1 E:") << "no target at all: the bottom";
  EXPECT_EQ(Status("<roStorySwap><roID>R</roID><storyID>A</storyID><storyID>D</storyID>"
                   "</roStorySwap>"),
            "OK");
  EXPECT_EQ(Order(), "D:D1 B:B1 C2: C3:C31 A:A1,A2 N:N1 E:");
  EXPECT_EQ(Status("<roStoryMoveMultiple><roID>R</roID><storyID>N</storyID><storyID>E</storyID>"
                   "<storyID>B</storyID></roStoryMoveMultiple>"),
            "OK");
  EXPECT_EQ(Order(), "D:D1 N:N1 E: B:B1 C2: C3:C31 A:A1,A2");
  EXPECT_EQ(Status("<roStoryMoveMultiple><roID>R</roID><storyID>D</storyID><storyID>B</storyID>"
                   "<storyID></storyID></roStoryMoveMultiple>"),
            "OK");
  EXPECT_EQ(Order(), "N:N1 E: C2: C3:C31 A:A1,A2 D:D1 B:B1");
  EXPECT_EQ(Status("<roStoryDelete><roID>R</roID><storyID>C2</storyID><storyID>E</storyID>"
                   "<storyID>gone</storyID></roStoryDelete>"),
            "OK")
      << "a story already gone is no reason to refuse";
  EXPECT_EQ(Order(), "N:N1 C3:C31 A:A1,A2 D:D1 B:B1");
  EXPECT_EQ(log.CountOf("roStoryDelete"), 1u);
}

TEST_F(MosProtocol, ItemMessagesAreAppliedInsideTheirStory) {
  Create();
  EXPECT_EQ(Status("<roItemInsert><roID>R</roID><storyID>A</storyID><itemID>A2</itemID>" +
                   Item("X") + Item("Y") + "</roItemInsert>"),
            "OK");
  EXPECT_EQ(Order(), "A:A1,X,Y,A2 B:B1 C:C1");
  EXPECT_EQ(Status("<roItemInsert><roID>R</roID><storyID>B</storyID><itemID/>" + Item("Z") +
                   "</roItemInsert>"),
            "OK");
  EXPECT_EQ(Order(), "A:A1,X,Y,A2 B:B1,Z C:C1") << "an empty itemID: at the end";
  EXPECT_EQ(Status("<roItemReplace><roID>R</roID><storyID>A</storyID><itemID>X</itemID>" +
                   Item("P") + Item("Q") + "</roItemReplace>"),
            "OK");
  EXPECT_EQ(Order(), "A:A1,P,Q,Y,A2 B:B1,Z C:C1");
  EXPECT_EQ(Status("<roItemMoveMultiple><roID>R</roID><storyID>A</storyID><itemID>A2</itemID>"
                   "<itemID>Y</itemID><itemID>A1</itemID></roItemMoveMultiple>"),
            "OK");
  EXPECT_EQ(Order(), "A:A2,Y,A1,P,Q B:B1,Z C:C1");
  EXPECT_EQ(Status("<roItemMoveMultiple><roID>R</roID><storyID>A</storyID><itemID>A2</itemID>"
                   "<itemID></itemID></roItemMoveMultiple>"),
            "OK");
  EXPECT_EQ(Order(), "A:Y,A1,P,Q,A2 B:B1,Z C:C1");
  EXPECT_EQ(Status("<roItemDelete><roID>R</roID><storyID>A</storyID><itemID>P</itemID>"
                   "<itemID>Q</itemID></roItemDelete>"),
            "OK");
  EXPECT_EQ(Order(), "A:Y,A1,A2 B:B1,Z C:C1");
  EXPECT_EQ(Status("<mosItemReplace><roID>R</roID><storyID>B</storyID><item><itemID>Z</itemID>"
                   "<objID>NEWOBJ</objID><mosID>VIDRA</mosID></item></mosItemReplace>"),
            "OK");
  EXPECT_NE(Ask("<roReq><roID>R</roID></roReq>").find("<objID>NEWOBJ</objID>"), std::string::npos);
}

TEST_F(MosProtocol, RefusedEditsLeaveTheRunningOrderAsItWas) {
  Create();
  const std::string before = Ask("<roReq><roID>R</roID></roReq>");
  const std::pair<std::string, std::string> refused[] = {
      {"<roStoryAppend><roID>Q</roID>" + Story("N") + "</roStoryAppend>", "NACK unknown roID"},
      {"<roItemDelete><roID>Q</roID><storyID>A</storyID><itemID>A1</itemID></roItemDelete>",
       "NACK unknown roID"},
      {"<roStoryInsert><roID>R</roID><storyID>Z</storyID>" + Story("N") + "</roStoryInsert>",
       "NACK unknown storyID Z"},
      {"<roStoryAppend><roID>R</roID>" + Story("N") + Story("A") + "</roStoryAppend>",
       "NACK duplicate ID A"},
      {"<roStoryMove><roID>R</roID><storyID>Z</storyID><storyID>A</storyID></roStoryMove>",
       "NACK unknown storyID Z"},
      {"<roStoryMoveMultiple><roID>R</roID><storyID>A</storyID><storyID>Z</storyID>"
       "<storyID>B</storyID></roStoryMoveMultiple>",
       "NACK unknown storyID Z"},
      {"<roStoryMoveMultiple><roID>R</roID><storyID>A</storyID></roStoryMoveMultiple>",
       "NACK malformed: storyIDs to move, then the one they go before expected"},
      {"<roStorySwap><roID>R</roID><storyID>A</storyID></roStorySwap>",
       "NACK malformed: two storyIDs expected"},
      {"<roStoryReplace><roID>R</roID><storyID>A</storyID></roStoryReplace>",
       "NACK malformed: story missing"},
      {"<roItemInsert><roID>R</roID><storyID>A</storyID><itemID>none</itemID>" + Item("X") +
           "</roItemInsert>",
       "NACK unknown itemID none"},
      {"<roItemInsert><roID>R</roID><storyID>A</storyID>" + Item("B1") + Item("A1") +
           "</roItemInsert>",
       "NACK duplicate ID A1"},
      {"<roItemMoveMultiple><roID>R</roID><storyID>A</storyID><itemID>B1</itemID>"
       "<itemID>A1</itemID></roItemMoveMultiple>",
       "NACK unknown itemID B1"},
      {"<roItemReplace><roID>R</roID><storyID>C</storyID><itemID>C1</itemID><item><objID>x"
       "</objID></item></roItemReplace>",
       "NACK malformed: itemID missing"},
      {"<roItemDelete><roID>R</roID><storyID>A</storyID></roItemDelete>",
       "NACK malformed: itemID missing"},
      {"<roElementAction operation=\"INSERT\"><roID>R</roID><element_target><storyID>A"
       "</storyID></element_target><element_source>" +
           Story("S") + Item("I") + "</element_source></roElementAction>",
       "NACK malformed: both stories and items"},
      {"<roMetadataReplace><roSlug>x</roSlug></roMetadataReplace>", "NACK malformed: roID missing"},
      {"<roCreate><roSlug>no ID</roSlug>" + Story("N") + "</roCreate>",
       "NACK malformed: roID missing"},
      {"<roCreate><roID> </roID>" + Story("N") + "</roCreate>", "NACK malformed: roID missing"},
      {"<roReplace><roSlug>no ID</roSlug>" + Story("N") + "</roReplace>",
       "NACK malformed: roID missing"},
      {"<roReadyToAir><roID>R</roID><roAir>MAYBE</roAir></roReadyToAir>",
       "NACK malformed: roAir MAYBE"},
  };
  for (const auto& [body, status] : refused) {
    EXPECT_EQ(Status(body), status) << body;
  }
  EXPECT_EQ(Ask("<roReq><roID>R</roID></roReq>"), before);
  EXPECT_LT(Control().Playout()->Store(0).FindRo(MosText("")), 0)
      << "a running order without roID is not stored";
  EXPECT_NE(Ask("<heartbeat/>").find("<heartbeat>"), std::string::npos)
      << "the connection serves on";
}

TEST_F(MosProtocol, UnknownRunningOrdersAreNackedByEveryMessage) {
  for (const std::string body :
       {"<roReq><roID>Q</roID></roReq>", "<roDelete><roID>Q</roID></roDelete>",
        "<roMetadataReplace><roID>Q</roID><roSlug>s</roSlug></roMetadataReplace>",
        "<roCtrl><roID>Q</roID><command>STOP</command></roCtrl>",
        "<roElementAction operation=\"DELETE\"><roID>Q</roID><element_source><storyID>A"
        "</storyID></element_source></roElementAction>",
        "<roStoryDelete><roID>Q</roID><storyID>A</storyID></roStoryDelete>",
        "<roReadyToAir><roID>Q</roID><roAir>READY</roAir></roReadyToAir>",
        "<roStorySend><roID>Q</roID><storyID>A</storyID><storyBody/></roStorySend>",
        "<roElementStat element=\"RO\"><roID>Q</roID><status>PLAY</status></roElementStat>"}) {
    EXPECT_EQ(Ask(body), "<roAck><roID>Q</roID><roStatus>NACK unknown roID</roStatus></roAck>")
        << body;
  }
}

TEST_F(MosProtocol, MessageIdsAreEchoedAsWrittenOnBothPorts) {
  for (const bool onLower : {false, true}) {
    for (const std::string id : {"4711", "0x1F", "a-7"}) {
      EXPECT_NE(Exchange("<heartbeat/>", id, onLower).find("<messageID>" + id + "</messageID>"),
                std::string::npos)
          << id;
    }
    const std::string answer = Exchange("<heartbeat/>", "", onLower);
    EXPECT_EQ(answer.find("messageID"), std::string::npos) << "none asked, none answered";
    EXPECT_NE(answer.find("<heartbeat>"), std::string::npos);
  }
  EXPECT_EQ(Exchange("<roReq><roID>Q</roID></roReq>", "").find("messageID"), std::string::npos);
}

TEST_F(MosProtocol, UnknownMessagesAreNackedInTheFormOfTheirPort) {
  EXPECT_EQ(Body(Exchange("<roFuture><roID>R</roID></roFuture>")),
            "<roAck><roID>R</roID><roStatus>NACK not supported: roFuture</roStatus></roAck>");
  EXPECT_EQ(Body(Exchange("<mosFuture/>", "2", true)),
            "<mosAck><objID></objID><objRev>0</objRev><status>NACK</status><statusDescription>"
            "not supported: mosFuture</statusDescription></mosAck>");
  EXPECT_EQ(Body(Exchange("<mosObjCreate/>", "3", true)),
            "<mosAck><objID></objID><objRev>0</objRev><status>NACK</status><statusDescription>"
            "malformed: objSlug missing</statusDescription></mosAck>");
  EXPECT_EQ(Body(Exchange("<mosObjCreate><objSlug>Fire</objSlug></mosObjCreate>", "4", true)),
            "<mosAck><objID></objID><objRev>0</objRev><status>NACK</status><statusDescription>"
            "not supported: the server has no media folder</statusDescription></mosAck>");
  EXPECT_EQ(log.CountOf("VIDRA - unknown MOS message roFuture is answered NACK"), 1u);
  EXPECT_EQ(log.CountOf("VIDRA - unknown MOS message mosFuture is answered NACK"), 1u);
}

TEST_F(MosProtocol, MachInfoClaimsOnlyWhatIsHandled) {
  pugi::xml_document document;
  ASSERT_TRUE(document.load_string(Exchange("<reqMachInfo/>", "5", true).c_str()));
  const pugi::xml_node info = document.child("mos").child("listMachInfo");
  EXPECT_STREQ(info.child_value("mosRev"), "2.8.5");
  EXPECT_STREQ(info.child_value("time"), "2027-01-15T08:00:00");
  EXPECT_EQ(FormatProfiles(ReadSupportedProfiles(info)), "0 1 2 3 4 5");
  EXPECT_STREQ(document.child("mos").child_value("messageID"), "5");
}

TEST_F(MosProtocol, MetadataIsKeptWhereItCameAndWrittenBack) {
  const std::string deep = [] {
    std::string open;
    std::string close;
    for (int n = 0; n < 5000; ++n) {
      open += "<d>";
      close += "</d>";
    }
    return open + "bottom" + close;
  }();
  const std::string itemMeta =
      "<mosExternalMetadata><mosScope>PLAYLIST</mosScope><mosSchema>"
      "http://vendor/item</mosSchema><mosPayload><clip in=\"3\"><cut a="
      "\"&amp;\">x</cut></clip></mosPayload></mosExternalMetadata>";
  const std::string bigMeta = "<mosExternalMetadata><mosSchema>big</mosSchema><mosPayload>" +
                              std::string(1 << 20, 'b') + "</mosPayload></mosExternalMetadata>";
  const std::string deepMeta = "<mosExternalMetadata><mosSchema>deep</mosSchema><mosPayload>" +
                               deep + "</mosPayload></mosExternalMetadata>";
  const std::string ro =
      "<roID>M</roID><roSlug>s</roSlug>" + bigMeta + "<story><storyID>S</storyID>" + deepMeta +
      "<item><itemID>I</itemID><objID>O</objID><mosID>VIDRA</mosID>" + itemMeta + "</item></story>";
  EXPECT_EQ(Status("<roCreate>" + ro + "<unknown>kept out</unknown></roCreate>"), "OK");
  const std::string listed = Ask("<roReq><roID>M</roID></roReq>");
  EXPECT_TRUE(listed == "<roList>" + ro + "</roList>")
      << "roList of " << listed.size() << " characters starts " << listed.substr(0, 200);

  // roMetadataReplace: a block with the same mosSchema takes the old one's place, a new
  // schema is added, and absent fields stay.
  EXPECT_EQ(Status("<roMetadataReplace><roID>M</roID><roSlug>t</roSlug><roChannel>B</roChannel>"
                   "<mosExternalMetadata><mosSchema>big</mosSchema><mosPayload>small</mosPayload>"
                   "</mosExternalMetadata><mosExternalMetadata><mosSchema>new</mosSchema>"
                   "</mosExternalMetadata></roMetadataReplace>"),
            "OK");
  const std::string list = Ask("<roReq><roID>M</roID></roReq>");
  EXPECT_EQ(list.rfind("<roList><roID>M</roID><roSlug>t</roSlug><roChannel>B</roChannel>"
                       "<mosExternalMetadata><mosSchema>big</mosSchema><mosPayload>small"
                       "</mosPayload></mosExternalMetadata><mosExternalMetadata><mosSchema>new"
                       "</mosSchema></mosExternalMetadata><story>",
                       0),
            0u)
      << list.substr(0, 300);
}

TEST_F(MosProtocol, ReadyToAirStoryTextAndTheNrcsViewAreKept) {
  Create();
  EXPECT_EQ(Status("<roReadyToAir><roID>R</roID><roAir>READY</roAir></roReadyToAir>"), "OK");
  EXPECT_EQ(Status("<roStorySend><roID>R</roID><storyID>B</storyID><storySlug>b</storySlug>"
                   "<storyBody><storyPresenter>Ann</storyPresenter><p>Good evening.</p>"
                   "<storyItem><itemID>B1</itemID></storyItem><p>More &amp; more.</p>"
                   "</storyBody></roStorySend>"),
            "OK");
  EXPECT_EQ(Status("<roStorySend><roID>R</roID><storyID>Z</storyID><storyBody/></roStorySend>"),
            "NACK unknown storyID Z");
  EXPECT_EQ(Status("<roElementStat element=\"ITEM\"><roID>R</roID><storyID>A</storyID><itemID>A2"
                   "</itemID><objID>OA2</objID><status>PLAY</status><time>2027-01-15T08:00:05"
                   "</time></roElementStat>"),
            "OK");
  EXPECT_EQ(Status("<roElementStat element=\"STORY\"><roID>R</roID><storyID>C</storyID><status>"
                   "STOP</status><time>2027-01-15T08:01:00Z</time></roElementStat>"),
            "OK");
  EXPECT_EQ(Status("<roElementStat element=\"ITEM\"><roID>R</roID><storyID>A</storyID><itemID>"
                   "Q</itemID><status>PLAY</status></roElementStat>"),
            "NACK unknown itemID Q");
  EXPECT_EQ(Ask("<roReq><roID>R</roID></roReq>").find("Good evening"), std::string::npos)
      << "the story text is not part of roList";

  const nlohmann::json view = ChannelsView(Control());
  const nlohmann::json& r = view["channels"][0]["runningOrders"][0];
  EXPECT_EQ(r["readyToAir"], "READY");
  EXPECT_EQ(r["stories"][1]["storyBody"], "Ann\nGood evening.\nMore & more.");
  EXPECT_EQ(r["stories"][0]["items"][1]["nrcs"]["status"], "PLAY");
  EXPECT_EQ(r["stories"][0]["items"][1]["nrcs"]["time"], "2027-01-15T08:00:05.000+00:00");
  EXPECT_EQ(r["stories"][2]["nrcs"]["status"], "STOP");
  EXPECT_EQ(r["stories"][0]["items"][0]["nrcs"], nullptr);
}

TEST_F(MosProtocol, TenThousandStoriesInOneAppend) {
  Create();
  std::string stories;
  for (int n = 0; n < 10000; ++n) {
    stories += Story("N" + std::to_string(n), {"I"});
  }
  const std::string answer = Ask("<roStoryAppend><roID>R</roID>" + stories + "</roStoryAppend>");
  EXPECT_EQ(answer.rfind("<roAck><roID>R</roID><roStatus>OK</roStatus><storyID>N0</storyID>", 0),
            0u);
  const auto stored = Control().Playout()->Store(0).GetRo("R");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->stories.size(), 10003u);
}

// TIMED starts, on a clock that moves only when the test moves it.
class Timed : public MosProtocol {
 protected:
  explicit Timed(std::chrono::seconds localOffset = 0s)
      : MosProtocol("[VIDRAServer]\nPath = " VIDRA_SOURCE_DATA "/media/\n", localOffset) {}
  std::string Clip(const std::string& roID, const std::string& start) {
    return "<roCreate><roID>" + roID + "</roID><roEdStart>" + start +
           "</roEdStart><roTrigger>TIMED</roTrigger><story><storyID>S</storyID><item><itemID>I"
           "</itemID><objID>O</objID><mosID>VIDRA</mosID><objPaths><objPath>opener.wav</objPath>"
           "</objPaths></item></story></roCreate>";
  }
  const item& ClipItem(const std::string& roID) {
    item_ = Control().Playout()->Store(0).GetRo(roID);
    return item_->stories[0].items[0];
  }
  // Local time as the station writes it, seconds after the start of the test.
  std::string Local(int seconds) const {
    return FormatFileTime(clock->LocalNow() - (clock->UtcNow() - kTestStart) +
                              static_cast<FileTime>(seconds) * kTicksPerSecond,
                          false);
  }
  static FileTime At(int seconds) {
    return kTestStart + static_cast<FileTime>(seconds) * kTicksPerSecond;
  }

  std::shared_ptr<ro> item_;
};

TEST_F(Timed, MetadataReplaceMovesATimedStartEarlierAndLater) {
  EXPECT_EQ(Status(Clip("R", Local(60))), "OK");
  EXPECT_EQ(Status(Clip("L", Local(90))), "OK");
  RunClockTo(At(5));
  ASSERT_EQ(ClipItem("R").state, READY) << "checked";
  EXPECT_EQ(Status("<roMetadataReplace><roID>R</roID><roSlug>sooner</roSlug><roEdStart>" +
                   Local(30) + "</roEdStart></roMetadataReplace>"),
            "OK");
  EXPECT_EQ(Status("<roMetadataReplace><roID>L</roID><roSlug>later</roSlug><roEdStart>" +
                   Local(120) + "</roEdStart></roMetadataReplace>"),
            "OK");
  RunClockTo(At(28));
  EXPECT_EQ(ClipItem("R").state, READY) << "not yet";
  RunClockTo(At(31));  // the clip lasts 2 s: still on air
  EXPECT_EQ(ClipItem("R").state, PLAY);
  EXPECT_EQ(ClipItem("R").stateTime, clock->LocalNow() - (clock->UtcNow() - At(30)))
      << "on the new time exactly";
  RunClockTo(At(100));
  EXPECT_EQ(ClipItem("L").state, READY) << "the old time passed without a start";
  RunClockTo(At(121));
  EXPECT_EQ(ClipItem("L").state, PLAY);
  EXPECT_EQ(ClipItem("L").stateTime, clock->LocalNow() - (clock->UtcNow() - At(120)));
}

// The station's zone (an hour east, or five west, of UTC), set before the server exists and
// put back after it is gone.
struct StationZone {
  ScopedTimeZone zone{::testing::WithParamInterface<int>::GetParam() > 0 ? "<+01>-1" : "<-05>5"};
};

// A start written with a zone plays at its instant, whatever the station's own zone.
class ZonedStart : public StationZone, public Timed, public ::testing::WithParamInterface<int> {
 protected:
  ZonedStart() : Timed(std::chrono::hours(GetParam())) {}
};

TEST_P(ZonedStart, PlaysAtItsInstant) {
  // The same instant, 40 s after the start, written in UTC and three hours east of it.
  EXPECT_EQ(Status(Clip("U", FormatFileTime(At(40), true))), "OK");
  EXPECT_EQ(
      Status(Clip("E", FormatFileTime(At(70) + 3 * 3600 * kTicksPerSecond, false) + "+03:00")),
      "OK");
  RunClockTo(At(38));
  EXPECT_EQ(ClipItem("U").state, READY);
  RunClockTo(At(41));
  EXPECT_EQ(ClipItem("U").state, PLAY);
  EXPECT_EQ(ClipItem("U").stateTime, clock->LocalNow() - (clock->UtcNow() - At(40)));
  RunClockTo(At(68));
  EXPECT_EQ(ClipItem("E").state, READY);
  RunClockTo(At(71));
  EXPECT_EQ(ClipItem("E").state, PLAY);
  EXPECT_EQ(ClipItem("E").stateTime, clock->LocalNow() - (clock->UtcNow() - At(70)));
}

INSTANTIATE_TEST_SUITE_P(EastAndWest, ZonedStart, ::testing::Values(1, -5));

}  // namespace
}  // namespace vidra::test

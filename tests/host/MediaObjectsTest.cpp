// The media folder as the NRCS sees it, over real sockets with real files: the objects it
// asks for, lists and is told of on its own lower port, items that play a clip sent a
// moment ago or named only by its objID, media that comes late, and the readiness sheet.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <filesystem>

#include "common/Text.h"
#include "host/Conformance.h"
#include "host/StatusView.h"
#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::u16string Message(const std::string& messageID, const std::string& body) {
  return Utf8ToUtf16("<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>" + messageID +
                     "</messageID>" + body + "</mos>");
}

pugi::xml_node Body(pugi::xml_document& document, const std::u16string& text) {
  document.load_string(Utf16ToUtf8(text).c_str());
  return BodyOf(document);
}

// The NRCS's own ports, listening before the server reads its settings, and the media
// folder with a clip of two seconds and a sound of four.
struct NrcsSide {
  NrcsSide() {
    media.Write("news/two.wav", WavBytes(2.0));
    media.Write("four.wav", WavBytes(4.0));
  }
  TestListener lowerPort;
  TestListener upperPort;
  TempDir media;
};

class MediaObjects : public NrcsSide, public ServerTest {
 protected:
  MediaObjects()
      : ServerTest({}, "NrcsLowerPort = " + std::to_string(lowerPort.Port()) +
                           "\nNrcsUpperPort = " + std::to_string(upperPort.Port()) +
                           "\n[VIDRAServer]\nPath = " + media.Path() +
                           "/\n[State]\nResyncOnConnect = no\n") {}
  ~MediaObjects() override { control_.reset(); }  // while the clock still runs
  void SetUp() override {
    InitAndStart();
    ASSERT_TRUE(WaitUntil([&] {
      const auto state = StateView(Control());
      return state["media"].is_object() && state["media"]["firstScanComplete"] == true;
    }));
    ASSERT_TRUE(lower.Connect(Lower()));
    ASSERT_TRUE(upper.Connect(Upper()));
  }
  // Reads notices, acknowledging each, until one holds part; false when none did.
  bool NoticeWith(TestPeer& notices, const std::u16string& part) {
    for (int k = 0; k < 8; ++k) {
      const std::u16string notice = notices.ReceiveMessage(true);
      pugi::xml_document document;
      document.load_string(Utf16ToUtf8(notice).c_str());
      const std::string id = document.child("mos").child_value("messageID");
      if (id.empty()) {
        return false;
      }
      EXPECT_TRUE(notices.Send(
          Utf16Bytes(Message(id, "<roAck><roID>R</roID><roStatus>OK</roStatus></roAck>"), true)));
      if (notice.find(part) != std::u16string::npos) {
        return true;
      }
    }
    return false;
  }
  std::u16string Ask(TestPeer& peer, const std::string& body) {
    EXPECT_TRUE(peer.Send(Utf16Bytes(Message(std::to_string(++messageID), body), true)));
    return peer.ReceiveMessage(true);
  }
  bool CheckIdle() {
    return WaitUntil([&] { return StateView(Control())["media"]["checkIdle"] == true; });
  }
  std::string Path(const std::string& relative) { return fs::path(media.Path()) / relative; }

  ClockPump pump{*clock};
  TestPeer lower;
  TestPeer upper;
  int messageID = 100;
};

TEST_F(MediaObjects, TheNrcsAsksForObjectsAndListsThem) {
  pugi::xml_document document;
  pugi::xml_node obj =
      Body(document, Ask(lower, "<mosReqObj><objID>news/two.wav</objID></mosReqObj>"));
  ASSERT_STREQ(obj.name(), "mosObj");
  EXPECT_STREQ(obj.child_value("objID"), "news/two.wav");
  EXPECT_STREQ(obj.child_value("objSlug"), "two");
  EXPECT_STREQ(obj.child_value("objType"), "AUDIO");
  EXPECT_STREQ(obj.child_value("objTB"), "25");
  EXPECT_STREQ(obj.child_value("objDur"), "50");
  EXPECT_STREQ(obj.child_value("status"), "READY");
  EXPECT_EQ(obj.child("objPaths").child_value("objPath"), Path("news/two.wav"));
  EXPECT_NE(std::string(obj.child_value("created")).size(), 0u);
  // The order the protocol gives its elements.
  std::vector<std::string> names;
  for (pugi::xml_node child : obj.children()) {
    names.emplace_back(child.name());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"objID", "objSlug", "objType", "objTB", "objRev",
                                             "objDur", "status", "objAir", "objPaths", "createdBy",
                                             "created", "changedBy", "changed", "description"}));

  // An objID of 10,000 characters: refused, its echo cut to what an objID may be.
  const pugi::xml_node nack =
      Body(document,
           Ask(lower, "<mosReqObj><objID>" + std::string(10'000, 'q') + "</objID></mosReqObj>"));
  ASSERT_STREQ(nack.name(), "mosAck");
  EXPECT_STREQ(nack.child_value("status"), "NACK");
  EXPECT_EQ(std::string(nack.child_value("objID")), std::string(128, 'q'));
  EXPECT_STREQ(nack.child_value("statusDescription"), "unknown objID");

  // pause 0: only the mosAck on this connection; the list goes on the server's own.
  const pugi::xml_node all = Body(document, Ask(lower, "<mosReqAll><pause>0</pause></mosReqAll>"));
  EXPECT_STREQ(all.child_value("status"), "ACK");
  EXPECT_STREQ(all.child_value("statusDescription"), "2 objects follow in one mosListAll");

  const pugi::xml_node bad =
      Body(document, Ask(lower, "<mosReqAll><pause>soon</pause></mosReqAll>"));
  EXPECT_STREQ(bad.child_value("status"), "NACK");
  // The NRCS's own objects are acknowledged with the object's objRev and every element
  // of a mosAck.
  pugi::xml_node theirs =
      Body(document, Ask(lower, "<mosObj><objID>N1</objID><objRev>7</objRev></mosObj>"));
  EXPECT_STREQ(theirs.child_value("status"), "ACK");
  EXPECT_STREQ(theirs.child_value("objID"), "N1");
  EXPECT_STREQ(theirs.child_value("objRev"), "7");
  EXPECT_TRUE(theirs.child("statusDescription"));
  theirs = Body(document, Ask(lower,
                              "<mosListAll><mosObj><objID>N2</objID><objRev>3</objRev>"
                              "</mosObj></mosListAll>"));
  EXPECT_STREQ(theirs.child_value("status"), "ACK");
  EXPECT_STREQ(theirs.child_value("objRev"), "3");
  EXPECT_STREQ(Body(document, Ask(lower, "<mosListAll/>")).child_value("objRev"), "0");
}

TEST_F(MediaObjects, NewsOfObjectsAndPacedListsGoToTheNrcsLowerPort) {
  TestPeer pushes;
  // News goes to the NRCS hosts the server knows from their lower-port connections.
  ASSERT_TRUE(WaitUntil([&] { return PeersView(Control())["objectSenders"] == 1; }));
  media.Write("late.wav", WavBytes(1.0));
  ASSERT_TRUE(lowerPort.Accept(pushes, 10s)) << "the server opens its own connection";
  pugi::xml_document document;
  pugi::xml_node obj = Body(document, pushes.ReceiveMessage(true));
  ASSERT_STREQ(obj.name(), "mosObj");
  EXPECT_STREQ(obj.child_value("objID"), "late.wav");
  EXPECT_STREQ(obj.child_value("status"), "NEW");
  ASSERT_TRUE(pushes.Send(Utf16Bytes(
      Message("1",
              "<mosAck><objID>late.wav</objID><objRev>1</objRev><status>ACK</status></mosAck>"),
      true)));

  fs::remove(Path("late.wav"));
  obj = Body(document, pushes.ReceiveMessage(true));
  EXPECT_STREQ(obj.child_value("objID"), "late.wav");
  EXPECT_STREQ(obj.child_value("status"), "DELETED");
  ASSERT_TRUE(pushes.Send(Utf16Bytes(Message("2", "<mosAck><status>ACK</status></mosAck>"), true)));
  ASSERT_TRUE(WaitUntil([&] {
    return log.CountStartingWith("VIDRA - NRCS 127.0.0.1 did not acknowledge") == 0 &&
           JournalCount() > 0;
  }));

  // A pause of one second: the mosAck at once, then one object a second, on the push
  // connection.
  pugi::xml_document answer;
  const pugi::xml_node ack = Body(answer, Ask(lower, "<mosReqAll><pause>1</pause></mosReqAll>"));
  EXPECT_STREQ(ack.child_value("status"), "ACK");
  std::vector<std::string> paced;
  for (int k = 0; k < 2; ++k) {
    obj = Body(document, pushes.ReceiveMessage(true, 10s));
    paced.emplace_back(obj.child_value("objID"));
    EXPECT_STREQ(obj.child_value("status"), "READY");
    ASSERT_TRUE(pushes.Send(Utf16Bytes(Message(std::to_string(10 + k), "<mosAck/>"), true)));
  }
  EXPECT_EQ(paced, (std::vector<std::string>{"four.wav", "news/two.wav"}));

  // Without a pause: one mosListAll on the push connection, after the mosAck on the NRCS's,
  // and acknowledged on the push connection as the protocol's message model has it.
  EXPECT_STREQ(
      Body(answer, Ask(lower, "<mosReqAll><pause>0</pause></mosReqAll>")).child_value("status"),
      "ACK");
  const pugi::xml_node list = Body(document, pushes.ReceiveMessage(true, 10s));
  ASSERT_STREQ(list.name(), "mosListAll");
  std::vector<std::string> listed;
  for (pugi::xml_node o : list.children("mosObj")) {
    listed.emplace_back(o.child_value("objID"));
  }
  EXPECT_EQ(listed, paced);
  ASSERT_TRUE(pushes.Send(Utf16Bytes(Message("12", "<mosAck/>"), true)));
  // News after it still flows: the sender took the mosAck and went on.
  media.Write("later.wav", WavBytes(1.0));
  obj = Body(document, pushes.ReceiveMessage(true, 10s));
  EXPECT_STREQ(obj.child_value("objID"), "later.wav");
  EXPECT_EQ(log.CountStartingWith("VIDRA - NRCS 127.0.0.1 did not acknowledge"), 0u);
}

TEST_F(MediaObjects, ItemsPlayAtOnceByObjIdAndLateMediaIsToldToTheNrcs) {
  TestPeer notices;
  const std::string create =
      "<roCreate><roID>R</roID><story><storyID>S</storyID>"
      "<item><itemID>1</itemID><objID>news/two.wav</objID><mosID>VIDRA.NEWS</mosID></item>"
      "<item><itemID>2</itemID><objID>L</objID><mosID>VIDRA.NEWS</mosID><objPaths><objPath>" +
      Path("late.wav") + "</objPath></objPaths></item></story></roCreate>";
  ASSERT_NE(Ask(upper, create).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  // At once: the item, named by the objID alone, is checked on the spot and plays.
  const std::u16string executed =
      Ask(upper,
          "<roCtrl><roID>R</roID><storyID>S</storyID><itemID>1</itemID><command>EXECUTE</command>"
          "</roCtrl>");
  EXPECT_NE(executed.find(u"<roStatus>OK</roStatus>"), std::u16string::npos)
      << Utf16ToUtf8(executed);
  ASSERT_TRUE(upperPort.Accept(notices));
  EXPECT_TRUE(
      NoticeWith(notices, u"<itemID>1</itemID><objID>news/two.wav</objID><status>PLAY</status>"));
  ASSERT_TRUE(CheckIdle());

  // The clip of item 2 lands: READY, told to the NRCS.
  media.Write("late.wav", WavBytes(3.0));
  EXPECT_TRUE(NoticeWith(notices, u"<itemID>2</itemID><objID>L</objID><status>READY</status>"));
}

TEST_F(MediaObjects, TheReadinessSheetPutsProblemsFirstAndComparesLengths) {
  media.Write("notes.txt.mxf", "not a clip");
  const auto item = [&](const std::string& id, const std::string& file, const std::string& dur) {
    return "<item><itemID>" + id + "</itemID><objID>O" + id +
           "</objID><mosID>VIDRA</mosID>"
           "<objPaths><objPath>" +
           Path(file) + "</objPath></objPaths><itemEdDur>" + dur + "</itemEdDur></item>";
  };
  ASSERT_NE(
      Ask(upper, "<roCreate><roID>R</roID><roSlug>Evening</roSlug><story><storyID>S</storyID>" +
                     item("fits", "news/two.wav", "50") + item("short", "four.wav", "250") +
                     item("gone", "gone.wav", "25") + item("junk", "notes.txt.mxf", "25") +
                     "</story></roCreate>")
          .find(u"<roStatus>OK</roStatus>"),
      std::u16string::npos);
  ASSERT_TRUE(CheckIdle());
  const auto sheet = ReadinessView(Control());
  const auto& ro = sheet["channels"][0]["runningOrders"][0];
  EXPECT_EQ(ro["roSlug"], "Evening");
  EXPECT_EQ(ro["missing"], 1);
  EXPECT_EQ(ro["unplayable"], 1);
  std::vector<std::string> order;
  for (const auto& i : ro["items"]) {
    order.push_back(i["itemID"]);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"gone", "junk", "fits", "short"}));
  EXPECT_EQ(ro["items"][0]["problem"], "missing");
  EXPECT_EQ(ro["items"][1]["problem"], "unplayable");
  EXPECT_EQ(ro["items"][2]["differenceFrames"], 0);
  EXPECT_EQ(ro["items"][3]["fileFrames"], 100);
  EXPECT_EQ(ro["items"][3]["plannedFrames"], 250);
  EXPECT_EQ(ro["items"][3]["differenceFrames"], -150);
  EXPECT_DOUBLE_EQ(ro["items"][3]["differenceSeconds"].get<double>(), -6.0);
  EXPECT_EQ(ro["plannedFrames"], 350);
  EXPECT_EQ(ro["availableFrames"], 150);

  const std::string text = ReadinessTextView(Control());
  EXPECT_NE(text.find("running order R \"Evening\": 4 items, 1 missing, 1 unplayable"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("S/short READY " + Path("four.wav") +
                      " file 00:00:04:00 (4.00 s) planned 00:00:10:00 (10.00 s) under "
                      "-00:00:06:00 (-6.00 s)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" file 00:00:02:00 (2.00 s) planned 00:00:02:00 (2.00 s) exact fit\n"),
            std::string::npos)
      << "a file as long as its plan: " << text;
  EXPECT_LT(text.find("S/gone NOT READY MISSING"), text.find("S/fits"));
}

// A journalist's placeholder: made by mosObjCreate before the media exists, NOT READY in a
// running order until its file lands, then READY with its real length, told to the NRCS as
// mosObj UPDATED and as roElementStat; what the NRCS may not do to it is refused.
TEST_F(MediaObjects, APlaceholderBecomesReadyWhenItsFileLands) {
  TestPeer pushes;
  TestPeer notices;
  ASSERT_TRUE(WaitUntil([&] { return PeersView(Control())["objectSenders"] == 1; }));
  pugi::xml_document document;
  const pugi::xml_node made = Body(
      document, Ask(lower,
                    "<mosObjCreate><objSlug>Fire at the mill</objSlug><objGroup>Evening</objGroup>"
                    "<objType>AUDIO</objType><objTB>25</objTB><objDur>75</objDur><createdBy>ann"
                    "</createdBy><description>Pictures from the mill</description>"
                    "<mosExternalMetadata><mosScope>OBJECT</mosScope><mosSchema>http://n/s"
                    "</mosSchema><mosPayload><Desk>city</Desk></mosPayload></mosExternalMetadata>"
                    "</mosObjCreate>"));
  ASSERT_STREQ(made.child_value("status"), "ACK") << made.child_value("statusDescription");
  const std::string objID = made.child_value("objID");
  EXPECT_EQ(objID, "placeholders/Fire_at_the_mill_000001.wav");
  EXPECT_STREQ(made.child_value("objRev"), "1");
  EXPECT_EQ(std::string(made.child_value("statusDescription")),
            "placeholder made; its media goes to " + Path(objID));

  // Its mosObj NEW on the server's own connection: the NRCS's texts, NOT READY, the path.
  ASSERT_TRUE(lowerPort.Accept(pushes, 10s));
  pugi::xml_document news;
  pugi::xml_node obj = Body(news, pushes.ReceiveMessage(true));
  ASSERT_STREQ(obj.name(), "mosObj");
  EXPECT_EQ(obj.child_value("objID"), objID);
  EXPECT_STREQ(obj.child_value("status"), "NEW");
  EXPECT_STREQ(obj.child_value("objSlug"), "Fire at the mill");
  EXPECT_STREQ(obj.child_value("objGroup"), "Evening");
  EXPECT_STREQ(obj.child_value("objType"), "AUDIO");
  EXPECT_STREQ(obj.child_value("objDur"), "75");
  EXPECT_STREQ(obj.child_value("objAir"), "NOT READY");
  EXPECT_STREQ(obj.child_value("createdBy"), "ann");
  EXPECT_STREQ(obj.child_value("description"), "Pictures from the mill");
  EXPECT_STREQ(obj.child("mosExternalMetadata").child("mosPayload").child_value("Desk"), "city");
  EXPECT_EQ(obj.child("objPaths").child_value("objPath"), Path(objID));
  ASSERT_TRUE(pushes.Send(Utf16Bytes(Message("1", "<mosAck/>"), true)));

  // A running order that names it by objID alone: NOT READY.
  ASSERT_NE(Ask(upper,
                "<roCreate><roID>R</roID><story><storyID>S</storyID><item><itemID>1"
                "</itemID><objID>" +
                    objID + "</objID><mosID>VIDRA.NEWS</mosID></item></story></roCreate>")
                .find(u"<roStatus>OK</roStatus>"),
            std::u16string::npos);
  ASSERT_TRUE(CheckIdle());
  EXPECT_NE(Ask(upper, "<roReq><roID>R</roID></roReq>").find(u"<roID>R</roID>"),
            std::u16string::npos);
  ASSERT_TRUE(upperPort.Accept(notices));
  EXPECT_TRUE(
      NoticeWith(notices, u"<objID>" + Utf8ToUtf16(objID) + u"</objID><status>NOT READY</status>"));

  // What the NRCS may not do: delete a station's file, change an objID it did not make,
  // place a placeholder outside the media folder or on another's path, make one without a
  // slug or with an objID of its own. Each a NACK; nothing made.
  const auto refused = [&](const std::string& body) {
    pugi::xml_document answer;
    const pugi::xml_node ack = Body(answer, Ask(lower, body));
    EXPECT_STREQ(ack.child_value("status"), "NACK") << body;
    return std::string(ack.child_value("statusDescription"));
  };
  EXPECT_EQ(refused("<mosReqObjAction operation=\"DELETE\" objID=\"four.wav\"/>"),
            "refused: four.wav is a file of the station's media folder, not an object the NRCS "
            "made");
  EXPECT_EQ(refused("<mosReqObjAction operation=\"UPDATE\" objID=\"nobody\"><objSlug>x</objSlug>"
                    "</mosReqObjAction>"),
            "unknown objID");
  EXPECT_EQ(refused("<mosObjCreate><objSlug>x</objSlug><objPaths><objPath>../../etc/passwd"
                    "</objPath></objPaths></mosObjCreate>"),
            "malformed: objPath ../../etc/passwd is not a file name inside the media folder");
  EXPECT_EQ(refused("<mosObjCreate><objSlug>x</objSlug><objPaths><objPath>four.wav</objPath>"
                    "</objPaths></mosObjCreate>"),
            "refused: four.wav is another object's already");
  EXPECT_EQ(refused("<mosObjCreate><objSlug> </objSlug></mosObjCreate>"),
            "malformed: objSlug missing");
  EXPECT_EQ(refused("<mosObjCreate><objID>MINE</objID><objSlug>x</objSlug></mosObjCreate>"),
            "malformed: objID is made by the device, not sent to it");
  EXPECT_EQ(refused("<mosObjCreate><objSlug>x</objSlug><objType>HOLOGRAM</objType>"
                    "</mosObjCreate>"),
            "malformed: objType HOLOGRAM (VIDEO, AUDIO or STILL)");
  EXPECT_EQ(refused("<mosReqObjAction operation=\"MOVE\" objID=\"" + objID +
                    "\"><objSlug>x</objSlug></mosReqObjAction>"),
            "malformed: operation MOVE (NEW, UPDATE or DELETE)");
  EXPECT_EQ(StateView(Control())["media"]["objects"], 3) << "nothing was made";

  // The NRCS renames it: UPDATED, revision 2.
  pugi::xml_document updated;
  EXPECT_STREQ(Body(updated, Ask(lower, "<mosReqObjAction operation=\"UPDATE\" objID=\"" + objID +
                                            "\"><objSlug>Mill fire</objSlug><description>Late"
                                            "</description></mosReqObjAction>"))
                   .child_value("objRev"),
               "2");
  obj = Body(news, pushes.ReceiveMessage(true));
  EXPECT_STREQ(obj.child_value("status"), "UPDATED");
  EXPECT_STREQ(obj.child_value("objSlug"), "Mill fire");
  EXPECT_STREQ(obj.child_value("createdBy"), "ann") << "kept";
  ASSERT_TRUE(pushes.Send(Utf16Bytes(Message("2", "<mosAck/>"), true)));

  // The file lands: an ordinary object with its real length, READY, and the item with it.
  media.Write(objID, WavBytes(2.0));
  obj = Body(news, pushes.ReceiveMessage(true, 10s));
  EXPECT_EQ(obj.child_value("objID"), objID);
  EXPECT_STREQ(obj.child_value("status"), "UPDATED");
  EXPECT_STREQ(obj.child_value("objAir"), "READY");
  EXPECT_STREQ(obj.child_value("objDur"), "50");
  EXPECT_STREQ(obj.child_value("objSlug"), "Mill fire");
  ASSERT_TRUE(pushes.Send(Utf16Bytes(Message("3", "<mosAck/>"), true)));
  EXPECT_TRUE(
      NoticeWith(notices, u"<objID>" + Utf8ToUtf16(objID) + u"</objID><status>READY</status>"));
  // With its media there, the server does not delete it.
  EXPECT_EQ(refused("<mosReqObjAction operation=\"DELETE\" objID=\"" + objID + "\"/>"),
            "refused: its media file " + Path(objID) +
                " is there; the server does not delete media (remove the file)");

  // Another placeholder, deleted by the NRCS: DELETED, gone from the log too.
  pugi::xml_document second;
  const std::string other =
      Body(second, Ask(lower,
                       "<mosReqObjAction operation=\"NEW\"><objSlug>Weather</objSlug>"
                       "</mosReqObjAction>"))
          .child_value("objID");
  EXPECT_EQ(other, "placeholders/Weather_000002.mxf");
  obj = Body(news, pushes.ReceiveMessage(true));
  EXPECT_STREQ(obj.child_value("status"), "NEW");
  ASSERT_TRUE(pushes.Send(Utf16Bytes(Message("4", "<mosAck/>"), true)));
  pugi::xml_document gone;
  EXPECT_STREQ(
      Body(gone, Ask(lower, "<mosReqObjAction operation=\"DELETE\" objID=\"" + other + "\"/>"))
          .child_value("status"),
      "ACK");
  obj = Body(news, pushes.ReceiveMessage(true));
  EXPECT_EQ(obj.child_value("objID"), other);
  EXPECT_STREQ(obj.child_value("status"), "DELETED");
  ASSERT_TRUE(pushes.Send(Utf16Bytes(Message("5", "<mosAck/>"), true)));
}

// Search from the NRCS on the query port: the schema, a general search, search fields and
// paging; bad queries refused with what is wrong; other messages refused on this port; a
// repeated mosObjCreate makes one placeholder; and a connection that sends nothing holds up
// no one.
TEST_F(MediaObjects, TheNrcsSearchesObjectsOnTheQueryPort) {
  TestPeer idle;
  ASSERT_TRUE(idle.Connect(Query()));
  TestPeer query;
  ASSERT_TRUE(query.Connect(Query()));
  media.Write("news/fire at the mill.wav", WavBytes(1.0));
  media.Write("news/mill owner.wav", WavBytes(1.0));
  ASSERT_TRUE(WaitUntil([&] { return StateView(Control())["media"]["objects"] == 4; }));
  const std::string create =
      "<mosObjCreate><objSlug>Mill fire late</objSlug><description>pictures from the MILL"
      "</description><objGroup>Evening</objGroup></mosObjCreate>";
  pugi::xml_document made;
  EXPECT_TRUE(lower.Send(Utf16Bytes(Message("77", create), true)));
  const std::string placeholder = Body(made, lower.ReceiveMessage(true)).child_value("objID");
  EXPECT_TRUE(lower.Send(Utf16Bytes(Message("77", create), true)));
  EXPECT_EQ(Body(made, lower.ReceiveMessage(true)).child_value("objID"), placeholder)
      << "sent again: the same answer, nothing new";
  EXPECT_EQ(StateView(Control())["media"]["objects"], 5);

  pugi::xml_document document;
  const pugi::xml_node schema =
      Body(document, Ask(query, "<mosReqSearchableSchema username=\"ann\"/>"));
  ASSERT_STREQ(schema.name(), "mosListSearchableSchema");
  EXPECT_STREQ(schema.attribute("username").value(), "ann");
  const std::string url = schema.child_value("mosSchema");
  EXPECT_FALSE(url.empty());

  const auto search = [&](const std::string& inside) {
    return Ask(query, "<mosReqObjList username=\"ann\"><queryID>Q1</queryID>" + inside +
                          "</mosReqObjList>");
  };
  const auto ids = [](const pugi::xml_node& list) {
    std::vector<std::string> found;
    for (pugi::xml_node o : list.child("list").children("mosObj")) {
      found.emplace_back(o.child_value("objID"));
    }
    return found;
  };
  // Every word somewhere in slug, objID, description or path, any case.
  pugi::xml_node list = Body(document, search("<generalSearch>MILL</generalSearch>"));
  ASSERT_STREQ(list.name(), "mosObjList");
  EXPECT_STREQ(list.child_value("queryID"), "Q1");
  EXPECT_STREQ(list.child_value("listReturnTotal"), "3");
  EXPECT_EQ(ids(list), (std::vector<std::string>{"news/fire at the mill.wav", "news/mill owner.wav",
                                                 placeholder}));
  std::vector<std::string> names;
  for (pugi::xml_node child : list.children()) {
    names.emplace_back(child.name());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"queryID", "listReturnStart", "listReturnEnd",
                                             "listReturnTotal", "list"}));
  // Paging: the second and third of them.
  list = Body(document, search("<listReturnStart>2</listReturnStart><listReturnEnd>3"
                               "</listReturnEnd><generalSearch>mill</generalSearch>"));
  EXPECT_STREQ(list.child_value("listReturnStart"), "2");
  EXPECT_STREQ(list.child_value("listReturnEnd"), "3");
  EXPECT_EQ(ids(list), (std::vector<std::string>{"news/mill owner.wav", placeholder}));
  list = Body(document, search("<listReturnStart>9</listReturnStart>"));
  EXPECT_STREQ(list.child_value("listReturnTotal"), "5");
  EXPECT_STREQ(list.child_value("listReturnStatus"), "only 5 objects found");
  EXPECT_TRUE(ids(list).empty());
  // Search fields: a group's fields all hold, any group will do.
  list = Body(document, search("<mosSchema>" + url +
                               "</mosSchema><searchGroup><searchField XPath=\"/objGroup [. "
                               "='evening']\"/></searchGroup><searchGroup><searchField XPath="
                               "\"/objSlug[contains(., 'OWNER')]\"/><searchField XPath=\"/objType"
                               "[.='AUDIO']\"/></searchGroup>"));
  EXPECT_EQ(ids(list), (std::vector<std::string>{"news/mill owner.wav", placeholder}));

  const auto refused = [&](const std::string& inside) {
    pugi::xml_document answer;
    const pugi::xml_node ack = Body(answer, search(inside));
    EXPECT_STREQ(ack.name(), "mosAck") << inside.substr(0, 80);
    EXPECT_STREQ(ack.child_value("status"), "NACK");
    return std::string(ack.child_value("statusDescription"));
  };
  EXPECT_EQ(refused("<listReturnStart>-1</listReturnStart>"),
            "malformed: listReturnStart -1 (a whole number from 1)");
  EXPECT_EQ(refused("<listReturnStart>5</listReturnStart><listReturnEnd>2</listReturnEnd>"),
            "malformed: listReturnEnd 2 before listReturnStart 5");
  EXPECT_EQ(refused("<generalSearch>" + std::string(100'000, 'a') + "</generalSearch>"),
            "malformed: generalSearch longer than 1024 bytes");
  EXPECT_EQ(refused("<mosSchema>" + url +
                    "</mosSchema><searchGroup><searchField XPath=\"/Presenter[.='Bob']\"/>"
                    "</searchGroup>"),
            "malformed: unknown search field Presenter");
  EXPECT_EQ(refused("<mosSchema>http://other</mosSchema><searchGroup><searchField XPath="
                    "\"/objSlug[.='x']\"/></searchGroup>"),
            "malformed: mosSchema http://other (this server searches " + url + ")");
  // What belongs to the other ports is refused here, in mosAck form.
  const pugi::xml_node other = Body(document, Ask(query, "<roReq><roID>R</roID></roReq>"));
  EXPECT_STREQ(other.name(), "mosAck");
  EXPECT_STREQ(other.child_value("statusDescription"),
               "not supported: roReq on the query port (mosReqSearchableSchema, mosReqObjList)");
  EXPECT_STREQ(Body(document, Ask(query, "<heartbeat/>")).name(), "heartbeat");
}

}  // namespace
}  // namespace vidra::test

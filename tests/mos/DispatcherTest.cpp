// Whole messages through the parser and the dispatcher into a playout manager's stores.
#include <gtest/gtest.h>

#include "common/Log.h"
#include "common/Text.h"
#include "mos/MosXml.h"

namespace vidra {
namespace {

class Dispatcher : public ::testing::Test {
 protected:
  Dispatcher() { EXPECT_EQ(parser.Initialize(), HResult::S_OK); }

  // The answer to one message, or "none".
  std::string Answer(const std::string& message) {
    if (!parser.LoadMessage(Utf8ToUtf16(message))) {
      return "not loaded";
    }
    std::u16string answer;
    bool answered = false;
    if (parser.HandleMessage(manager, answer, answered) != HResult::S_OK) {
      return "failed";
    }
    return answered ? Utf16ToUtf8(answer) : "none";
  }

  static std::string Envelope(const std::string& id) {
    return "<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>" + id + "</messageID>";
  }

  LogCapture log;
  ManualClock clock{kUnixEpochFileTime};
  PlayoutManager manager{std::make_shared<ManualClock>(kUnixEpochFileTime)};
  MOSXMLParser parser{clock};
};

TEST_F(Dispatcher, MessageIdIsEchoedAndEnvelopeOnlyCountsBeforeTheBody) {
  EXPECT_EQ(Answer(Envelope("42") + "<heartbeat/></mos>"),
            Envelope("42") + "<heartbeat><time>1970-01-01T00:00:00</time></heartbeat></mos>");
  EXPECT_EQ(Answer("<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><heartbeat/></mos>"),
            Envelope("0") + "<heartbeat><time>1970-01-01T00:00:00</time></heartbeat></mos>");
  EXPECT_EQ(Answer(Envelope(" -7x") + "<heartbeat/></mos>").rfind(Envelope("-7"), 0), 0u);
  EXPECT_EQ(
      Answer(Envelope("123456789012345") + "<heartbeat/></mos>").rfind(Envelope("2147483647"), 0),
      0u)
      << "a long messageID saturates, whole";
  EXPECT_EQ(Answer("<mos><heartbeat/><mosID>LATE</mosID><messageID>9</messageID></mos>"),
            "<mos><mosID></mosID><ncsID></ncsID><messageID>0</messageID><heartbeat><time>"
            "1970-01-01T00:00:00</time></heartbeat></mos>");
}

TEST_F(Dispatcher, UnansweredAndUnknownBodies) {
  for (const char* body :
       {"<mosAck/>", "<roList/>", "<roListAll/>", "<Heartbeat/>", "<nothing/>"}) {
    EXPECT_EQ(Answer(Envelope("1") + body + "</mos>"), "none") << body;
  }
  EXPECT_EQ(log.CountOf("mosAck => must be answer to roElementStat"), 1u);
  EXPECT_EQ(log.CountOf("Heartbeat"), 0u);
  EXPECT_EQ(Answer("<MOS><heartbeat/></mos>"), "not loaded");
  EXPECT_EQ(Answer("<mos><unclosed></mos>"), "not loaded");
  EXPECT_TRUE(parser.LoadMessage(u"<other/>"));
  std::u16string answer;
  bool answered = true;
  EXPECT_EQ(parser.HandleMessage(manager, answer, answered), HResult::E_FAIL) << "no mos root";
  EXPECT_FALSE(answered);
  for (const char* body : {"<mosObj/>", "<listMachInfo/>", "<mosReqObjAction/>"}) {
    EXPECT_NE(Answer(Envelope("3") + body + "</mos>").find("<heartbeat>"), std::string::npos);
  }
  EXPECT_EQ(Answer(Envelope("4") + "<mosItemReplace><roID>X</roID></mosItemReplace></mos>"),
            Envelope("4") + "<roAck><roID></roID><roStatus>OK</roStatus></roAck></mos>");
}

TEST_F(Dispatcher, TwoBodiesAreBothDispatchedAndTheSecondAnswers) {
  const std::string answer =
      Answer(Envelope("5") + "<heartbeat/><roReq><roID>none</roID></roReq></mos>");
  EXPECT_EQ(answer,
            Envelope("5") + "<roAck><roID>none</roID><roStatus>OK</roStatus></roAck></mos>");
  EXPECT_TRUE(log.HasInOrder({"heartbeat", "roReq"}));
}

TEST_F(Dispatcher, RunningOrdersAreCreatedListedEditedAndDeleted) {
  const std::string create =
      "<roCreate><roID>RO1</roID><roSlug>Evening</roSlug><roEdStart>2026-12-06T19:00:00"
      "</roEdStart><roTrigger>TIMED</roTrigger>"
      "<story><storyID>A</storyID><item><itemID>1</itemID><objID>OA</objID><mosID>VIDRA</mosID>"
      "<objPaths><objPath>clip.mxf</objPath></objPaths></item></story>"
      "<story><storyID>B</storyID></story><story><storyID>C</storyID></story></roCreate>";
  EXPECT_EQ(Answer(Envelope("10") + create + "</mos>"),
            Envelope("10") +
                "<roAck><roID>RO1</roID><roStatus>OK</roStatus><storyID>A</storyID>"
                "<itemID>1</itemID><objID>OA</objID><status>NEW</status><storyID>B</storyID>"
                "<status>ACK</status><storyID>C</storyID><status>ACK</status></roAck></mos>");
  const auto stored = manager.Store(0).GetRo("RO1");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->mosID, "VIDRA");
  EXPECT_EQ(stored->ncsID, "NCS");
  EXPECT_EQ(stored->trigger, TIMED);

  EXPECT_EQ(Answer(Envelope("11") + "<roReq><roID>RO1</roID></roReq></mos>"),
            Envelope("11") +
                "<roList><roID>RO1</roID><roSlug>Evening</roSlug><roEdStart>2026-12-06T19:00:00"
                "</roEdStart><roTrigger>TIMED</roTrigger><mosExternalMetadata><mosSchema>"
                "</mosSchema><mosPayload><Approved>0</Approved></mosPayload>"
                "</mosExternalMetadata><story><storyID>A</storyID><item><itemID>1</itemID>"
                "<objID>OA</objID><mosID>VIDRA</mosID></item></story><story><storyID>B</storyID>"
                "</story><story><storyID>C</storyID></story></roList></mos>");

  EXPECT_EQ(Answer(Envelope("12") +
                   "<roElementAction operation=\"MOVE\"><roID>RO1</roID><element_target>"
                   "<storyID>A</storyID></element_target><element_source><storyID>C</storyID>"
                   "</element_source></roElementAction></mos>"),
            Envelope("12") + "<roAck><roID>RO1</roID><roStatus>OK</roStatus></roAck></mos>");
  EXPECT_EQ(stored->stories[0].storyID, "C");
  for (const char* attributes : {"", " operation=\"MOVE\" other=\"1\"", " operation=\"insert\""}) {
    EXPECT_EQ(Answer(Envelope("13") + "<roElementAction" + attributes +
                     "><roID>RO1</roID></roElementAction></mos>"),
              Envelope("13") + "<roAck><roID></roID><roStatus></roStatus></roAck></mos>")
        << attributes;
  }

  EXPECT_EQ(Answer(Envelope("14") + "<roReqAll/></mos>"),
            Envelope("14") +
                "<roListAll><ro><roID>RO1</roID><roSlug>Evening</roSlug><roEdStart>"
                "2026-12-06T19:00:00</roEdStart><roTrigger>TIMED</roTrigger><mosExternalMetadata>"
                "<mosSchema></mosSchema><mosPayload><Approved>0</Approved></mosPayload>"
                "</mosExternalMetadata></ro></roListAll></mos>");
  EXPECT_EQ(log.CountOf(" LIST ALL MESS"), 1u);

  EXPECT_EQ(Answer(Envelope("15") + "<roDelete><roID>RO1</roID></roDelete></mos>"),
            Envelope("15") + "<roAck><roID>RO1</roID><roStatus>OK</roStatus></roAck></mos>");
  EXPECT_EQ(Answer(Envelope("16") + "<roDelete><roID>RO1</roID></roDelete></mos>"),
            Envelope("16") + "<roAck><roID>RO1</roID><roStatus>NACK</roStatus></roAck></mos>");
}

TEST_F(Dispatcher, RoCtrlReadsItsCommandAndReportsStates) {
  ASSERT_NE(Answer(Envelope("1") + "<roCreate><roID>R</roID><story><storyID>S</storyID><item>"
                                   "<itemID>I</itemID><objID>O</objID></item></story></roCreate>"
                                   "</mos>"),
            "none");
  EXPECT_EQ(Answer(Envelope("2") + "<roCtrl><roID>R</roID></roCtrl></mos>"),
            Envelope("2") +
                "<roAck><roID>R</roID><roStatus>OK</roStatus><storyID>S</storyID><itemID>I"
                "</itemID><objID>O</objID><status>NEW</status></roAck></mos>")
      << "no command is SIGNAL";
  EXPECT_EQ(Answer(Envelope("3") + "<roCtrl><roID>R</roID><command>JUMP</command></roCtrl></mos>"),
            Envelope("3") + "<roAck><roID>R</roID><roStatus>NACK</roStatus></roAck></mos>");
  EXPECT_EQ(
      Answer(Envelope("4") + "<roCtrl><roID>Q</roID><command>SIGNAL</command></roCtrl></mos>"),
      Envelope("4") + "<roAck><roID>Q</roID><roStatus>NACK</roStatus></roAck></mos>");
  EXPECT_EQ(log.CountOf("No ro with roID = Q"), 1u);
  EXPECT_EQ(Answer(Envelope("5") + "<roCtrl><command>SIGNAL</command></roCtrl></mos>"),
            Envelope("5") + "<roAck><roID></roID><roStatus>NACK</roStatus></roAck></mos>");
  EXPECT_EQ(log.CountOf("No ro with roID = NULL"), 1u);
  // EXECUTE of an unchecked item is refused, with its state in the answer.
  EXPECT_EQ(Answer(Envelope("6") +
                   "<roCtrl><roID>R</roID><storyID>S</storyID><itemID>I</itemID><command>EXECUTE"
                   "</command></roCtrl></mos>"),
            Envelope("6") +
                "<roAck><roID>R</roID><roStatus>NACK</roStatus><storyID>S</storyID><itemID>I"
                "</itemID><objID>O</objID><status>NEW</status></roAck></mos>");
  EXPECT_EQ(
      log.CountOf("VIDRA::roCtrl command=2 ERROR - Wrang state=0 for StoryID=S and ItemID=I\n"),
      1u);
  manager.Store(0).GetRo("R")->stories[0].items[0].state = READY;
  EXPECT_NE(Answer(Envelope("7") + "<roCtrl><roID>R</roID><command>CUE</command></roCtrl></mos>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  EXPECT_EQ(manager.Store(0).GetRo("R")->ctrlActionId, 1) << "accepted and numbered";
}

TEST_F(Dispatcher, AcknowledgementsAnywhereBelowMos) {
  std::int32_t id = 5;
  ASSERT_TRUE(
      parser.LoadMessage(u"<mos><messageID>77</messageID><roAck><roID>R</roID></roAck></mos>"));
  EXPECT_TRUE(parser.IsRoAck(id));
  EXPECT_EQ(id, 77);
  ASSERT_TRUE(parser.LoadMessage(u"<mos><x><mos><roAck/></mos></x></mos>"));
  EXPECT_TRUE(parser.IsRoAck(id));
  EXPECT_EQ(id, 77) << "no messageID leaves it";
  ASSERT_TRUE(parser.LoadMessage(u"<mos><heartbeat/></mos>"));
  EXPECT_FALSE(parser.IsRoAck(id));
}

}  // namespace
}  // namespace vidra

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
    if (parser.HandleMessage(manager, port, answer, answered) != HResult::S_OK) {
      return "failed";
    }
    return answered ? Utf16ToUtf8(answer) : "none";
  }

  static std::string Envelope(const std::string& id) {
    return "<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>" + id + "</messageID>";
  }

  LogCapture log;
  MosPort port = MosPort::Upper;
  ManualClock clock{kUnixEpochFileTime};
  PlayoutManager manager{std::make_shared<ManualClock>(kUnixEpochFileTime)};
  MOSXMLParser parser{clock};
};

TEST_F(Dispatcher, MessageIdIsEchoedAsWrittenAndEnvelopeOnlyCountsBeforeTheBody) {
  const std::string beat = "<heartbeat><time>1970-01-01T00:00:00</time></heartbeat></mos>";
  for (const char* id : {"42", "0x1F", "A7-b", " -7x", "123456789012345"}) {
    EXPECT_EQ(Answer(Envelope(id) + "<heartbeat/></mos>"), Envelope(id) + beat) << id;
  }
  EXPECT_EQ(Answer("<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><heartbeat/></mos>"),
            "<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID>" + beat)
      << "no messageID: none in the answer";
  EXPECT_EQ(Answer("<mos><heartbeat/><mosID>LATE</mosID><messageID>9</messageID></mos>"),
            "<mos><mosID></mosID><ncsID></ncsID>" + beat);
}

TEST_F(Dispatcher, EveryMessageIsAnsweredButAnswers) {
  for (const char* body : {"<mosAck/>", "<roList/>", "<roListAll/>"}) {
    EXPECT_EQ(Answer(Envelope("1") + body + "</mos>"), "none") << body;
  }
  EXPECT_EQ(log.CountOf("mosAck => must be answer to roElementStat"), 1u);
  // Unknown names and messages of profiles not handled: NACK in the form of the port.
  EXPECT_EQ(Answer(Envelope("2") + "<Heartbeat/></mos>"),
            Envelope("2") +
                "<roAck><roID></roID><roStatus>NACK not supported: Heartbeat</roStatus></roAck>"
                "</mos>");
  EXPECT_EQ(log.CountOf("VIDRA - unknown MOS message Heartbeat is answered NACK"), 1u);
  EXPECT_EQ(Answer(Envelope("3") + "<roFuture><roID>R</roID></roFuture></mos>"),
            Envelope("3") +
                "<roAck><roID>R</roID><roStatus>NACK not supported: roFuture</roStatus></roAck>"
                "</mos>");
  port = MosPort::Lower;
  EXPECT_EQ(Answer(Envelope("4") + "<mosObjCreate><objSlug>X</objSlug></mosObjCreate></mos>"),
            Envelope("4") +
                "<mosAck><objID></objID><objRev>0</objRev><status>NACK</status><statusDescription>"
                "not supported: the server has no media folder</statusDescription></mosAck></mos>");
  EXPECT_EQ(log.CountOf("mosObjCreate"), 1u);
  // A lower-port message without what it cannot do without: mosAck, not roAck.
  EXPECT_EQ(Answer(Envelope("6") + "<mosReqObj/></mos>"),
            Envelope("6") +
                "<mosAck><objID></objID><objRev>0</objRev><status>NACK</status><statusDescription>"
                "malformed: objID missing</statusDescription></mosAck></mos>");
  EXPECT_NE(Answer(Envelope("5") + "<nothing/></mos>").find("<status>NACK</status>"),
            std::string::npos);

  EXPECT_EQ(Answer("<MOS><heartbeat/></mos>"), "not loaded");
  EXPECT_EQ(Answer("<mos><unclosed></mos>"), "not loaded");
  EXPECT_TRUE(parser.LoadMessage(u"<other/>"));
  std::u16string answer;
  bool answered = true;
  EXPECT_EQ(parser.HandleMessage(manager, port, answer, answered), HResult::E_FAIL)
      << "no mos root";
  EXPECT_FALSE(answered);
  EXPECT_EQ(Answer("<mos><mosID>V</mosID></mos>"), "none") << "an envelope alone is no message";
}

TEST_F(Dispatcher, NrcsMachInfoIsReadInBothFormsAndAnswered) {
  EXPECT_NE(Answer(Envelope("6") +
                   "<listMachInfo><supportedProfiles deviceType=\"NCS\"><mosProfile number=\"0\">"
                   "YES</mosProfile><mosProfile number=\"1\">no</mosProfile><mosProfile "
                   "number=\"2\"> yes </mosProfile></supportedProfiles></listMachInfo></mos>")
                .find("<heartbeat>"),
            std::string::npos);
  EXPECT_EQ(log.CountOf("VIDRA - NRCS NCS claims MOS profiles: 0 2"), 1u);
  EXPECT_NE(Answer(Envelope("7") +
                   "<listMachInfo><supportedProfiles><mosProfile0>YES</mosProfile0><mosProfile5>"
                   "YES</mosProfile5><mosProfile9>YES</mosProfile9></supportedProfiles>"
                   "</listMachInfo></mos>"),
            "none");
  EXPECT_EQ(log.CountOf("VIDRA - NRCS NCS claims MOS profiles: 0 5"), 1u);
}

TEST_F(Dispatcher, TwoBodiesAreBothDispatchedAndTheSecondAnswers) {
  const std::string answer =
      Answer(Envelope("5") + "<heartbeat/><roReq><roID>none</roID></roReq></mos>");
  EXPECT_EQ(answer,
            Envelope("5") +
                "<roAck><roID>none</roID><roStatus>NACK unknown roID</roStatus></roAck></mos>");
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
                "<itemID>1</itemID><objID>OA</objID><status>NEW</status></roAck></mos>");
  const auto stored = manager.Store(0).GetRo("RO1");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->mosID, "VIDRA");
  EXPECT_EQ(stored->ncsID, "NCS");
  EXPECT_EQ(stored->trigger, TIMED);

  EXPECT_EQ(Answer(Envelope("11") + "<roReq><roID>RO1</roID></roReq></mos>"),
            Envelope("11") +
                "<roList><roID>RO1</roID><roSlug>Evening</roSlug><roEdStart>2026-12-06T19:00:00"
                "</roEdStart><roTrigger>TIMED</roTrigger><story><storyID>A</"
                "storyID><item><itemID>1</itemID>"
                "<objID>OA</objID><mosID>VIDRA</mosID><objPaths><objPath>clip.mxf</objPath>"
                "</objPaths></item></story><story><storyID>B</storyID>"
                "</story><story><storyID>C</storyID></story></roList></mos>");

  EXPECT_EQ(Answer(Envelope("12") +
                   "<roElementAction operation=\"MOVE\"><roID>RO1</roID><element_target>"
                   "<storyID>A</storyID></element_target><element_source><storyID>C</storyID>"
                   "</element_source></roElementAction></mos>"),
            Envelope("12") + "<roAck><roID>RO1</roID><roStatus>OK</roStatus></roAck></mos>");
  EXPECT_EQ(stored->stories[0].storyID, "C");
  EXPECT_EQ(
      Answer(Envelope("13") +
             "<roElementAction operation=\"insert\"><roID>RO1</roID></roElementAction></mos>"),
      Envelope("13") +
          "<roAck><roID>RO1</roID><roStatus>NACK malformed: operation attribute</roStatus>"
          "</roAck></mos>");

  EXPECT_EQ(
      Answer(Envelope("14") + "<roReqAll/></mos>"),
      Envelope("14") +
          "<roListAll><ro><roID>RO1</roID><roSlug>Evening</roSlug><roEdStart>"
          "2026-12-06T19:00:00</roEdStart><roTrigger>TIMED</roTrigger></ro></roListAll></mos>");
  EXPECT_EQ(log.CountOf(" LIST ALL MESS"), 1u);

  EXPECT_EQ(Answer(Envelope("15") + "<roDelete><roID>RO1</roID></roDelete></mos>"),
            Envelope("15") + "<roAck><roID>RO1</roID><roStatus>OK</roStatus></roAck></mos>");
  EXPECT_EQ(Answer(Envelope("16") + "<roDelete><roID>RO1</roID></roDelete></mos>"),
            Envelope("16") +
                "<roAck><roID>RO1</roID><roStatus>NACK unknown roID</roStatus></roAck></mos>");
  EXPECT_EQ(
      Answer(Envelope("17") + "<roDelete/></mos>"),
      Envelope("17") +
          "<roAck><roID></roID><roStatus>NACK malformed: roID missing</roStatus></roAck></mos>");
  EXPECT_EQ(log.CountOf("VIDRA - roDelete without roID is answered NACK"), 1u);
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
            Envelope("3") +
                "<roAck><roID>R</roID><roStatus>NACK malformed: command JUMP</roStatus></roAck>"
                "</mos>");
  EXPECT_EQ(
      Answer(Envelope("4") + "<roCtrl><roID>Q</roID><command>SIGNAL</command></roCtrl></mos>"),
      Envelope("4") + "<roAck><roID>Q</roID><roStatus>NACK unknown roID</roStatus></roAck></mos>");
  EXPECT_EQ(log.CountOf("No ro with roID = Q"), 1u);
  EXPECT_EQ(
      Answer(Envelope("5") + "<roCtrl><command>SIGNAL</command></roCtrl></mos>"),
      Envelope("5") + "<roAck><roID></roID><roStatus>NACK unknown roID</roStatus></roAck></mos>");
  EXPECT_EQ(log.CountOf("No ro with roID = NULL"), 1u);
  // EXECUTE of an unchecked item is refused, with its state in the answer.
  EXPECT_EQ(Answer(Envelope("6") +
                   "<roCtrl><roID>R</roID><storyID>S</storyID><itemID>I</itemID><command>EXECUTE"
                   "</command></roCtrl></mos>"),
            Envelope("6") +
                "<roAck><roID>R</roID><roStatus>NACK refused in the item's state</roStatus>"
                "<storyID>S</storyID><itemID>I</itemID><objID>O</objID><status>NEW</status>"
                "</roAck></mos>");
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
  // Inside a message the server knows, a <mos> is content: the roCreate is answered.
  ASSERT_TRUE(
      parser.LoadMessage(u"<mos><messageID>8</messageID><roCreate><roID>R</roID><story>"
                         u"<mos><roAck/></mos></story></roCreate></mos>"));
  EXPECT_FALSE(parser.IsRoAck(id));
  EXPECT_EQ(id, 77);
}

// The XML the log shows of a message: cut at the limit while it is written, it is exactly
// the start of the whole text, for no text at all, a limit inside the document and one
// past its end.
TEST_F(Dispatcher, TheLoggedXmlIsTheStartOfTheWholeDocument) {
  std::u16string body = u"<mos><messageID>1</messageID><roCreate><roID>K\u00F6ln</roID>";
  for (int i = 0; i < 2000; ++i) {
    body += u"<story><storyID>S" + Utf8ToUtf16(std::to_string(i)) + u"</storyID></story>";
  }
  ASSERT_TRUE(parser.LoadMessage(body + u"</roCreate></mos>"));
  const std::string whole = parser.GetXml();
  ASSERT_GT(whole.size(), 60'000u);
  for (const std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{42},
                                  std::size_t{8192}, whole.size(), whole.size() + 10}) {
    EXPECT_EQ(parser.GetXml(limit), whole.substr(0, limit)) << limit;
  }
}

}  // namespace
}  // namespace vidra

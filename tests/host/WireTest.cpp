// An NRCS on real loopback sockets: byte orders, framing across receives, acknowledgements,
// and running orders end to end through the MOS dispatcher.
#include <gtest/gtest.h>

#include "common/Text.h"
#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

std::u16string Heartbeat(int messageID) {
  return u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>" +
         Utf8ToUtf16(std::to_string(messageID)) + u"</messageID><heartbeat/></mos>";
}

std::u16string HeartbeatAnswer(int messageID) {
  return u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>" +
         Utf8ToUtf16(std::to_string(messageID)) +
         u"</messageID><heartbeat><time>2027-01-15T08:00:00</time></heartbeat></mos>";
}

class Wire : public ServerTest {
 protected:
  Wire() {
    clock->SetUtc(kUnixEpochFileTime + 1'800'000'000ull * kTicksPerSecond);  // 2027-01-15 08:00
  }
  void SetUp() override { InitAndStart(); }
  // Waits until the server has taken `receives` receives on its connections.
  bool Received(std::size_t receives) {
    return WaitUntil([&] {
      return log.CountOf("Message to lower port is recieved") +
                 log.CountOf("Message to upper port is recieved") >=
             receives;
    });
  }
  static constexpr const char* kNotXml =
      "\nVIDRA - It is not XML or there is no brackets number equality, continue receiving\n";
};

TEST_F(Wire, EachNrcsIsAnsweredInItsOwnByteOrder) {
  for (const bool highFirst : {true, false}) {
    TestPeer peer;
    ASSERT_TRUE(peer.Connect(Lower()));
    ASSERT_TRUE(peer.Send(Utf16Bytes(Heartbeat(42), highFirst)));
    EXPECT_EQ(peer.ReceiveMessage(highFirst), HeartbeatAnswer(42)) << highFirst;
  }
}

TEST_F(Wire, MessagesInOneReceiveAreAllAnsweredAndJournalledEach) {
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Upper()));
  // Two whole messages and the start of a third: the answers of the two go out at once,
  // not held back for the third. The kernel lets held-back bytes go by itself after 200 ms,
  // so only a shorter wait tells a pushed answer from a forgotten one.
  const std::string third = Utf16Bytes(Heartbeat(3), true);
  ASSERT_TRUE(peer.Send(Utf16Bytes(Heartbeat(1) + Heartbeat(2), true) + third.substr(0, 30)));
  const std::u16string both = HeartbeatAnswer(1) + HeartbeatAnswer(2);
  const std::string bytes =
      peer.ReceiveUntil([&](const std::string& s) { return s.size() >= both.size() * 2; }, 150ms);
  EXPECT_EQ(Utf16FromBytes(bytes, true), both);
  ASSERT_TRUE(peer.Send(third.substr(30)));
  EXPECT_EQ(peer.ReceiveMessage(true), HeartbeatAnswer(3));
  ASSERT_TRUE(WaitUntil([&] { return JournalCount() == 6; }));
  EXPECT_EQ(JournalEntry(0)->text, Utf16ToUtf8(Heartbeat(1))) << "each message its own text";
  EXPECT_EQ(JournalEntry(2)->text, Utf16ToUtf8(Heartbeat(2)));
  EXPECT_EQ(JournalEntry(1)->direction, 0);
}

TEST_F(Wire, AMessageInThreeReceivesIsAnsweredAfterTheThird) {
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Lower()));
  const std::string bytes = Utf16Bytes(Heartbeat(7), true);
  ASSERT_TRUE(peer.Send(bytes.substr(0, 40)));
  ASSERT_TRUE(Received(1));
  ASSERT_TRUE(peer.Send(bytes.substr(40, 41)));  // odd: the unit at 80/81 is split
  ASSERT_TRUE(Received(2));
  EXPECT_EQ(peer.Receive(1, 100ms), "") << "nothing before the message is whole";
  ASSERT_TRUE(peer.Send(bytes.substr(81)));  // 4 bytes and more: a short big-endian tail
  EXPECT_EQ(peer.ReceiveMessage(true), HeartbeatAnswer(7));
  EXPECT_EQ(log.CountOf(kNotXml), 2u);
}

TEST_F(Wire, ShortTailOfABigEndianMessageStillLoads) {
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Lower()));
  const std::string bytes = Utf16Bytes(Heartbeat(8), true);
  ASSERT_TRUE(peer.Send(bytes.substr(0, bytes.size() - 8)));
  ASSERT_TRUE(Received(1));
  ASSERT_TRUE(peer.Send(bytes.substr(bytes.size() - 8)));  // "mos>": 4 units, mixed pairs
  EXPECT_EQ(peer.ReceiveMessage(true), HeartbeatAnswer(8));
  EXPECT_EQ(log.CountStartingWith("Can't define bytes order in input message"), 0u)
      << "the connection keeps the order its first message showed: a tail is not counted";
}

TEST_F(Wire, AnAmbiguousFirstReceiveFallsBackWithItsCounts) {
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Lower()));
  std::u16string message = Heartbeat(9);
  message.replace(12, 5, u"\u0101SRV");  // a unit with two non-zero bytes among the first 14
  ASSERT_TRUE(peer.Send(Utf16Bytes(message, false)));
  const std::u16string answer = peer.ReceiveMessage(false);
  EXPECT_NE(answer.find(u"<mosID>\u0101SRV</mosID>"), std::u16string::npos);
  EXPECT_EQ(log.CountOf("Can't define bytes order in input message and type of encoding: BE=13, "
                        "LE=0, ANSI=1. Use default encoding BE.\n"),
            1u);
}

TEST_F(Wire, BrokenMessagesAreAnsweredNackAndTheNextOneIsServed) {
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Lower()));
  // Whole (framed by <mos>...</mos>) and not XML: a mosAck NACK on the lower port says why,
  // with the messageID that the raw text shows.
  ASSERT_TRUE(peer.Send(Utf16Bytes(
      u"<MOS><mosID>VIDRA.NEWS</mosID><messageID>77</messageID><heartbeat/></mos>", true)));
  std::u16string answer = peer.ReceiveMessage(true);
  EXPECT_NE(answer.find(u"<messageID>77</messageID><mosAck><objID></objID><objRev>0</objRev>"
                        u"<status>NACK</status><statusDescription>malformed XML: "),
            std::u16string::npos)
      << Utf16ToUtf8(answer);
  EXPECT_NE(answer.find(u"at byte "), std::u16string::npos) << "where the parser stopped";
  EXPECT_EQ(log.CountOf(kNotXml), 0u) << "a whole message is not one still coming";
  // Noise, a broken message and a good one in one go: both are answered, in order.
  std::u16string noise(30000, u'x');
  ASSERT_TRUE(peer.Send(Utf16Bytes(noise + u"<mos><a></b></mos>" + Heartbeat(3), true)));
  answer = peer.ReceiveMessage(true);
  if (answer.find(HeartbeatAnswer(3)) == std::u16string::npos) {
    answer += peer.ReceiveMessage(true);
  }
  EXPECT_EQ(answer.find(u"<status>NACK</status><statusDescription>malformed XML: Start-end "
                        u"tags mismatch at byte 10</statusDescription>"),
            76u)
      << "the first answer is the NACK" << Utf16ToUtf8(answer);
  EXPECT_EQ(answer.substr(answer.size() - HeartbeatAnswer(3).size()), HeartbeatAnswer(3));
  // On the upper port the answer is a roAck with the roID the text names.
  TestPeer upper;
  ASSERT_TRUE(upper.Connect(Upper()));
  ASSERT_TRUE(upper.Send(
      Utf16Bytes(u"<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>9</messageID><roReq>"
                 u"<roID>R</roID></roRq></mos>",
                 true)));
  answer = upper.ReceiveMessage(true);
  EXPECT_NE(answer.find(u"<messageID>9</messageID><roAck><roID>R</roID><roStatus>NACK "
                        u"malformed XML: Start-end tags mismatch at byte "),
            std::u16string::npos)
      << Utf16ToUtf8(answer);
  // Cut short, a message is still coming: no answer yet, and the old line says so.
  ASSERT_TRUE(upper.Send(Utf16Bytes(u"<mos><roReq><roID>R", true)));
  EXPECT_TRUE(WaitUntil([&] { return log.CountOf(kNotXml) == 1; }));
  // A zero unit between two messages of one receive is skipped; both are answered.
  ASSERT_TRUE(peer.Send(Utf16Bytes(Heartbeat(4), true) + std::string(2, '\0') +
                        Utf16Bytes(Heartbeat(5), true)));
  std::u16string both = peer.ReceiveMessage(true);
  if (both.find(HeartbeatAnswer(5)) == std::u16string::npos) {
    both += peer.ReceiveMessage(true);
  }
  EXPECT_EQ(both, HeartbeatAnswer(4) + HeartbeatAnswer(5));
  EXPECT_EQ(log.CountOf("VIDRA - 2 bytes that are no MOS message are skipped\n"), 1u);
  ASSERT_TRUE(peer.Send(Utf16Bytes(Heartbeat(6), true)));
  EXPECT_EQ(peer.ReceiveMessage(true), HeartbeatAnswer(6));
}

// Three messages cut into two sends at every byte, in both byte orders and in UTF-8 (with a
// character of two bytes, and one of four as a surrogate pair): the same answers and the same
// journal entries every time.
TEST_F(Wire, AStreamCutAtEveryByteIsAnsweredAlike) {
  const std::u16string odd =
      u"<mos><mosID>K\u00F6ln\U0001F3A5</mosID><ncsID>NCS</ncsID>"
      u"<messageID>2</messageID><heartbeat/></mos>";
  const std::u16string stream = Heartbeat(1) + u"\r\n" + odd + Heartbeat(3);
  for (const int wire : {0, 1, 2}) {
    const std::string bytes = wire == 2 ? Utf16ToUtf8(stream) : Utf16Bytes(stream, wire == 0);
    const std::size_t step = bytes.size() > 400 ? 3 : 1;  // every unit boundary and between
    for (std::size_t cut = 1; cut < bytes.size(); cut += step) {
      TestPeer peer;
      ASSERT_TRUE(peer.Connect(Lower()));
      const std::size_t before = JournalCount();
      ASSERT_TRUE(peer.Send(bytes.substr(0, cut)));
      ASSERT_TRUE(peer.Send(bytes.substr(cut)));
      std::string got;
      const std::u16string want = HeartbeatAnswer(1) +
                                  u"<mos><mosID>K\u00F6ln\U0001F3A5</mosID><ncsID>NCS</ncsID>"
                                  u"<messageID>2</messageID><heartbeat><time>2027-01-15T08:00:00"
                                  u"</time></heartbeat></mos>" +
                                  HeartbeatAnswer(3);
      const std::string expected = wire == 2 ? Utf16ToUtf8(want) : Utf16Bytes(want, wire == 0);
      got = peer.ReceiveUntil([&](const std::string& s) { return s.size() >= expected.size(); });
      ASSERT_EQ(got, expected) << "wire " << wire << " cut " << cut;
      ASSERT_TRUE(WaitUntil([&] { return JournalCount() == before + 6; }));
      EXPECT_EQ(JournalEntry(static_cast<std::int32_t>(before + 2))->text, Utf16ToUtf8(odd));
    }
  }
  EXPECT_EQ(log.CountStartingWith("Can't define bytes order"), 0u);
  EXPECT_EQ(log.CountStartingWith("VIDRA - 2 bytes that are no MOS message"), 0u)
      << "a line end between messages is no garbage";
}

// A message that is whole but not well-formed, between two heartbeats, cut into two sends at
// every byte: while it is incomplete it waits; once whole it is refused at once with its
// messageID, and the heartbeat after it is answered, every time.
TEST_F(Wire, AMalformedMessageCutAtEveryByteIsRefusedOnceAndTheNextServed) {
  const std::u16string bad =
      u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>7</messageID><mosReqObj><objID>X"
      u"</mosReqObj></mos>";
  const std::string bytes = Utf16Bytes(Heartbeat(1) + bad + Heartbeat(3), true);
  for (std::size_t cut = 1; cut < bytes.size(); cut += 2) {
    TestPeer peer;
    ASSERT_TRUE(peer.Connect(Lower()));
    ASSERT_TRUE(peer.Send(bytes.substr(0, cut)));
    ASSERT_TRUE(peer.Send(bytes.substr(cut)));
    const std::string expected = Utf16Bytes(
        HeartbeatAnswer(1) +
            u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>7</messageID><mosAck><objID>"
            u"</objID><objRev>0</objRev><status>NACK</status><statusDescription>malformed XML: "
            u"Start-end tags mismatch at byte 88</statusDescription></mosAck></mos>" +
            HeartbeatAnswer(3),
        true);
    const std::string got =
        peer.ReceiveUntil([&](const std::string& so) { return so.size() >= expected.size(); });
    ASSERT_EQ(got, expected) << "cut " << cut;
  }
}

TEST_F(Wire, SingleByteTrafficIsReadAndAnsweredAsUtf8) {
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Lower()));
  ASSERT_TRUE(peer.Send(Utf16ToUtf8(Heartbeat(5))));
  const std::string expected = Utf16ToUtf8(HeartbeatAnswer(5));
  EXPECT_EQ(peer.Receive(expected.size()), expected);
}

TEST_F(Wire, AcknowledgementsOnEitherPortAreRecordedNotAnswered) {
  for (const auto& [port, id] : {std::pair{Lower(), 31}, std::pair{Upper(), 32}}) {
    TestPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><mosID>VIDRA</mosID><messageID>" +
                                         Utf8ToUtf16(std::to_string(id)) +
                                         u"</messageID><roAck><roID>R</roID><roStatus>OK"
                                         u"</roStatus></roAck></mos>",
                                     true)));
    EXPECT_TRUE(
        WaitUntil([&] { return Control().LastAckedNoticeId(htonl(INADDR_LOOPBACK)) == id; }));
    EXPECT_EQ(peer.Receive(1, 100ms), "");
  }
  EXPECT_EQ(JournalCount(), 2u) << "journalled, not answered";
}

class Nrcs : public Wire {
 protected:
  void SetUp() override {
    Wire::SetUp();
    ASSERT_TRUE(peer.Connect(Lower()));
  }
  std::string Ask(const std::string& body, int id) {
    const std::u16string message = u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>" +
                                   Utf8ToUtf16(std::to_string(id)) + u"</messageID>" +
                                   Utf8ToUtf16(body) + u"</mos>";
    EXPECT_TRUE(peer.Send(Utf16Bytes(message, true)));
    const std::string answer = Utf16ToUtf8(peer.ReceiveMessage(true));
    const std::string head = "<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>" +
                             std::to_string(id) + "</messageID>";
    EXPECT_EQ(answer.rfind(head, 0), 0u) << answer;
    return answer.substr(std::min(answer.size(), head.size()));
  }
  TestPeer peer;
};

// Written in the order the server writes running orders back, so roList must equal it.
const std::string kRunningOrder =
    "<roID>RO1</roID><roSlug>Evening news</roSlug><roEdStart>2027-01-15T19:00:00</roEdStart>"
    "<roEdDur>00:30:00</roEdDur><roTrigger>MANUAL</roTrigger><mosExternalMetadata><mosScope>"
    "PLAYLIST</mosScope><mosSchema>http://vidra/schema</mosSchema><mosPayload><Creator>ann"
    "</Creator><ModBy>bob</ModBy><Approved>1</Approved></mosPayload></mosExternalMetadata>"
    "<story><storyID>A</storyID><storySlug>Opener</storySlug><storyNum>1</storyNum><item>"
    "<itemID>1</itemID><itemSlug>Titles &amp; music</itemSlug><objID>OBJ-A</objID><mosID>VIDRA"
    "</mosID><mosPlugInID>VIDRA.Browse</mosPlugInID><mosAbstract>Titles</mosAbstract><objPaths>"
    "<objPath techDescription=\"MPEG2 Video\">\\\\server\\media\\a.mxf</objPath>"
    "<objProxyPath techDescription=\"WM9 750Kbps\">http://server/proxy/a.wmv</objProxyPath>"
    "</objPaths><objDur>250</objDur><objTB>25</objTB><itemChannel>B</itemChannel><itemEdStart>0"
    "</itemEdStart><itemUserTimingDur>250</itemUserTimingDur><itemTrigger>CHAINED</itemTrigger>"
    "</item></story><story><storyID>B</storyID><item><itemID>1</itemID>"
    "<objID>OBJ-B</objID><mosID>VIDRA</mosID></item></story><story><storyID>C</storyID></story>";

TEST_F(Nrcs, RunningOrdersEndToEnd) {
  EXPECT_EQ(Ask("<roCreate>" + kRunningOrder + "</roCreate>", 1),
            "<roAck><roID>RO1</roID><roStatus>OK</roStatus><storyID>A</storyID><itemID>1"
            "</itemID><objID>OBJ-A</objID><itemChannel>B</itemChannel><status>NEW</status>"
            "<storyID>B</storyID><itemID>1"
            "</itemID><objID>OBJ-B</objID><status>NEW</status></roAck></mos>");
  EXPECT_EQ(Ask("<roReq><roID>RO1</roID></roReq>", 2),
            "<roList>" + kRunningOrder + "</roList></mos>");
  EXPECT_NE(Ask("<roCreate><roID>RO2</roID></roCreate>", 3).find("<roStatus>OK"),
            std::string::npos);

  EXPECT_EQ(Ask("<roElementAction operation=\"MOVE\"><roID>RO1</roID><element_source><storyID>"
                "A</storyID></element_source></roElementAction>",
                4),
            "<roAck><roID>RO1</roID><roStatus>OK</roStatus></roAck></mos>");
  const std::string moved = Ask("<roReq><roID>RO1</roID></roReq>", 5);
  EXPECT_LT(moved.find("<storyID>B</storyID>"), moved.find("<storyID>A</storyID>"));
  EXPECT_LT(moved.find("<storyID>C</storyID>"), moved.find("<storyID>A</storyID>"));

  // A roCreate of a known roID replaces it in its place.
  Ask("<roCreate><roID>RO1</roID><roSlug>Late news</roSlug></roCreate>", 6);
  EXPECT_EQ(Ask("<roReqAll/>", 7),
            "<roListAll><ro><roID>RO1</roID><roSlug>Late news</roSlug></ro><ro><roID>RO2</roID>"
            "</ro></roListAll></mos>");
  EXPECT_EQ(Ask("<roDelete><roID>RO1</roID></roDelete>", 8),
            "<roAck><roID>RO1</roID><roStatus>OK</roStatus></roAck></mos>");
  EXPECT_EQ(Ask("<roDelete><roID>RO1</roID></roDelete>", 9),
            "<roAck><roID>RO1</roID><roStatus>NACK unknown roID</roStatus></roAck></mos>");
  EXPECT_EQ(Ask("<roReq><roID>RO1</roID></roReq>", 10),
            "<roAck><roID>RO1</roID><roStatus>NACK unknown roID</roStatus></roAck></mos>");
}

}  // namespace
}  // namespace vidra::test

// Status notices end to end: an NRCS with its own upper port drives playout with roCreate
// and roCtrl and hears each state change as a roElementStat, on a clock that runs with real
// time.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "common/Text.h"
#include "host/OnAirView.h"
#include "host/StatusView.h"
#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

// The NRCS's own upper port, listening before the server reads its settings.
struct NrcsPort {
  TestListener listener;
};

std::u16string Message(const std::string& messageID, const std::string& body) {
  return u"<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>" + Utf8ToUtf16(messageID) +
         u"</messageID>" + Utf8ToUtf16(body) + u"</mos>";
}

std::string Ack(int messageID) {
  return Utf16Bytes(
      Message(std::to_string(messageID), "<roAck><roID>RO1</roID><roStatus>OK</roStatus></roAck>"),
      true);
}

class Notices : public NrcsPort, public ServerTest {
 protected:
  Notices()
      : ServerTest({}, "NrcsUpperPort = " + std::to_string(listener.Port()) +
                           "\n[VIDRAServer]\nPath = " VIDRA_SOURCE_DATA
                           "/media/\n[State]\nResyncOnConnect = no\n") {}
  ~Notices() override { control_.reset(); }  // while the clock still runs
  void SetUp() override { InitAndStart(); }

  // The NRCS connects to the server's upper port; the server's sender connects back.
  void ConnectNrcs() {
    ASSERT_TRUE(nrcs.Connect(Upper()));
    ASSERT_TRUE(listener.Accept(notices));
  }
  std::u16string Ask(int messageID, const std::string& body) {
    EXPECT_TRUE(nrcs.Send(Utf16Bytes(Message(std::to_string(messageID), body), true)));
    return nrcs.ReceiveMessage(true);
  }
  std::optional<Entry> FindEntry(const std::string& part) {
    for (std::int32_t n = 0; const auto entry = JournalEntry(n); ++n) {
      if (entry->text.find(part) != std::string::npos) {
        return entry;
      }
    }
    return std::nullopt;
  }

  ClockPump pump{*clock};
  TestPeer nrcs;
  TestPeer notices;
};

TEST_F(Notices, PlayoutStatesReachTheNrcsAndItsAcknowledgementsEndEachWait) {
  ConnectNrcs();
  // TIMED, but far ahead: only the roCtrl starts it.
  EXPECT_NE(Ask(101,
                "<roCreate><roID>RO1</roID><roEdStart>2099-01-01T00:00:00</roEdStart>"
                "<roTrigger>TIMED</roTrigger><story><storyID>A</storyID><item><itemID>1</itemID>"
                "<objID>O1</objID><mosID>VIDRA</mosID><objPaths><objPath>sting.wav</objPath>"
                "</objPaths></item></story></roCreate>")
                .find(u"<roStatus>OK</roStatus>"),
            std::u16string::npos);
  // A roCtrl right after the roCreate checks its item on the spot.
  const std::string execute =
      "<roCtrl><roID>RO1</roID><storyID>A</storyID><itemID>1</itemID><command>EXECUTE</command>"
      "</roCtrl>";
  ASSERT_TRUE(WaitUntil(
      [&] { return Ask(102, execute).find(u"<roStatus>OK</roStatus>") != std::u16string::npos; }));

  EXPECT_NE(Ask(103, "<roReq><roID>RO1</roID></roReq>").find(u"<roTrigger>TIMED</roTrigger>"),
            std::u16string::npos)
      << "an accepted roCtrl ends the timed start, but roList gives back the NRCS's word";

  const std::u16string ready = notices.ReceiveMessage(true);
  EXPECT_EQ(ready.rfind(u"<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>2</messageID>"
                        u"<roElementStat element=\"ITEM\"><roID>RO1</roID><storyID>A</storyID>"
                        u"<itemID>1</itemID><objID>O1</objID><status>READY</status><time>",
                        0),
            0u)
      << Utf16ToUtf8(ready);
  ASSERT_TRUE(notices.Send(Ack(2)));
  const std::u16string play = notices.ReceiveMessage(true);
  EXPECT_NE(play.find(u"<messageID>3</messageID>"), std::u16string::npos) << Utf16ToUtf8(play);
  EXPECT_NE(play.find(u"<status>PLAY</status>"), std::u16string::npos);
  ASSERT_TRUE(nrcs.Send(Ack(3)));  // on the NRCS's own connection this time
  ASSERT_TRUE(WaitUntil(
      [&] { return log.CountOf("VIDRA - ... Answer was detected on main connection\n"); }));
  EXPECT_EQ(log.CountStartingWith("VIDRA - ... Answer for notify is received: "), 1u);
  EXPECT_EQ(log.CountStartingWith("VIDRA - ... Timeout"), 0u);

  // The notice as sent, its answer on the notice connection and the one on the NRCS's own
  // connection, each with the client number of the way it went.
  const auto notice = FindEntry("<messageID>2</messageID><roElementStat");
  const auto onNotices = FindEntry("<messageID>2</messageID><roAck>");
  const auto onMain = FindEntry("<messageID>3</messageID><roAck>");
  ASSERT_TRUE(notice && onNotices && onMain);
  EXPECT_EQ(notice->text, Utf16ToUtf8(ready));
  EXPECT_EQ(notice->direction, 0);
  EXPECT_EQ(onNotices->direction, 1);
  EXPECT_EQ(onMain->direction, 1);
  EXPECT_NE(onNotices->clientId, notice->clientId);
  EXPECT_NE(onMain->clientId, onNotices->clientId);
  EXPECT_EQ(FindEntry("<messageID>3</messageID><roElementStat")->clientId, notice->clientId);
}

// An NRCS that opens a connection per message gets one sender, not one per connection; when
// that sender's connection closes, the next connection from the NRCS starts a new one, which
// counts from 2 again.
TEST_F(Notices, EachNrcsHostHasOneSenderAtATime) {
  ConnectNrcs();
  for (int i = 0; i < 100; ++i) {
    TestPeer again;
    ASSERT_TRUE(again.Connect(Upper()));
    // One at a time, as such an NRCS works: the listen backlog is short.
    ASSERT_TRUE(WaitUntil([&] {
      return log.CountOf("Thread for client on up port is created\n") ==
             static_cast<std::size_t>(i) + 2;
    }));
    if (i % 2 == 0) {
      again.Reset();
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 1; }));
  EXPECT_EQ(Control().NoticeSenders(), 1u);
  TestPeer extra;
  EXPECT_FALSE(listener.Accept(extra, 300ms)) << "a second sender connected";

  notices.Close();
  ASSERT_TRUE(WaitUntil([&] { return Control().NoticeSenders() == 0; }));
  TestPeer later;
  ASSERT_TRUE(later.Connect(Upper()));
  ASSERT_TRUE(listener.Accept(notices));
  StatusNotice stop;
  stop.roID = "RO1";
  stop.status = "STOP";
  ASSERT_TRUE(Control().Playout()->PushNotice(stop));
  const std::u16string notice = notices.ReceiveMessage(true);
  EXPECT_NE(notice.find(u"<messageID>2</messageID><roElementStat element=\"RO\">"),
            std::u16string::npos)
      << Utf16ToUtf8(notice);
  ASSERT_TRUE(notices.Send(Ack(2)));
  EXPECT_TRUE(WaitUntil(
      [&] { return log.CountStartingWith("VIDRA - ... Answer for notify is received: ") == 1; }));
}

// Two NRCS hosts, each with its own upper port on the same port number: one on 127.0.0.1,
// one on 127.0.0.2.
struct TwoNrcsPorts {
  TestListener first;
  TestListener second{"127.0.0.2", first.Port()};
};

class TwoNrcs : public TwoNrcsPorts, public ServerTest {
 protected:
  // network: more of the [Network] settings.
  explicit TwoNrcs(const std::string& network = "")
      : ServerTest({}, "NrcsUpperPort = " + std::to_string(first.Port()) +
                           "\nAllowedHosts = 127.0.0.1, 127.0.0.2/32\n" + network +
                           "[VIDRAServer]\nPath = " VIDRA_SOURCE_DATA
                           "/media/\n[State]\nResyncOnConnect = no\n") {}
  ~TwoNrcs() override { control_.reset(); }
  void SetUp() override { InitAndStart(); }

  // The notices that came on a connection within the time, each acknowledged.
  static std::vector<std::u16string> Heard(TestPeer& notices, std::chrono::milliseconds time) {
    std::vector<std::u16string> heard;
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
      const std::u16string notice = notices.ReceiveMessage(true, 200ms);
      if (notice.empty()) {
        continue;
      }
      heard.push_back(notice);
      const std::size_t from = notice.find(u"<messageID>") + 11;
      const std::u16string id = notice.substr(from, notice.find(u"</messageID>") - from);
      EXPECT_TRUE(notices.Send(Ack(std::stoi(Utf16ToUtf8(id)))));
    }
    return heard;
  }

  // Each NRCS connects to the upper port, and the server's sender connects back to each.
  void ConnectBoth() {
    ASSERT_TRUE(nrcsA.Connect(Upper()));
    ASSERT_TRUE(first.Accept(noticesA));
    ASSERT_TRUE(nrcsB.Connect(Upper(), "127.0.0.2"));
    ASSERT_TRUE(second.Accept(noticesB));
  }

  ClockPump pump{*clock};
  TestPeer nrcsA;  // 127.0.0.1
  TestPeer nrcsB;  // 127.0.0.2
  TestPeer noticesA;
  TestPeer noticesB;
};

TEST_F(TwoNrcs, EachRunningOrdersStatesGoToTheNrcsThatSentIt) {
  ConnectBoth();
  const auto ask = [](TestPeer& nrcs, int messageID, const std::string& body) {
    EXPECT_TRUE(nrcs.Send(Utf16Bytes(Message(std::to_string(messageID), body), true)));
    return nrcs.ReceiveMessage(true);
  };
  const auto create = [](const std::string& roID) {
    return "<roCreate><roID>" + roID +
           "</roID><story><storyID>A</storyID><item><itemID>1</itemID><objID>O1</objID>"
           "<mosID>VIDRA</mosID><objPaths><objPath>sting.wav</objPath></objPaths></item>"
           "</story></roCreate>";
  };
  const auto execute = [](const std::string& roID) {
    return "<roCtrl><roID>" + roID +
           "</roID><storyID>A</storyID><itemID>1</itemID><command>EXECUTE</command></roCtrl>";
  };
  // The second running order's start stops the first: its STOP belongs to the first NRCS.
  EXPECT_NE(ask(nrcsA, 1, create("RO1")).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  EXPECT_NE(ask(nrcsB, 1, create("RO2")).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  EXPECT_NE(ask(nrcsA, 2, execute("RO1")).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  const std::vector<std::u16string> firstHeard = Heard(noticesA, 1s);
  EXPECT_NE(ask(nrcsB, 2, execute("RO2")).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  std::vector<std::u16string> heardA = Heard(noticesA, 1500ms);
  // B's sender waits for the acknowledgement of its READY before it sends PLAY: give it the
  // time to, under a loaded machine too.
  const std::vector<std::u16string> heardB = Heard(noticesB, 1500ms);
  heardA.insert(heardA.begin(), firstHeard.begin(), firstHeard.end());

  const auto count = [](const std::vector<std::u16string>& heard, std::u16string_view part) {
    return std::count_if(heard.begin(), heard.end(), [&](const std::u16string& notice) {
      return notice.find(part) != std::u16string::npos;
    });
  };
  EXPECT_GE(count(heardA, u"<roID>RO1</roID>"), 2) << "its READY and PLAY at least";
  EXPECT_GE(count(heardA, u"<status>STOP</status>"), 1) << "the stop the second start made";
  EXPECT_GE(count(heardB, u"<roID>RO2</roID>"), 2);
  EXPECT_EQ(count(heardA, u"<roID>RO2</roID>"), 0) << "another NRCS's running order";
  EXPECT_EQ(count(heardB, u"<roID>RO1</roID>"), 0);
  EXPECT_EQ(count(heardA, u"<status>PLAY</status>") + count(heardB, u"<status>PLAY</status>"), 2);
}

// The newsroom's own pair: a main NRCS on 127.0.0.1 and its buddy on 127.0.0.2, set up as
// the server's NrcsBuddy.
class BuddyNrcs : public TwoNrcs {
 protected:
  BuddyNrcs() : TwoNrcs("NrcsBuddy = 127.0.0.2\n") {}
};

// Either NRCS may send the running order: the same roID is one running order. Its notices go
// to the main while it is there, to the buddy (named by its own ncsID) once the main is gone,
// and back to the main when it is heard again; the page says which one is active.
TEST_F(BuddyNrcs, NoticesFollowTheActiveNrcsOfThePair) {
  ConnectBoth();
  TestPeer& main = nrcsA;
  TestPeer& buddy = nrcsB;
  TestPeer& mainNotices = noticesA;
  TestPeer& buddyNotices = noticesB;
  const auto ask = [](TestPeer& nrcs, const char* ncsID, int messageID, const std::string& body) {
    EXPECT_TRUE(
        nrcs.Send(Utf16Bytes(u"<mos><mosID>VIDRA.NEWS</mosID><ncsID>" + Utf8ToUtf16(ncsID) +
                                 u"</ncsID><messageID>" + Utf8ToUtf16(std::to_string(messageID)) +
                                 u"</messageID>" + Utf8ToUtf16(body) + u"</mos>",
                             true)));
    return nrcs.ReceiveMessage(true);
  };
  const std::string create =
      "<roCreate><roID>RO1</roID><story><storyID>A</storyID><item><itemID>1</itemID>"
      "<objID>O1</objID><mosID>VIDRA</mosID><objPaths><objPath>sting.wav</objPath></objPaths>"
      "</item></story></roCreate>";
  const auto control = [](const char* command) {
    return std::string("<roCtrl><roID>RO1</roID><storyID>A</storyID><itemID>1</itemID><command>") +
           command + "</command></roCtrl>";
  };
  const auto has = [](const std::vector<std::u16string>& heard, std::u16string_view part) {
    return std::any_of(heard.begin(), heard.end(), [&](const std::u16string& notice) {
      return notice.find(part) != std::u16string::npos;
    });
  };
  EXPECT_NE(ask(main, "NCS", 1, create).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  EXPECT_NE(ask(buddy, "BUDDY", 1, create).find(u"<roStatus>OK</roStatus>"), std::u16string::npos);
  EXPECT_EQ(Control().Playout()->Store(0).GetRoCount(), 1) << "one running order from either";
  EXPECT_NE(ask(main, "NCS", 2, control("EXECUTE")).find(u"<roStatus>OK</roStatus>"),
            std::u16string::npos);
  const std::vector<std::u16string> onMain = Heard(mainNotices, 1500ms);
  EXPECT_TRUE(has(onMain, u"<status>PLAY</status>"));
  EXPECT_TRUE(Heard(buddyNotices, 300ms).empty()) << "the buddy hears nothing while the main is";
  EXPECT_EQ(NrcsPairJson(Control())["active"], "main");

  // The main goes away: the buddy gets the notices, with its own ncsID.
  mainNotices.Close();
  main.Close();
  ASSERT_TRUE(WaitUntil([&] { return NrcsPairJson(Control())["active"] == "buddy"; }));
  EXPECT_NE(ask(buddy, "BUDDY", 2, control("EXECUTE")).find(u"<roStatus>OK</roStatus>"),
            std::u16string::npos);
  const std::vector<std::u16string> onBuddy = Heard(buddyNotices, 1500ms);
  EXPECT_TRUE(has(onBuddy, u"<status>PLAY</status>"));
  EXPECT_TRUE(has(onBuddy, u"<ncsID>BUDDY</ncsID>"));
  EXPECT_FALSE(has(onBuddy, u"<ncsID>NCS</ncsID>"));
  const nlohmann::json links = LinksView(Control());
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0]["nrcs"], "main");
  EXPECT_EQ(links[0]["active"], false);
  EXPECT_EQ(links[1]["nrcs"], "buddy");
  EXPECT_EQ(links[1]["active"], true);
  const nlohmann::json view = NrcsPairJson(Control());
  EXPECT_EQ(view["main"], "127.0.0.1");
  EXPECT_EQ(view["why"], "main NRCS 127.0.0.1 closed the notice connection");

  // The main is back: its first message makes it the active one again.
  TestPeer mainAgain;
  ASSERT_TRUE(mainAgain.Connect(Upper()));
  ASSERT_TRUE(first.Accept(mainNotices));
  EXPECT_NE(ask(mainAgain, "NCS", 3, "<heartbeat/>").find(u"<heartbeat"), std::u16string::npos);
  ASSERT_TRUE(WaitUntil([&] { return NrcsPairJson(Control())["active"] == "main"; }));
  EXPECT_NE(ask(buddy, "BUDDY", 3, control("EXECUTE")).find(u"<roStatus>OK</roStatus>"),
            std::u16string::npos);
  EXPECT_TRUE(has(Heard(mainNotices, 1500ms), u"<status>PLAY</status>"));
  EXPECT_FALSE(has(Heard(buddyNotices, 300ms), u"<status>PLAY</status>"));
  EXPECT_EQ(NrcsPairJson(Control())["failovers"], 2);
}

}  // namespace
}  // namespace vidra::test

// The clip-state sender against a fake NRCS that listens on its own upper port. The server
// parts are put together by hand, without port threads or playout threads, on a clock that moves
// only when the sender sleeps: the wait for an answer then lasts exactly as long in
// simulated time as the sender's own sleeps add up to.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "common/Log.h"
#include "common/Text.h"
#include "tests/support/TestSupport.h"
#include "transport/NoticeSender.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

const in_addr_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr const char* kTimeout5100 =
    "VIDRA - ... Timeout 5100ms (>5000) for answer wating (no answer).\n";
constexpr const char* kFinish = "\nVIDRA::Thread for clip state sending finish.\n";

StatusNotice Notice(const char* status) {
  StatusNotice notice;
  notice.roID = "RO1";
  notice.storyID = "A";
  notice.itemID = "1";
  notice.objID = "O1";
  notice.status = status;
  notice.time = "2027-01-15T08:00:00";
  notice.mosID = "VIDRA";
  notice.ncsID = "NCS";
  return notice;
}

std::string Ack(const std::string& messageID, const std::u16string& status = u"OK") {
  return Utf16Bytes(u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>" +
                        Utf8ToUtf16(messageID) + u"</messageID><roAck><roID>RO1</roID><roStatus>" +
                        status + u"</roStatus></roAck></mos>",
                    true);
}

std::string MessageId(const std::u16string& notice) {
  static const std::regex id("<messageID>([^<]*)</messageID>");
  std::smatch match;
  const std::string text = Utf16ToUtf8(notice);
  return std::regex_search(text, match, id) ? match[1].str() : "";
}

class NoticeSender : public ::testing::Test {
 protected:
  explicit NoticeSender(ManualClock::Mode mode = ManualClock::Mode::AutoAdvance)
      : clock(std::make_shared<ManualClock>(kUnixEpochFileTime, mode)),
        player(std::make_unique<PlayoutManager>(clock)),
        server(clock) {
    server.player = player.get();
    server.stop = stop.get_token();
    server.network.nrcsUpperPort = nrcs.Port();
    server.journal.Init();
    server.clientQueue.Init(0);
  }
  ~NoticeSender() override { Stop(); }

  void Start() { StartNoticeSender(server, kLoopback); }
  void Stop() {
    stop.request_stop();
    server.noticeThreads.JoinAll();
  }
  void Push(const char* status) { ASSERT_TRUE(server.player->PushNotice(Notice(status))); }
  // Connects the sender and takes its connection.
  void Accept() {
    Start();
    ASSERT_TRUE(nrcs.Accept(notices));
  }
  std::u16string NextNotice() { return notices.ReceiveMessage(true, 10s); }
  std::vector<MessageRecord> Journal() {
    std::vector<MessageRecord> all;
    MessageRecord record;
    for (std::int32_t n = 0; server.journal.GetByNumber(n, record) == HResult::S_OK; ++n) {
      all.push_back(record);
    }
    return all;
  }

  LogCapture log;
  TestListener nrcs;
  std::shared_ptr<ManualClock> clock;
  std::unique_ptr<PlayoutManager> player;
  std::stop_source stop;
  ServerParts server;
  TestPeer notices;
};

// An NRCS that never gives a usable answer: a heartbeat, an acknowledgement of another
// notice, one whose messageID is not a number and a broken text are journalled or dropped,
// and each notice is given up 5100 ms after it went out; the next one goes out after that.
TEST_F(NoticeSender, UnansweredNoticesTimeOutOneAfterTheOther) {
  Push("READY");
  Push("PLAY");
  Accept();
  const std::u16string first = NextNotice();
  EXPECT_EQ(MessageId(first), "2");
  EXPECT_NE(first.find(u"<roElementStat element=\"ITEM\"><roID>RO1</roID><storyID>A</storyID>"
                       u"<itemID>1</itemID><objID>O1</objID><status>READY</status>"),
            std::u16string::npos)
      << Utf16ToUtf8(first);
  ASSERT_TRUE(notices.Send(
      Utf16Bytes(u"<mos><mosID>VIDRA</mosID><messageID>9</messageID><heartbeat/></mos>", true) +
      Ack("1") + Ack("two") + Utf16Bytes(u"<mos><roAck></mos>", true)));
  const std::u16string second = NextNotice();
  EXPECT_EQ(MessageId(second), "3");
  EXPECT_NE(second.find(u"<status>PLAY</status>"), std::u16string::npos);
  ASSERT_TRUE(WaitUntil([&] { return log.CountOf(kTimeout5100) == 2; }));
  EXPECT_EQ(log.CountStartingWith("VIDRA - ... Answer for notify is received: "), 1u);
  EXPECT_TRUE(log.HasInOrder({"\nVIDRA::Thread for clip state sending start...\n",
                              "VIDRA - Wait answer after notify...\n", kTimeout5100,
                              "VIDRA - Wait answer after notify...\n", kTimeout5100}));

  // Both notices are journalled as sent by the sender's first client number; the three
  // whole messages that came back, as received by its second.
  const auto journal = Journal();
  ASSERT_EQ(journal.size(), 5u);
  EXPECT_EQ(journal[0].direction, kDirectionSent);
  EXPECT_EQ(journal[0].text, Utf16ToUtf8(first));
  EXPECT_EQ(journal[0].encodingType, EncodingType::Undetermined);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(journal[i].direction, kDirectionReceived) << i;
    EXPECT_EQ(journal[i].clientNumber, journal[0].clientNumber + 1) << i;
  }
  EXPECT_NE(journal[1].text.find("<heartbeat/>"), std::string::npos);
  EXPECT_EQ(journal[4].text, Utf16ToUtf8(second));
  EXPECT_EQ(journal[4].clientNumber, journal[0].clientNumber);
}

// Answers on the notice connection end the wait, even one that comes in two pieces; an
// acknowledgement that the same host gave before the notice went out does not, although
// it carries the notice's messageID (an earlier sender counted from 2 as well).
TEST_F(NoticeSender, OnlyAFreshAcknowledgementFromTheHostAnswers) {
  server.noticeHosts.RecordAck(kLoopback, 2, 0);
  server.noticeHosts.RecordAck(htonl(INADDR_LOOPBACK + 1), 3, 0);  // another host
  Push("READY");
  Push("PLAY");
  Push("STOP");
  Accept();
  EXPECT_EQ(MessageId(NextNotice()), "2");
  EXPECT_EQ(MessageId(NextNotice()), "3");  // after the stale one timed out
  EXPECT_EQ(log.CountOf(kTimeout5100), 1u);
  const std::string ack = Ack("3");
  ASSERT_TRUE(notices.Send(ack.substr(0, 51)));
  ASSERT_TRUE(WaitUntil(
      [&] { return log.CountStartingWith("VIDRA - ... Answer for notify is received: ") == 1; }));
  ASSERT_TRUE(notices.Send(ack.substr(51)));
  const std::u16string third = NextNotice();
  EXPECT_EQ(MessageId(third), "4");
  EXPECT_EQ(log.CountOf(kTimeout5100), 1u) << "the answer came before the limit";
  EXPECT_EQ(server.noticeHosts.LastAckedId(kLoopback), 3);
  ASSERT_TRUE(notices.Send(Ack("4")));
  ASSERT_TRUE(WaitUntil([&] { return log.CountStartingWith("VIDRA - ... Answer for") == 3; }));
  EXPECT_EQ(log.CountOf(kTimeout5100), 1u);
}

// A host that does not listen gets no notices and does not lose any: they wait in the queue
// for a later sender. The claim on the host ends with the sender.
TEST_F(NoticeSender, AHostThatDoesNotListenLeavesTheQueueAlone) {
  nrcs.Close();
  Push("READY");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return server.noticeHosts.Senders() == 0; }));
  EXPECT_EQ(log.CountOf("\nVIDRA::Thread for clip state sending start ERROR - can't open socket "
                        "on remote client\n"),
            1u);
  EXPECT_EQ(server.player->NoticeCount(), 1u);
  EXPECT_EQ(log.CountStartingWith("\nVIDRA - Send notify"), 0u);
}

// The NRCS closes its notice port while a notice waits for its answer: the wait ends at
// once, without the time-out line, and the sender ends; so does one whose NRCS closed the
// connection while no notice was waiting, before any notice is spent on it.
TEST_F(NoticeSender, AClosedNoticeConnectionEndsTheSender) {
  Push("READY");
  Push("PLAY");
  Accept();
  EXPECT_EQ(MessageId(NextNotice()), "2");
  notices.Close();
  ASSERT_TRUE(WaitUntil([&] { return server.noticeHosts.Senders() == 0; }));
  EXPECT_EQ(log.CountOf("VIDRA - ... Notice connection to 127.0.0.1 is closed by the NRCS; the "
                        "notice counts as unanswered.\n"),
            1u);
  EXPECT_EQ(log.CountStartingWith("VIDRA - ... Timeout"), 0u);
  EXPECT_EQ(log.CountOf(kFinish), 1u);
  EXPECT_EQ(server.player->NoticeCount(), 1u) << "the next notice is kept for a later sender";

  // A new sender for the host counts from 2 again.
  Accept();
  EXPECT_EQ(MessageId(NextNotice()), "2");
  notices.Send(Ack("2"));
  ASSERT_TRUE(WaitUntil([&] { return log.CountStartingWith("VIDRA - ... Answer for") == 1; }));
  EXPECT_EQ(server.player->NoticeCount(), 0u);
  notices.Reset();
  ASSERT_TRUE(WaitUntil([&] { return server.noticeHosts.Senders() == 0; }));
  Push("STOP");
  EXPECT_EQ(server.player->NoticeCount(), 1u);
  EXPECT_EQ(log.CountOf(kFinish), 2u);
}

// A newsroom's main NRCS and its buddy: the notices of the main's running order go to the
// main while it takes them; to the buddy, with the buddy's own ncsID, when the main answers
// that it is not active or closes its connection; back to the main when the buddy answers
// that the main is available, or when a main that could not be reached is heard again. A
// notice one of them did not take goes to the other; none is lost or sent twice to one.
TEST_F(NoticeSender, NoticesGoToTheBuddyWhileTheMainDoesNotTakeThem) {
  in_addr buddyAddress{};
  ASSERT_EQ(::inet_pton(AF_INET, "127.0.0.2", &buddyAddress), 1);
  const in_addr_t buddyHost = buddyAddress.s_addr;
  TestListener buddy("127.0.0.2", nrcs.Port());
  TestPeer buddyNotices;
  server.nrcs.Configure(buddyHost);
  server.resync.RecordNcs(buddyHost, "BUDDY");
  EXPECT_FALSE(server.nrcs.Heard(kLoopback, true, 0)) << "the main is active from the start";
  const auto push = [&](const char* status) {
    StatusNotice notice = Notice(status);
    notice.host = kLoopback;  // the main sent the running order
    ASSERT_TRUE(server.player->PushNotice(notice));
  };

  push("READY");
  Accept();
  const std::u16string first = NextNotice();
  EXPECT_NE(first.find(u"<ncsID>NCS</ncsID>"), std::u16string::npos);
  ASSERT_TRUE(notices.Send(Ack(MessageId(first), u"NACK main server is not active")));
  ASSERT_TRUE(buddy.Accept(buddyNotices));
  const std::u16string handed = buddyNotices.ReceiveMessage(true, 10s);
  EXPECT_NE(handed.find(u"<status>READY</status>"), std::u16string::npos);
  EXPECT_NE(handed.find(u"<ncsID>BUDDY</ncsID>"), std::u16string::npos) << Utf16ToUtf8(handed);
  EXPECT_TRUE(server.nrcs.Describe().buddyActive);
  ASSERT_TRUE(buddyNotices.Send(Ack(MessageId(handed))));
  // The main's sender stays, idle: the pair's notices are the buddy's now.
  push("PLAY");
  const std::u16string play = buddyNotices.ReceiveMessage(true, 10s);
  EXPECT_NE(play.find(u"<status>PLAY</status>"), std::u16string::npos);
  EXPECT_TRUE(server.nrcs.Heard(kLoopback, false, 0) == std::nullopt)
      << "a heartbeat from a main that would not take notices does not bring it back";
  const in_addr_t monitor = htonl(INADDR_LOOPBACK + 9);
  EXPECT_TRUE(server.nrcs.Heard(monitor, false, 0) == std::nullopt);
  EXPECT_TRUE(server.nrcs.Failed(monitor, NrcsFault::Unreachable, "is gone", 0) == std::nullopt);
  EXPECT_EQ(server.nrcs.Describe().main, kLoopback) << "a host that sends no running orders";
  EXPECT_TRUE(server.nrcs.Describe().buddyActive);

  ASSERT_TRUE(buddyNotices.Send(
      Ack(MessageId(play), u"Buddy server cannot respond because main server is available")));
  const std::u16string back = NextNotice();
  EXPECT_NE(back.find(u"<status>PLAY</status>"), std::u16string::npos) << Utf16ToUtf8(back);
  EXPECT_NE(back.find(u"<ncsID>NCS</ncsID>"), std::u16string::npos);
  EXPECT_FALSE(server.nrcs.Describe().buddyActive);
  ASSERT_TRUE(notices.Send(Ack(MessageId(back))));

  // The main goes away: its sender ends, and the buddy's takes the next notice.
  notices.Close();
  ASSERT_TRUE(WaitUntil([&] { return server.nrcs.Describe().buddyActive; }));
  push("STOP");
  const std::u16string stopped = buddyNotices.ReceiveMessage(true, 10s);
  EXPECT_NE(stopped.find(u"<status>STOP</status>"), std::u16string::npos) << Utf16ToUtf8(stopped);
  ASSERT_TRUE(buddyNotices.Send(Ack(MessageId(stopped))));
  ASSERT_TRUE(WaitUntil([&] { return server.player->NoticeCount() == 0; }));

  // Any message from the main that was gone brings it back, with a sender of its own.
  const std::optional<in_addr_t> wake = server.nrcs.Heard(kLoopback, false, 0);
  ASSERT_TRUE(wake);
  EXPECT_EQ(*wake, kLoopback);
  StartNoticeSender(server, *wake);
  TestPeer again;
  ASSERT_TRUE(nrcs.Accept(again));
  push("READY");
  EXPECT_NE(again.ReceiveMessage(true, 10s).find(u"<status>READY</status>"), std::u16string::npos);
  const NrcsPairView view = server.nrcs.Describe();
  EXPECT_EQ(view.failovers, 4u);
  EXPECT_EQ(view.main, kLoopback);
  EXPECT_EQ(view.buddy, buddyHost);
  EXPECT_EQ(view.why, "main NRCS 127.0.0.1 is heard again");
  EXPECT_EQ(log.CountOf("VIDRA - notices go to the buddy NRCS 127.0.0.2 from now on: main NRCS "
                        "127.0.0.1 answers 'NACK main server is not active'\n"),
            1u);
  EXPECT_EQ(log.CountStartingWith("VIDRA - notices go to the main NRCS 127.0.0.1 from now on: "
                                  "buddy NRCS 127.0.0.2 answers 'Buddy server"),
            1u);
}

// Both NRCS of the pair fail, the main first: the notices wait, and go to the one heard
// first; the buddy's return does not take them while the main takes them.
TEST(NrcsPair, WithBothGoneTheOneHeardFirstTakesTheNotices) {
  const in_addr_t main = htonl(0x0A010203);
  const in_addr_t buddy = htonl(0x0A010204);
  NrcsPair pair;
  pair.Configure(buddy);
  EXPECT_FALSE(pair.Heard(main, true, 0));
  EXPECT_FALSE(pair.Failed(buddy, NrcsFault::Unreachable, "cannot be reached", 0))
      << "the buddy is not the active one";
  EXPECT_FALSE(pair.Failed(main, NrcsFault::Unreachable, "cannot be reached", 0))
      << "with the buddy gone too, the notices wait";
  EXPECT_EQ(pair.Route().For(main), main);
  EXPECT_EQ(pair.Heard(buddy, false, 0), buddy);
  EXPECT_EQ(pair.Route().For(main), buddy);
  EXPECT_EQ(pair.Describe().why,
            "buddy NRCS 10.1.2.4 is heard again, and the main does not take notices");
  EXPECT_EQ(pair.Heard(main, false, 0), main) << "a main that could not be reached is back";
  EXPECT_EQ(pair.Route().For(buddy), main);

  EXPECT_FALSE(pair.Failed(buddy, NrcsFault::Unreachable, "cannot be reached", 0));
  EXPECT_FALSE(pair.Heard(buddy, false, 0)) << "the main takes the notices";
  EXPECT_FALSE(pair.Route().buddyActive);
}

// On a clock that stands still, the wait can only end by a stop: at its next turn, with the
// time-out line; the notices still waiting stay in the queue.
class StoppedNoticeSender : public NoticeSender {
 protected:
  StoppedNoticeSender() : NoticeSender(ManualClock::Mode::Blocking) {}
};

TEST_F(StoppedNoticeSender, AStopLeavesWaitingNoticesInTheQueue) {
  Push("READY");
  Push("PLAY");
  Push("STOP");
  Accept();
  ASSERT_TRUE(WaitUntil([&] { return clock->Sleepers() == 1; }));
  clock->Advance(200ms);  // the queue poll
  EXPECT_EQ(MessageId(NextNotice()), "2");
  ASSERT_TRUE(WaitUntil([&] { return log.CountOf("VIDRA - Wait answer after notify...\n") == 1; }));
  Stop();
  EXPECT_EQ(log.CountOf("VIDRA - ... Timeout 0ms (>5000) for answer wating (no answer).\n"), 1u);
  EXPECT_EQ(log.CountOf(kFinish), 1u);
  EXPECT_EQ(server.player->NoticeCount(), 2u);
  EXPECT_EQ(server.noticeHosts.Senders(), 0u);
}

}  // namespace
}  // namespace vidra::test

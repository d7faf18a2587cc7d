// Connections on both ports as an NRCS makes them: client numbers, answers in the sender's
// byte order, stops, DeInit with live peers, and peers that misbehave.
#include <gtest/gtest.h>

#include <thread>

#include "common/Text.h"
#include "host/StatusView.h"
#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

class Echo : public ServerTest {
 protected:
  Echo() : ServerTest([] { return std::make_unique<EchoSession>(); }) {}
};

TEST_F(Echo, EachConnectionHasItsOwnPairOfClientNumbers) {
  InitAndStart();
  TestPeer first;
  TestPeer second;
  ASSERT_TRUE(first.Connect(Lower()));
  // The first thread has taken its numbers once it waits for its first receive.
  ASSERT_TRUE(WaitUntil([&] { return log.CountOf("Try to accept mess to low port") == 1; }));
  ASSERT_TRUE(second.Connect(Upper()));
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 2; }));

  const std::u16string message = u"<mos><heartbeat/></mos>";
  ASSERT_TRUE(second.Send(Utf16Bytes(message, true)));
  const std::string expected = Utf16Bytes(u"<answer up>" + message, true);
  EXPECT_EQ(second.Receive(expected.size()), expected) << "answered high byte first";
  ASSERT_TRUE(first.Send(Utf16Bytes(message, false)));
  const std::string expectedLow = Utf16Bytes(u"<answer low>" + message, false);
  EXPECT_EQ(first.Receive(expectedLow.size()), expectedLow) << "answered low byte first";

  ASSERT_TRUE(WaitUntil([&] { return JournalCount() == 4; }));
  // Connection threads take their numbers in the order the connections came.
  const auto received2 = JournalEntry(0);
  const auto answer2 = JournalEntry(1);
  const auto received1 = JournalEntry(2);
  const auto answer1 = JournalEntry(3);
  EXPECT_EQ(received2->clientId, 2);
  EXPECT_EQ(received2->direction, 1);
  EXPECT_EQ(received2->text, "<mos><heartbeat/></mos>");
  EXPECT_EQ(answer2->clientId, 3);
  EXPECT_EQ(answer2->direction, 0);
  EXPECT_EQ(answer2->text, "<answer up><mos><heartbeat/></mos>");
  EXPECT_EQ(received1->clientId, 0);
  EXPECT_EQ(answer1->clientId, 1);
  // These lines follow the events the peer sees, so they are waited for.
  EXPECT_TRUE(WaitUntil([&] {
    return log.CountOf("Thread for client on low port is created\n") == 1 &&
           log.CountOf("Thread for client on up port is created\n") == 1 &&
           log.CountOf("VIDERA - Send " + std::to_string(expected.size()) +
                       " bytes answer to NRCS with result = " + std::to_string(expected.size()) +
                       "\n") == 1;
  }));
}

TEST_F(Echo, AcknowledgementsAreJournalledButNotAnswered) {
  InitAndStart();
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Upper()));
  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><roAck/></mos>", true)));
  ASSERT_TRUE(WaitUntil([&] { return JournalCount() == 1; }));
  EXPECT_EQ(peer.Receive(1, 200ms), "");
  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  EXPECT_FALSE(peer.Receive(2).empty()) << "the next message is answered as usual";
}

TEST_F(Echo, ConnectAndCloseAtOnceJournalsNothing) {
  InitAndStart();
  for (const auto port : {Lower(), Upper()}) {
    TestPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    peer.Close();
  }
  ASSERT_TRUE(WaitUntil([&] {
    return log.CountOf("\nVIDRA - Finish working thread on low port\n") == 1 &&
           log.CountOf("\nVIDRA - Finish working thread on upper port\n") == 1;
  }));
  EXPECT_EQ(log.CountOf("Client close connection"), 2u);
  EXPECT_EQ(JournalCount(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 0; }));
}

TEST_F(Echo, GarbageAndResetsHarmNoOtherConnection) {
  InitAndStart();
  TestPeer good;
  ASSERT_TRUE(good.Connect(Lower()));
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 1; }));

  TestPeer garbage;
  ASSERT_TRUE(garbage.Connect(Lower()));
  std::string bytes;
  for (int i = 0; i < 40000; ++i) {
    bytes += static_cast<char>((i * 7919) % 251);
  }
  ASSERT_TRUE(garbage.Send(bytes));
  TestPeer reset;
  ASSERT_TRUE(reset.Connect(Upper()));
  ASSERT_TRUE(reset.Send("\xD8\x00\xDC"));
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 3; }));
  reset.Reset();
  garbage.Reset();
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 1; }));

  ASSERT_TRUE(good.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  const std::string expected = Utf16Bytes(u"<answer low><mos><heartbeat/></mos>", true);
  EXPECT_EQ(good.Receive(expected.size()), expected);
  // Every journal entry is readable UTF-8 text, whatever came in.
  for (std::int32_t n = 0; n < 64; ++n) {
    const auto entry = JournalEntry(n);
    if (entry) {
      EXPECT_TRUE(IsValidUtf8(entry->text));
    }
  }
}

TEST_F(Echo, StopEndsAcceptLoopsAtTheNextConnectionButLeavesOpenOnesServing) {
  InitAndStart();
  TestPeer open;
  ASSERT_TRUE(open.Connect(Lower()));
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 1; }));
  // Both loops must be in their accept: a loop that sees the stop first never accepts.
  ASSERT_TRUE(WaitUntil([&] {
    return log.CountOf("I'm inside, wait connection to low port\n") == 2 &&
           log.CountOf("I'm inside, wait connection to upper port\n") == 1;
  }));
  ASSERT_EQ(Control().StopApplyingClients(), HResult::S_OK);
  EXPECT_EQ(log.CountOf("i will go away from mos sock"), 0u) << "accept still blocked";

  for (const auto port : {Lower(), Upper()}) {
    TestPeer late;
    ASSERT_TRUE(late.Connect(port));  // the backlog takes it, the loop then closes it
    EXPECT_TRUE(late.WaitClosed()) << "not served after a stop";
  }
  EXPECT_TRUE(WaitUntil([&] { return log.CountOf("i will go away from mos sock") == 2; }));
  EXPECT_EQ(Control().LiveConnections(), 1u);

  ASSERT_TRUE(open.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  EXPECT_FALSE(open.Receive(2).empty()) << "an open connection is still served";
}

TEST_F(Echo, DeInitEndsLiveConnectionThreads) {
  InitAndStart();
  std::vector<std::unique_ptr<TestPeer>> peers;
  for (int i = 0; i < 6; ++i) {
    peers.push_back(std::make_unique<TestPeer>());
    ASSERT_TRUE(peers.back()->Connect(i % 2 == 0 ? Lower() : Upper()));
  }
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 6; }));
  ASSERT_TRUE(peers[0]->Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  ASSERT_FALSE(peers[0]->Receive(2).empty());

  ASSERT_EQ(Control().StopApplyingClients(), HResult::S_OK);
  ASSERT_EQ(Control().DeInitMOSSrv(), HResult::S_OK);
  EXPECT_EQ(Control().LiveConnections(), 0u);
  for (auto& peer : peers) {
    EXPECT_TRUE(peer->WaitClosed());
  }
  EXPECT_EQ(log.CountOf("\nVIDRA - Finish working thread on low port\n") +
                log.CountOf("\nVIDRA - Finish working thread on upper port\n"),
            6u);
  // Everything the connections logged came before the journal was released.
  EXPECT_TRUE(log.HasInOrder({"CycleContinuation is Done", "Client close connection",
                              "release client queue", "Done,release mes queue"}));
  const auto records = log.Records();
  const auto released = std::find(records.begin(), records.end(), "Done,release mes queue");
  EXPECT_EQ(std::count(released, records.end(), "Client close connection"), 0);
}

// A peer that sends and never reads its answers: once its buffers are full the server waits
// 5 s for it and then closes its connection; the other peers keep their round trips.
TEST_F(Echo, APeerThatDoesNotReadHoldsUpOnlyItself) {
  InitAndStart();
  TestPeer stalled;
  ASSERT_TRUE(stalled.Connect(Lower()));
  const std::string one =
      Utf16Bytes(u"<mos><heartbeat/>" + std::u16string(2000, u'x') + u"</mos>", true);
  std::string flood;
  for (int i = 0; i < 5000; ++i) {
    flood += one;
  }
  std::thread sender([&] { static_cast<void>(stalled.Send(flood)); });  // blocks, then fails
  TestPeer other;
  ASSERT_TRUE(other.Connect(Upper()));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(other.Send(Utf16Bytes(u"<mos>ping</mos>", true)));
    EXPECT_EQ(other.ReceiveMessage(true), u"<answer up><mos>ping</mos>") << i;
  }
  EXPECT_TRUE(WaitUntil(
      [&] {
        return log.CountOf(
                   "VIDRA - the answer is not taken (Connection timed out); the connection is "
                   "closed\n") == 1;
      },
      std::chrono::seconds(20)));
  EXPECT_TRUE(stalled.WaitClosed(std::chrono::seconds(10)));
  sender.join();
  ASSERT_TRUE(other.Send(Utf16Bytes(u"<mos>again</mos>", true)));
  EXPECT_EQ(other.ReceiveMessage(true), u"<answer up><mos>again</mos>");
}

class Limited : public ServerTest {
 protected:
  Limited() : ServerTest({}, "MaxConnections = 2\n") {}
};

TEST_F(Limited, ConnectionsBeyondTheLimitAreClosedAtAccept) {
  InitAndStart();
  TestPeer a;
  TestPeer b;
  TestPeer c;
  ASSERT_TRUE(a.Connect(Lower()));
  ASSERT_TRUE(b.Connect(Upper()));
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 2; }));
  ASSERT_TRUE(c.Connect(Lower()));
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_TRUE(WaitUntil([&] {
    return log.CountStartingWith(
               "VIDRA - 2 connections are served already, connection from 127.0.0.1:") == 1;
  }));
  a.Close();
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 1; }));
  TestPeer d;
  ASSERT_TRUE(d.Connect(Lower()));
  EXPECT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 2; })) << "room again";
}

class Allowlisted : public ServerTest {
 protected:
  Allowlisted() : ServerTest({}, "AllowedHosts = 10.0.0.0/8\n") {}
};

TEST_F(Allowlisted, AHostOutsideTheListIsClosedAtAcceptAndCounted) {
  InitAndStart();
  TestPeer stranger;
  ASSERT_TRUE(stranger.Connect(Lower()));
  EXPECT_TRUE(stranger.WaitClosed());
  ASSERT_TRUE(WaitUntil([&] {
    for (const std::string& line : log.Records()) {
      if (line.rfind("VIDRA - 127.0.0.1:", 0) == 0 &&
          line.find(" is not among [Network] AllowedHosts: its connection is closed") !=
              std::string::npos) {
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(Control().LiveConnections(), 0u);
  EXPECT_NE(
      MetricsView(Control()).find("vidra_connections_refused_total{reason=\"not allowed\"} 1"),
      std::string::npos);
}

// Real MOS sessions, whose connections start the notice and object senders; the NRCS's own
// ports take the senders' connections and never answer.
struct SilentNrcs {
  TestListener nrcs;
};

class MosConnections : public SilentNrcs, public ServerTest {
 protected:
  MosConnections()
      : ServerTest({}, "NrcsUpperPort = " + std::to_string(nrcs.Port()) +
                           "\nNrcsLowerPort = " + std::to_string(nrcs.Port()) + "\n") {}
};

// A stop while every connection holds unfinished input and the senders wait on a clock that
// stands still: each connection ends with its pending bytes reported, every thread the engine
// started is joined, and the same control object starts again and serves.
TEST_F(MosConnections, AStopDuringUnfinishedInputEndsEveryThreadAndTheServerStartsAgain) {
  InitAndStart();
  const std::vector<std::string> unfinished = {
      std::string(4, '\0'), Utf16Bytes(u"garbage", true), Utf16Bytes(u"</mos>", true),
      Utf16Bytes(u"<mos><mosID>never closes", true), std::string("\xD8\x3C", 2)};
  std::vector<std::unique_ptr<TestPeer>> peers;
  for (const std::string& bytes : unfinished) {
    for (const std::uint16_t port : {Lower(), Upper()}) {
      peers.push_back(std::make_unique<TestPeer>());
      ASSERT_TRUE(peers.back()->Connect(port));
      ASSERT_TRUE(peers.back()->Send(bytes));
    }
  }
  ASSERT_TRUE(WaitUntil([&] {
    return log.CountOf("Message to upper port is recieved") == 5 &&
           log.CountOf("Message to lower port is recieved") == 5;
  }));
  ASSERT_TRUE(WaitUntil([&] { return Control().NoticeSenders() == 1; }));

  ASSERT_EQ(Control().StopApplyingClients(), HResult::S_OK);
  ASSERT_EQ(Control().DeInitMOSSrv(), HResult::S_OK);
  EXPECT_EQ(Control().LiveConnections(), 0u);
  EXPECT_EQ(Control().NoticeSenders(), 0u);
  EXPECT_EQ(log.CountOf("\nVIDRA::Thread for clip state sending finish.\n"), 1u);
  for (auto& peer : peers) {
    EXPECT_TRUE(peer->WaitClosed());
  }
  for (const int bytes : {4, 14, 12, 48, 2}) {
    EXPECT_EQ(log.CountOf("VIDRA - " + std::to_string(bytes) +
                          " bytes that are no MOS message are skipped\n"),
              2u)
        << bytes << " bytes, on each port";
  }

  InitAndStart();
  TestPeer again;
  ASSERT_TRUE(again.Connect(Upper()));
  ASSERT_TRUE(
      again.Send(Utf16Bytes(u"<mos><mosID>VIDRA</mosID><ncsID>NCS</ncsID><messageID>1"
                            u"</messageID><heartbeat/></mos>",
                            true)));
  EXPECT_NE(again.ReceiveMessage(true).find(u"<heartbeat>"), std::u16string::npos)
      << "a new start serves again";
}

}  // namespace
}  // namespace vidra::test

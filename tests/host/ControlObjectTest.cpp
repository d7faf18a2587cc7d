// The control operations: results, states, log lines and their order.
#include <gtest/gtest.h>

#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

using Lifecycle = ServerTest;

TEST_F(Lifecycle, StateFollowsInitTrafficStopAndDeInit) {
  EXPECT_EQ(State(), 0) << "before InitMOSSrv";
  InitAndStart();
  EXPECT_EQ(State(), 3) << "initialised, no traffic";

  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Lower()));
  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  ASSERT_TRUE(WaitUntil([&] { return JournalCount() == 2; }));
  EXPECT_EQ(State(), 2) << "a message just arrived";
  clock->Advance(179s);
  EXPECT_EQ(State(), 2);
  clock->Advance(1s);
  EXPECT_EQ(State(), 3) << "the newest entry is 180 s old";

  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  ASSERT_TRUE(WaitUntil([&] { return JournalCount() == 4; }));
  ASSERT_NE(Control().Playout(), nullptr);
  ASSERT_TRUE(Control().Playout()->running);
  EXPECT_EQ(Control().StopApplyingClients(), HResult::S_OK);
  EXPECT_EQ(State(), 2) << "a stop sets Ready, the next poll recomputes from the journal";
  EXPECT_FALSE(Control().Playout()->running) << "the stop reaches the playout's loops";

  clock->SetUtc(kTestStart);  // clock set back: the newest entry lies in the future
  EXPECT_EQ(State(), 3);

  EXPECT_EQ(Control().DeInitMOSSrv(), HResult::S_OK);
  EXPECT_EQ(State(), 0) << "after DeInitMOSSrv";
}

TEST_F(Lifecycle, InitAndDeInitLogTheirStepsInOrder) {
  ASSERT_EQ(Control().InitMOSSrv(), HResult::S_OK);
  EXPECT_TRUE(log.HasInOrder({"Final construct", "All components are initialized succesfully",
                              "Settings are loaded", "try to init TE",
                              "Low port socket is initialized", "Up port socket is initialized",
                              "Ports Was Inited", "mesQ was initialized "}));
  ASSERT_EQ(Control().StartToWork(), HResult::S_OK);
  const std::string lower = std::to_string(Lower());
  const std::string upper = std::to_string(Upper());
  EXPECT_TRUE(log.HasInOrder(
      {"\n The socket " + lower + " is binded\n\n", "\n Start to listen " + lower + " socket\n\n",
       "thread_to_member_thunk AcceptClientsOneByOneOnLowerPort", "\n try to bind 0 socket\n\n",
       "\n The socket " + upper + " is binded\n\n", "\n Start to listen " + upper + " socket\n\n",
       "thread_to_member_thunk AcceptClientsOneByOneOnUpperPort"}));
  ASSERT_TRUE(WaitUntil([&] {
    return log.CountOf(lower + " try to the while cycle\n") == 1 &&
           log.CountOf(upper + " try to the while cycle\n") == 1;
  }));
  ASSERT_EQ(Control().StopApplyingClients(), HResult::S_OK);
  ASSERT_EQ(Control().DeInitMOSSrv(), HResult::S_OK);
  EXPECT_TRUE(
      log.HasInOrder({"CycleContinuation is Done", "release client queue", "Done,release mes queue",
                      "done,release port", "Done, Wait threads will end its job",
                      "Done, Save current stat to schedule", "Done, delete player", "try to gray",
                      "icon should be grayed"}));
  EXPECT_EQ(log.CountOf("i will go away from mos sock"), 3u) << "the three accept loops ended";
}

TEST_F(Lifecycle, SecondInitChangesNothingAndSecondStartFailsAtBind) {
  InitAndStart();
  const auto lower = Lower();
  EXPECT_EQ(Control().InitMOSSrv(), HResult::E_UNEXPECTED);
  EXPECT_EQ(log.CountOf("InitMOSSrv is called on an initialized server: nothing is changed, "
                        "call StopApplyingClients and DeInitMOSSrv first"),
            1u);
  EXPECT_EQ(State(), 3);
  EXPECT_EQ(Lower(), lower);

  EXPECT_EQ(Control().StartToWork(), HResult::E_FAIL);
  EXPECT_EQ(log.CountOf("some exeption in StartTowork"), 1u);
  // The first start's threads still serve.
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(lower));
  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", false)));
  EXPECT_TRUE(WaitUntil([&] { return JournalCount() == 2; }));
}

TEST_F(Lifecycle, StartWithoutInitFailsAndDeInitWithoutStopEnds) {
  EXPECT_EQ(Control().StartToWork(), HResult::E_FAIL);
  EXPECT_EQ(log.CountOf("some exeption in StartTowork"), 1u);
  EXPECT_EQ(Control().DeInitMOSSrv(), HResult::S_OK) << "nothing to release is no error";

  InitAndStart();
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Upper()));
  ASSERT_TRUE(WaitUntil([&] { return Control().LiveConnections() == 1; }));
  // No StopApplyingClients: DeInit stops first and waits only for what it ended.
  EXPECT_EQ(Control().DeInitMOSSrv(), HResult::S_OK);
  EXPECT_EQ(Control().LiveConnections(), 0u);
  EXPECT_EQ(State(), 0);

  // Built again from scratch: new sockets, client numbers from 0 again.
  InitAndStart();
  ASSERT_TRUE(peer.Connect(Lower()));
  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  ASSERT_TRUE(WaitUntil([&] { return JournalCount() == 2; }));
  EXPECT_EQ(JournalEntry(0)->clientId, 0);
}

// Answers every message with a two-character text.
class ShortAnswerSession final : public MessageSession {
 public:
  HResult Initialize() override { return HResult::S_OK; }
  bool LoadMessage(std::u16string_view /*message*/) override { return true; }
  std::string GetXml() const override { return "short"; }
  bool IsRoAck(std::int32_t& /*messageID*/) override { return false; }
  std::string_view Kind() const override { return "other"; }
  std::optional<SessionAnswer> HandleMessage(const MessageOrigin& /*origin*/) override {
    SessionAnswer answer;
    answer.text = u"ab";
    return answer;
  }
};

class ShortAnswers : public ServerTest {
 protected:
  ShortAnswers() : ServerTest([] { return std::make_unique<ShortAnswerSession>(); }) {}
};

TEST_F(ShortAnswers, JournalReadsFailOutsideItsLifeAndOnBadNumbers) {
  std::string text = "untouched";
  std::uint8_t dest = 9;
  std::uint64_t time = 9;
  std::int32_t client = 9;
  EXPECT_EQ(Control().GetMessageByNumberInQueue(0, text, dest, time, client), HResult::E_FAIL)
      << "before InitMOSSrv";
  InitAndStart();
  TestPeer peer;
  ASSERT_TRUE(peer.Connect(Lower()));
  ASSERT_TRUE(peer.Send(Utf16Bytes(u"<mos><heartbeat/></mos>", true)));
  // The answer "ab" is journalled but too short to be read.
  ASSERT_TRUE(WaitUntil([&] { return log.CountStartingWith("VIDERA - Send 4 bytes") == 1; }));
  EXPECT_EQ(Control().GetMessageByNumberInQueue(1, text, dest, time, client), HResult::E_FAIL);
  EXPECT_EQ(Control().GetMessageByNumberInQueue(-1, text, dest, time, client), HResult::E_FAIL);
  EXPECT_EQ(Control().GetMessageByNumberInQueue(2, text, dest, time, client), HResult::E_FAIL)
      << "number equal to the count";
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(dest, 9);
  ASSERT_EQ(Control().GetMessageByNumberInQueue(0, text, dest, time, client), HResult::S_OK);
  EXPECT_EQ(text, "<mos><heartbeat/></mos>");
  EXPECT_EQ(dest, 1);
  EXPECT_EQ(time, kTestStart);
  EXPECT_EQ(client, 0);
  ASSERT_EQ(Control().DeInitMOSSrv(), HResult::S_OK);
  EXPECT_EQ(Control().GetMessageByNumberInQueue(0, text, dest, time, client), HResult::E_FAIL)
      << "after DeInitMOSSrv";
}

class BadSettings : public ServerTest {
 protected:
  BadSettings() : ServerTest({}, "MaxConnections = none\n") {}
};

TEST_F(BadSettings, FailedInitReportsAndLeavesStateZero) {
  EXPECT_EQ(Control().InitMOSSrv(), HResult::E_FAIL);
  EXPECT_EQ(log.CountOf("VIDRA - " + settings.Path() +
                        ": [Network] MaxConnections = 'none' is not a whole number from 1 to "
                        "100000"),
            1u);
  EXPECT_EQ(log.CountOf("Init TE is failed"), 1u);
  EXPECT_EQ(log.CountOf("Settings are loaded"), 0u);
  EXPECT_EQ(State(), 0) << "the journal was never initialised";
  EXPECT_EQ(Control().StartToWork(), HResult::E_FAIL);
  EXPECT_EQ(Control().DeInitMOSSrv(), HResult::S_OK);
}

TEST(ControlObjectMissingFile, InitFailsNamingTheFile) {
  LogCapture log;
  ControlOptions options;
  options.configPath = "/nonexistent/vidra.ini";
  options.clock = std::make_shared<ManualClock>(kTestStart);
  CMOS_SRV_STNDRT control(options);
  EXPECT_EQ(control.InitMOSSrv(), HResult::E_FAIL);
  EXPECT_EQ(log.CountOf("VIDRA - cannot open settings file /nonexistent/vidra.ini: No such file "
                        "or directory"),
            1u);
  std::uint8_t state = 9;
  EXPECT_EQ(control.GetStateMOSSrv(state), HResult::S_OK);
  EXPECT_EQ(state, 0);
}

}  // namespace
}  // namespace vidra::test

namespace vidra::test {
namespace {

TEST(ControlObjectNoChannels, InitFailsWithTheSettingAtFault) {
  LogCapture log;
  TempFile settings(
      "[Devices]\nout1 = virtual\n[VIDRAServer]\nChannelCount = 1\n"
      "CHANNEL_NAME1 = NEWS\nCHANNEL_PLAYER1 = Out1\n");
  ControlOptions options;
  options.configPath = settings.Path();
  options.clock = std::make_shared<ManualClock>(kTestStart);
  CMOS_SRV_STNDRT control(options);
  EXPECT_EQ(control.InitMOSSrv(), HResult::S_FALSE) << "no channel can be configured";
  EXPECT_TRUE(log.HasInOrder(
      {"Settings are loaded", "try to init TE",
       "VIDRA - " + settings.Path() +
           ": [VIDRAServer] CHANNEL_PLAYER1 = 'Out1' names no device of [Devices]; the entry is "
           "skipped",
       "Init TE is failed"}));
  EXPECT_EQ(log.CountOf("Low port socket is initialized"), 0u) << "nothing starts half configured";
  std::uint8_t state = 9;
  EXPECT_EQ(control.GetStateMOSSrv(state), HResult::S_OK);
  EXPECT_EQ(state, 0);
}

}  // namespace
}  // namespace vidra::test

// The clock anchor and the player actions against a scripted player.
#include "playout/ChannelActions.h"

#include <gtest/gtest.h>

#include <deque>

#include "common/Log.h"
#include "playout/players/virtual/VirtualPlayer.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

// A player whose clock, mode, states and results the test sets.
class ScriptedPlayer final : public ChannelPlayer {
 public:
  HResult GetFormat(std::int32_t&, std::int32_t&, double& rate) override {
    rate = 25;
    return HResult::S_OK;
  }
  HResult SetFlagA(std::int32_t) override { return HResult::S_OK; }
  HResult SetFlagB(std::int32_t) override { return HResult::S_OK; }
  HResult PlayEmpty(double, double) override {
    ++empties;
    return HResult::S_OK;
  }
  HResult Prepare(const std::string&, double in, double out, std::int32_t, double& d) override {
    d = out - in;
    return prepareResult;
  }
  HResult Unprepare() override { return HResult::S_OK; }
  HResult Cue() override { return HResult::S_OK; }
  HResult Play(double t, double) override {
    playedAt = t;
    return HResult::S_OK;
  }
  HResult Pause() override { return HResult::S_OK; }
  HResult Resume() override { return HResult::S_OK; }
  HResult GetTimes(double& started, double& remaining) override {
    started = startedAt;
    remaining = 1;
    return HResult::S_OK;
  }
  HResult GetState(std::int32_t& state) override {
    state = states.front();
    if (states.size() > 1) {
      states.pop_front();
    }
    return HResult::S_OK;
  }
  HResult GetLastError(std::string& text) override {
    text = error;
    return HResult::S_OK;
  }
  HResult GetMode(std::int32_t& value) override {
    value = mode;
    return HResult::S_OK;
  }
  HResult GetClock(double& value) override {
    value = clockValue;
    return HResult::S_OK;
  }

  double clockValue = 5000.0;
  std::int32_t mode = 0;
  std::deque<std::int32_t> states{kPlayerPrepared};
  HResult prepareResult = HResult::S_OK;
  std::string error;
  double playedAt = -1;
  double startedAt = 0;
  int empties = 0;
};

FileTime TenOClock() {
  FileTime t = 0;
  EXPECT_TRUE(FromCalendar(CalendarTime{2027, 1, 0, 15, 10, 0, 0, 0}, t));
  return t;
}

class Actions : public ::testing::Test {
 protected:
  Actions() { EXPECT_EQ(actions.TimeSync(), HResult::S_OK); }
  std::shared_ptr<ManualClock> clock =
      std::make_shared<ManualClock>(TenOClock(), ManualClock::Mode::AutoAdvance);
  ScriptedPlayer player;
  ChannelActions actions{2, player, *clock};
};

TEST_F(Actions, PlayerAndLocalTimesMeetAtTheAnchor) {
  EXPECT_EQ(actions.anchorTime, TenOClock());
  EXPECT_DOUBLE_EQ(actions.anchorClock, 5000.0);
  FileTime start = TenOClock() + 25'000'000;  // 10:00:02.500
  player.startedAt = 5002.5;
  ASSERT_EQ(actions.PlayVideo(start), HResult::S_OK);
  EXPECT_DOUBLE_EQ(player.playedAt, 5002.5);
  EXPECT_EQ(start, TenOClock() + 25'000'000) << "the actual start, back in local time";
}

TEST_F(Actions, TheAnchorMovesOnlyAfter100sAndMoreThan200msOfDrift) {
  const FileTime anchor = actions.anchorTime;
  player.clockValue = 5050.0;
  clock->SetUtc(TenOClock() + 503'000'000);  // 50.3 s later
  ASSERT_EQ(actions.TimeSync(), HResult::S_OK);
  EXPECT_EQ(actions.anchorTime, anchor) << "not yet 100 s";
  player.clockValue = 5150.0;
  clock->SetUtc(TenOClock() + 1'501'000'000);  // drift 0.1 s
  ASSERT_EQ(actions.TimeSync(), HResult::S_OK);
  EXPECT_EQ(actions.anchorTime, anchor);
  clock->SetUtc(TenOClock() + 1'503'000'000);  // drift 0.3 s
  ASSERT_EQ(actions.TimeSync(), HResult::S_OK);
  EXPECT_EQ(actions.anchorTime, TenOClock() + 1'503'000'000);
  EXPECT_DOUBLE_EQ(actions.anchorClock, 5150.0);
}

TEST_F(Actions, ModesDecideHowAClipStarts) {
  FileTime start = TenOClock();
  player.mode = 1;
  EXPECT_EQ(actions.PlayVideo(start), HResult::E_UNEXPECTED);
  player.mode = 2;
  EXPECT_EQ(actions.PlayVideo(start), HResult::E_UNEXPECTED);
  EXPECT_DOUBLE_EQ(player.playedAt, -1) << "nothing is played";
  EXPECT_EQ(start, TenOClock());
  player.mode = 5;
  player.states = {kPlayerStarted};
  ASSERT_EQ(actions.PlayVideo(start), HResult::S_OK);
  EXPECT_EQ(player.empties, 1);
}

TEST_F(Actions, WaitsPollAndGiveUpAfterTenSeconds) {
  player.states = {kPlayerLoading, kPlayerLoading, kPlayerPrepared};
  EXPECT_EQ(actions.WaitPrepared(), HResult::S_OK);
  player.states = {kPlayerFailed};
  EXPECT_EQ(actions.WaitPrepared(), HResult::E_INVALIDARG);
  player.states = {kPlayerStarting};
  EXPECT_EQ(actions.WaitPrepared(), HResult::E_UNEXPECTED) << "neither awaited nor passing";
  LogCapture log;
  const auto before = clock->Monotonic();
  EXPECT_EQ(actions.WaitPlaying(), HResult::E_UNEXPECTED);
  EXPECT_GE(clock->Monotonic() - before, 10s);
  EXPECT_EQ(log.CountOf("VIDRA[2] - the player stayed in state 5 for 10 s; the wait for state 1 "
                        "is given up"),
            1u);
  player.states = {kPlayerPrepared};
  EXPECT_TRUE(actions.IsPrepared());
  player.states = {kPlayerLoading};
  EXPECT_FALSE(actions.IsPrepared());
}

TEST_F(Actions, PrepareLogsWhatThePlayerSaidEvenWhenItFails) {
  LogCapture log;
  PrepareRequest request{"/srv/a.mxf", 1.5, 8.0, "37", "200"};
  player.prepareResult = HResult::E_INVALIDARG;
  player.error = "cannot decode";
  EXPECT_EQ(actions.PrepareVideo(request), HResult::E_INVALIDARG);
  EXPECT_EQ(log.CountOf("\nVIDRA[2] - PrepareVideo(/srv/a.mxf): <1.500/9.500> [37/200] "
                        "duration=8.000, hres=0x80070057, err=cannot decode\n"),
            1u);
}

TEST(ActionsOnTheVirtualPlayer, AClipIsPreparedAndStartedAtItsLocalTime) {
  auto clock = std::make_shared<ManualClock>(TenOClock(), ManualClock::Mode::AutoAdvance);
  VirtualPlayer player(clock, 25.0);
  ChannelActions actions(0, player, *clock);
  ASSERT_EQ(actions.TimeSync(), HResult::S_OK);
  ASSERT_EQ(actions.PrepareVideo(PrepareRequest{"a.mxf", 0.0, 10.0, {}, {}}), HResult::S_OK);
  FileTime start = clock->LocalNow() + 5'000'000;  // half a second from now
  ASSERT_EQ(actions.PlayVideo(start), HResult::S_OK);
  EXPECT_EQ(player.OnAir(), "a.mxf");
  EXPECT_EQ(start, TenOClock() + 5'000'000) << "started exactly at its time";
}

}  // namespace
}  // namespace vidra

// The virtual player on a manual clock: load, start at a player time, end, pause, resume,
// an empty task, and the backends a device can name.
#include "playout/players/virtual/VirtualPlayer.h"

#include <gtest/gtest.h>

namespace vidra {
namespace {

using namespace std::chrono_literals;

class Virtual : public ::testing::Test {
 protected:
  std::int32_t State() {
    std::int32_t state = 0;
    EXPECT_EQ(player.GetState(state), HResult::S_OK);
    return state;
  }
  double Remaining() {
    double startedAt = 0;
    double remaining = 0;
    EXPECT_EQ(player.GetTimes(startedAt, remaining), HResult::S_OK);
    return remaining;
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(kUnixEpochFileTime);
  VirtualPlayer player{clock, 25.0};
};

TEST_F(Virtual, ClipsLoadStartAtTheirTimeAndFollowEachOther) {
  double duration = 0;
  ASSERT_EQ(player.Prepare("a.mxf", 2.0, 12.0, 10, duration), HResult::S_OK);
  EXPECT_DOUBLE_EQ(duration, 10.0);
  EXPECT_EQ(State(), kPlayerLoading);
  EXPECT_EQ(player.Play(5.0, 0.0), HResult::E_UNEXPECTED) << "not loaded yet";
  clock->Advance(40ms);
  EXPECT_EQ(State(), kPlayerPrepared);
  EXPECT_EQ(player.Cue(), HResult::S_OK);
  ASSERT_EQ(player.Play(5.0, 0.0), HResult::S_OK);
  EXPECT_EQ(State(), kPlayerStarting);
  EXPECT_EQ(player.OnAir(), "");
  clock->Advance(4960ms);  // player time 5.0
  EXPECT_EQ(State(), kPlayerStarted);
  EXPECT_EQ(player.OnAir(), "a.mxf");
  double startedAt = 0;
  double remaining = 0;
  ASSERT_EQ(player.GetTimes(startedAt, remaining), HResult::S_OK);
  EXPECT_DOUBLE_EQ(startedAt, 5.0);
  EXPECT_DOUBLE_EQ(remaining, 10.0);

  // The next clip is prepared while the first plays and takes over at its end.
  ASSERT_EQ(player.Prepare("b.mxf", 0.0, 3.0, 10, duration), HResult::S_OK);
  clock->Advance(1s);
  EXPECT_EQ(State(), kPlayerPrepared);
  EXPECT_EQ(player.OnAir(), "a.mxf");
  ASSERT_EQ(player.Play(15.0, 0.0), HResult::S_OK);
  clock->Advance(8s);  // player time 14.0
  EXPECT_DOUBLE_EQ(Remaining(), 1.0);
  clock->Advance(1s);
  EXPECT_EQ(player.OnAir(), "b.mxf");
  EXPECT_DOUBLE_EQ(Remaining(), 3.0);
  clock->Advance(3s);
  EXPECT_LE(Remaining(), 0.0) << "ended, nothing follows";
  EXPECT_EQ(player.OnAir(), "");
}

TEST_F(Virtual, PauseFreezesTheRemainingTimeAndEmptyTasksEndTheClip) {
  double duration = 0;
  ASSERT_EQ(player.Prepare("a.mxf", 0.0, 10.0, 10, duration), HResult::S_OK);
  clock->Advance(40ms);
  ASSERT_EQ(player.Play(0.0, 0.0), HResult::S_OK);  // a time already past starts at once
  clock->Advance(2s);
  ASSERT_EQ(player.Pause(), HResult::S_OK);
  clock->Advance(30s);
  EXPECT_NEAR(Remaining(), 8.0, 1e-9);
  EXPECT_EQ(player.OnAir(), "");
  ASSERT_EQ(player.Resume(), HResult::S_OK);
  clock->Advance(1s);
  EXPECT_NEAR(Remaining(), 7.0, 1e-9);
  double now = 0;
  ASSERT_EQ(player.GetClock(now), HResult::S_OK);
  ASSERT_EQ(player.PlayEmpty(now + 2.0, 0.0), HResult::S_OK);
  clock->Advance(1s);
  EXPECT_EQ(player.OnAir(), "a.mxf");
  clock->Advance(1s);
  EXPECT_LE(Remaining(), 0.0) << "the empty task ended the clip at its time";
  ASSERT_EQ(player.Prepare("b.mxf", 0.0, 5.0, 10, duration), HResult::S_OK);
  ASSERT_EQ(player.Unprepare(), HResult::S_OK);
  EXPECT_EQ(State(), kPlayerStarted);
  EXPECT_EQ(player.Prepare("", 0.0, 5.0, 10, duration), HResult::E_INVALIDARG);
  std::string error;
  ASSERT_EQ(player.GetLastError(error), HResult::S_OK);
  EXPECT_EQ(error, "no media file given");
}

TEST(ChannelPlayers, BackendsAndTheirParameters) {
  auto clock = std::make_shared<ManualClock>(0);
  std::unique_ptr<ChannelPlayer> player;
  std::string error;
  ASSERT_EQ(CreateChannelPlayer("virtual", "29.97", clock, player, error), HResult::S_OK);
  std::int32_t width = 0;
  std::int32_t height = 0;
  double rate = 0;
  ASSERT_EQ(player->GetFormat(width, height, rate), HResult::S_OK);
  EXPECT_DOUBLE_EQ(rate, 29.97);
  ASSERT_EQ(CreateChannelPlayer("virtual", "", clock, player, error), HResult::S_OK);
  ASSERT_EQ(player->GetFormat(width, height, rate), HResult::S_OK);
  EXPECT_DOUBLE_EQ(rate, 25.0);
  EXPECT_EQ(CreateChannelPlayer("virtual", "fast", clock, player, error), HResult::E_INVALIDARG);
  EXPECT_EQ(error, "the virtual player takes a frame rate above 0 and up to 1000, not 'fast'");
  EXPECT_EQ(CreateChannelPlayer("decklink", "0", clock, player, error), HResult::E_INVALIDARG);
  EXPECT_EQ(error, "there is no player backend 'decklink'");
}

}  // namespace
}  // namespace vidra

// A channel's playback in simulated time on the virtual player: every turn sleeps 100 ms of
// the manual clock, so a minute of air takes a few hundred turns and no real time.
#include "playout/ChannelPlayback.h"

#include <gtest/gtest.h>

#include "common/Log.h"
#include "playout/PlayoutManager.h"
#include "playout/players/virtual/VirtualPlayer.h"

namespace vidra {
namespace {

class NoProbe final : public MediaProbe {
 public:
  ProbeResult Probe(const std::string&, std::chrono::milliseconds) override { return {}; }
};

class Playback : public ::testing::Test {
 protected:
  Playback() {
    const MapSettings settings({{"Devices", "out1", "virtual 25"},
                                {"VIDRAServer", "ChannelCount", "1"},
                                {"VIDRAServer", "CHANNEL_NAME1", "NEWS"},
                                {"VIDRAServer", "CHANNEL_PLAYER1", "out1"}});
    EXPECT_EQ(manager.InitPlayout(settings), HResult::S_OK);
  }

  // A checked running order of one story whose items play ten seconds each.
  std::shared_ptr<ro> Add(const std::string& roID, const std::vector<std::string>& items,
                          std::int32_t trigger = CHAINED) {
    auto r = std::make_unique<ro>();
    r->roID = roID;
    r->mosID = "VIDRA.NEWS";
    r->trigger = trigger;
    r->roTrigger = trigger == TIMED ? "TIMED" : trigger == MANUAL ? "MANUAL" : "CHAINED";
    story s;
    s.storyID = "S";
    for (const auto& id : items) {
      item i;
      i.itemID = id;
      i.objID = "obj" + id;
      i.paths.objPath = "/m/" + id + ".mxf";
      s.items.push_back(i);
    }
    r->stories = {s};
    for (auto& i : r->stories[0].items) {
      i.ComputeTiming(250, 25.0);
      i.state = READY;
    }
    r->checkState = CheckState::Checked;
    RoAckInfo ack;
    EXPECT_EQ(manager.Store(0).AddRo(std::move(r), ack), EditResult::Ok);
    return manager.Store(0).GetRo(roID);
  }
  void Command(const std::shared_ptr<ro>& r, std::int32_t command, std::int32_t itemIndex) {
    std::lock_guard guard(r->lock);
    r->ctrlCommand = static_cast<CtrlCommand>(command);
    r->ctrlActionId = ++actions;
    r->ctrlStoryIndex = 0;
    r->ctrlItemIndex = itemIndex;
  }
  // Runs turns until `seconds` of the clock have passed; returns the notices queued meanwhile.
  std::string Run(double seconds) {
    const auto end = clock->Monotonic() + std::chrono::duration<double>(seconds);
    while (clock->Monotonic() < end) {
      playback.Turn();
      while (auto notice = manager.PopNotice()) {
        notices.append(notices.empty() ? "" : " ").append(notice->status.Str()).append(":");
        notices.append(notice->itemID.Str());
      }
    }
    return std::exchange(notices, "");
  }
  VirtualPlayer& Player() { return static_cast<VirtualPlayer&>(manager.Player(0)); }
  item& Item(const std::shared_ptr<ro>& r, int index) { return r->stories[0].items[index]; }

  LogCapture log;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(
      kUnixEpochFileTime + 1'800'000'000ull * kTicksPerSecond, ManualClock::Mode::AutoAdvance);
  PlayoutManager manager{clock, std::make_unique<NoProbe>()};
  ChannelPlayback playback{manager, 0};
  std::int32_t actions = 0;
  std::string notices;
};

TEST_F(Playback, ExecutePreparesThenPlaysAndTheChainFollowsWithoutAGap) {
  const auto r = Add("R", {"1", "2", "3"});
  Command(r, 2, 0);
  // The next item is prepared as soon as the first plays.
  EXPECT_EQ(Run(1.0), "READY:1 PLAY:1 READY:2");
  EXPECT_EQ(log.CountOf("\nVIDRA::Player[0] - Need start next playback: diff=0ms\n"), 2u)
      << "the first turn waits for the player to finish loading";
  EXPECT_EQ(Player().OnAir(), "/m/1.mxf");
  EXPECT_EQ(Item(r, 0).state, PLAY);
  const FileTime started = Item(r, 0).stateTime;
  EXPECT_EQ(Run(10.0), "STOP:1 PLAY:2 READY:3");
  EXPECT_EQ(Item(r, 0).state, DONE);
  EXPECT_EQ(Item(r, 1).stateTime, started + 100'000'000)
      << "the next item starts exactly at the expected end";
  EXPECT_EQ(Item(r, 0).stateTime, Item(r, 1).stateTime);
  EXPECT_EQ(Run(10.0), "STOP:2 PLAY:3");
  EXPECT_EQ(Run(10.5), "STOP:3") << "nothing follows: the clip just ends";
  EXPECT_EQ(log.CountOf("\nVIDRA::Player[0] - Last movie was stopped now\n"), 1u);
  EXPECT_EQ(Item(r, 2).state, DONE) << "the last item ends like every other";
  EXPECT_EQ(Item(r, 2).stateTime, started + 300'000'000) << "at the end of its clip";
  EXPECT_EQ(playback.State(), PlaybackState::STOPPED);
}

TEST_F(Playback, ManualItemsWaitAndUncheckedOnesArePassedOver) {
  const auto r = Add("R", {"1", "2", "3", "4"});
  Item(r, 1).state = NOT_READY;
  Item(r, 2).state = NEW;
  Item(r, 3).trigger = MANUAL;
  Command(r, 2, 0);
  EXPECT_EQ(Run(12.0), "READY:1 PLAY:1 STOP:1");
  Item(r, 3).trigger = CHAINED;
  Command(r, 2, 0);
  EXPECT_EQ(Run(1.0), "READY:1 PLAY:1 READY:4") << "2 and 3 are passed over";
  EXPECT_EQ(Run(10.0), "STOP:1 PLAY:4");
}

TEST_F(Playback, PauseResumeAndAnotherItemWhilePaused) {
  const auto r = Add("R", {"1", "2"});
  Command(r, 2, 0);
  Run(2.0);
  Command(r, 3, 0);
  EXPECT_EQ(Run(5.0), "") << "a pause has no notice";
  EXPECT_EQ(playback.State(), PlaybackState::PAUSED);
  EXPECT_EQ(Item(r, 0).state, PAUSE);
  Command(r, 2, 0);
  EXPECT_EQ(Run(0.5), "");
  EXPECT_EQ(playback.State(), PlaybackState::PLAYING);
  EXPECT_EQ(Item(r, 0).state, PLAY);
  Command(r, 3, 0);
  Run(0.5);
  Command(r, 2, 1);  // another item while paused: it starts and the paused one is done
  EXPECT_EQ(Run(1.0), "STOP:1 PLAY:2") << "item 2 was prepared while item 1 played";
  EXPECT_EQ(Item(r, 0).state, DONE);
}

TEST_F(Playback, StopEndsWhatIsOnAir) {
  const auto r = Add("R", {"1", "2"});
  Command(r, 2, 0);
  Run(2.0);
  Command(r, 4, 0);
  EXPECT_EQ(Run(0.5), "STOP:1");
  EXPECT_EQ(playback.State(), PlaybackState::STOPPED);
  EXPECT_EQ(Item(r, 0).state, DONE);
  EXPECT_EQ(Run(20.0), "") << "a stopped channel does not move on by itself";
}

TEST_F(Playback, CueWhileAnotherPlaysThenExecuteTheCuedItem) {
  const auto r = Add("R", {"1", "2"});
  Item(r, 1).trigger = MANUAL;
  Command(r, 2, 0);
  Run(1.0);
  Command(r, 1, 1);  // READY for item 2 while item 1 plays
  EXPECT_EQ(Run(1.0), "READY:2 STOP:1 CUE:2");
  EXPECT_EQ(playback.State(), PlaybackState::CUED);
  EXPECT_EQ(Item(r, 1).state, CUE);
  Command(r, 2, 1);
  EXPECT_EQ(Run(1.0), "STOP:2 PLAY:2") << "the cued item is finished, then played";
}

TEST_F(Playback, TimedRunningOrdersStartAtTheirExactTime) {
  const auto r = Add("R", {"1"}, TIMED);
  const FileTime start = clock->LocalNow() + 50'000'000;  // five seconds from now
  {
    std::lock_guard guard(r->lock);
    r->startTime = start;
  }
  // Prepared five seconds ahead, so that a slow file is ready on its frame; the start
  // waits in the player for its exact time.
  EXPECT_EQ(Run(3.8), "READY:1");
  EXPECT_EQ(Player().OnAir(), "") << "prepared, not started";
  EXPECT_EQ(Run(1.0), "PLAY:1");
  EXPECT_EQ(Item(r, 0).stateTime, start);
  EXPECT_EQ(r->trigger, MANUAL);
  EXPECT_EQ(r->roTrigger, "TIMED") << "the NRCS's word stays";
  EXPECT_TRUE(r->TimedStartUsed());

  const auto missed = Add("M", {"9"}, TIMED);
  {
    std::lock_guard guard(missed->lock);
    missed->startTime = clock->LocalNow() - 10'000'000;  // before the cursor: never taken
  }
  EXPECT_EQ(Run(3.0), "");
  EXPECT_EQ(missed->trigger, TIMED);

  // Made between two turns with its start just before the next: that turn asks for the
  // prepare, which takes a turn, and the start is taken on the turn after, late.
  const auto late = Add("L", {"5"}, TIMED);
  const FileTime lateStart = clock->LocalNow() + 500'000;
  {
    std::lock_guard guard(late->lock);
    late->startTime = lateStart;
  }
  EXPECT_EQ(Run(0.5), "READY:5 STOP:1 PLAY:5");
  EXPECT_EQ(Item(late, 0).state, PLAY);
  EXPECT_EQ(Item(late, 0).stateTime, lateStart + 1'500'000);
  EXPECT_TRUE(late->TimedStartUsed());
}

TEST_F(Playback, ATimedStartTakenLateIsUsedUpAndTheItemItCutsIsMarkedCut) {
  const auto chain = Add("A", {"1", "2"});
  Command(chain, 2, 0);
  EXPECT_EQ(Run(4.0), "READY:1 PLAY:1 READY:2");
  const FileTime aired = Item(chain, 0).stateTime;
  EXPECT_EQ(Item(chain, 0).airedAt, aired);
  // Made between two turns, 150 ms ahead: the next turn prepares it, the one after starts
  // it at once, 50 ms after its time.
  const auto timed = Add("T", {"9"}, TIMED);
  const FileTime start = clock->LocalNow() + 1'500'000;
  {
    std::lock_guard guard(timed->lock);
    timed->startTime = start;
  }
  EXPECT_EQ(Run(0.5), "READY:9 STOP:1 PLAY:9");
  EXPECT_EQ(Item(timed, 0).stateTime, start + 500'000);
  EXPECT_TRUE(timed->TimedStartUsed()) << "not taken again after a restart";
  EXPECT_EQ(Item(chain, 0).state, DONE);
  const FileTime left = aired + Item(chain, 0).playDurationTicks - start;
  EXPECT_EQ(Item(chain, 0).cutTicksLeft, left) << "cut with the rest of its ten seconds";
  EXPECT_GT(left, 5 * kTicksPerSecond);

  // An item that runs out is not cut, and a replay starts its account afresh.
  EXPECT_EQ(Run(10.5), "STOP:9");
  EXPECT_EQ(Item(timed, 0).state, DONE);
  EXPECT_EQ(Item(timed, 0).cutTicksLeft, 0u);
  Command(chain, 2, 0);
  Run(0.5);
  EXPECT_EQ(Item(chain, 0).state, PLAY);
  EXPECT_EQ(Item(chain, 0).cutTicksLeft, 0u) << "on air again, not cut";
}

TEST_F(Playback, DeletingThePlayingRunningOrderEndsWithAnEmptyTask) {
  const auto r = Add("R", {"1"});
  Add("Other", {"5"});
  Command(r, 2, 0);
  Run(1.0);
  RoAckInfo ack;
  ASSERT_EQ(manager.Store(0).DeleteRo("R", ack), EditResult::Ok);
  EXPECT_EQ(Run(10.5), "STOP:1") << "the next candidate names no item: an empty task";
  EXPECT_EQ(log.CountStartingWith("\nVIDRA::Player[0] - Action = PLAY EMPTY task (hres=0x0)"), 1u);
  EXPECT_EQ(playback.State(), PlaybackState::STOPPED);
  EXPECT_EQ(Player().OnAir(), "");
}

// The backup of a pair: its item states are the main's, as they come over the link.
TEST_F(Playback, ABackupJoinsWhatItsMainPlaysOnTheMainsFramesAndTellsNothing) {
  manager.following = true;
  const auto r = Add("R", {"1", "2", "3", "4"});
  const auto mainSays = [&](int index, std::int32_t state, FileTime stamp) {
    std::lock_guard guard(r->lock);
    Item(r, index).state = state;
    Item(r, index).stateTime = stamp;
  };
  const auto remaining = [&] {
    double startedAt = 0;
    double left = 0;
    EXPECT_EQ(Player().GetTimes(startedAt, left), HResult::S_OK);
    return left;
  };
  // The main started item 1 three frames ago (an EXECUTE that reached this server late).
  const FileTime started = clock->LocalNow() - 1'200'000;
  mainSays(0, PLAY, started);
  EXPECT_EQ(Run(0.5), "") << "the main tells the NRCS, not its backup";
  EXPECT_EQ(Player().OnAir(), "/m/1.mxf");
  const double end = static_cast<double>(started + 100'000'000 - clock->LocalNow()) / 1e7;
  EXPECT_NEAR(remaining(), end, 1e-4) << "joined where the main is: it ends on the main's frame";
  EXPECT_EQ(log.CountStartingWith("\nVIDRA::Player[0] - Following the main: S/1 joined 260 ms"), 1u)
      << "the 120 ms, a turn and the clip's load, all skipped";
  EXPECT_EQ(Item(r, 0).state, PLAY);
  EXPECT_EQ(Item(r, 0).stateTime, started) << "states are the main's, not written here";

  // The chain goes on by itself on the same frame as the main's; the main's word of it
  // finds it in step already.
  EXPECT_EQ(Run(10.0), "");
  EXPECT_EQ(Player().OnAir(), "/m/2.mxf");
  EXPECT_EQ(log.CountOf("VIDRA::Player[0] - S/2 on air from " +
                        FormatFileTime(started + 100'000'000, false)),
            1u);
  mainSays(0, DONE, started + 100'000'000);
  mainSays(1, PLAY, started + 100'000'000);
  Run(1.0);
  EXPECT_EQ(log.CountStartingWith("\nVIDRA::Player[0] - Following the main:"), 1u);

  // A PAUSE on the main, and its end: held here too.
  mainSays(1, PAUSE, started + 100'000'000);
  Run(0.3);
  const double held = remaining();
  Run(2.0);
  EXPECT_EQ(remaining(), held);
  EXPECT_EQ(log.CountOf("\nVIDRA::Player[0] - Following the main: S/2 paused (hres=0x0)\n"), 1u);
  mainSays(1, PLAY, started + 100'000'000);
  Run(0.3);
  EXPECT_LT(remaining(), held);
  EXPECT_EQ(log.CountOf("\nVIDRA::Player[0] - Following the main: S/2 goes on (hres=0x0)\n"), 1u);
  EXPECT_EQ(log.CountStartingWith("\nVIDRA::Player[0] - Following the main: S/2 joined"), 0u)
      << "the start stamp is the same: not joined again";

  // A roCtrl for another item marks this one DONE before the other starts, with a stamp
  // that is no time: the main's output still shows it, and so does this one.
  mainSays(1, DONE, 0x0022D0100022D010ull);
  Run(0.3);
  EXPECT_EQ(Player().OnAir(), "/m/2.mxf");

  // A STOP on the main: this output goes black too.
  mainSays(1, DONE, clock->LocalNow());
  Run(0.3);
  EXPECT_EQ(Player().OnAir(), "");
  EXPECT_EQ(log.CountOf("\nVIDRA::Player[0] - Following the main: S/2 was ended there\n"), 1u);

  // An item whose file this server cannot prepare: said once, and the next start is taken.
  {
    std::lock_guard guard(r->lock);
    Item(r, 2).paths.objPath = "";
  }
  mainSays(2, PLAY, clock->LocalNow());
  Run(1.0);
  EXPECT_EQ(log.CountStartingWith("\nVIDRA::Player[0] - Following the main: S/3 () cannot be "
                                  "prepared here"),
            1u);
  mainSays(2, DONE, clock->LocalNow());
  mainSays(3, PLAY, clock->LocalNow() - 400'000);
  Run(0.5);
  EXPECT_EQ(Player().OnAir(), "/m/4.mxf");
  EXPECT_EQ(log.CountStartingWith("\nVIDRA::Player[0] - Following the main: S/4 joined"), 1u);

  // The main cuts to the item this server cannot prepare: what played here would not be
  // the main's picture, so this output goes black, and stays black (its own chain does not
  // go on) until the main's next start.
  mainSays(3, DONE, clock->LocalNow());
  mainSays(2, PLAY, clock->LocalNow());
  Run(0.3);
  EXPECT_EQ(Player().OnAir(), "");
  Run(12.0);
  EXPECT_EQ(Player().OnAir(), "");
  EXPECT_EQ(log.CountStartingWith("\nVIDRA::Player[0] - Following the main: S/3 () cannot be "
                                  "prepared here"),
            2u);
  mainSays(2, DONE, clock->LocalNow());
  mainSays(3, PLAY, clock->LocalNow());
  Run(0.3);
  EXPECT_EQ(Player().OnAir(), "/m/4.mxf");
  EXPECT_EQ(Run(12.0), "") << "nothing told, whatever ends";
  EXPECT_EQ(Item(r, 3).state, PLAY) << "until the main says so";
}

}  // namespace
}  // namespace vidra

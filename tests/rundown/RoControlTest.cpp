// roCtrl on a running order: acceptance by item state, refusals, the end of other playing
// items, and the control fields the playback thread acts on.
#include <gtest/gtest.h>

#include "common/Log.h"
#include "rundown/Ro.h"
#include "tests/rundown/RundownBuilders.h"

namespace vidra {
namespace {

class FakePlayout final : public PlayoutControl {
 public:
  void StopNow(std::int32_t channel) override { stopped.push_back(channel); }
  bool PushNotice(StatusNotice notice) override {
    if (notices.size() >= 10) {
      return false;
    }
    notices.push_back(std::move(notice));
    return true;
  }
  std::int32_t NextCtrlActionId() override { return ++counter; }
  void CommandPosted(std::int32_t channel) override { woken.push_back(channel); }
  FileTime UtcNow() const override { return kUnixEpochFileTime; }

  std::vector<std::int32_t> stopped;
  std::vector<std::int32_t> woken;
  std::vector<StatusNotice> notices;
  std::int32_t counter = 0;
};

class Control : public ::testing::Test {
 protected:
  Control() : r(test::MakeRo("R", {"A", "B"})) {
    r->mosID = "VIDRA.NEWS";
    test::SetAllStates(*r, READY);
  }
  EditResult Execute(const MosText& storyID, const MosText& itemID, int command) {
    return r->ExecuteCtrl(storyID, itemID, static_cast<CtrlCommand>(command), playout, 3);
  }
  item& At(int s, int i) { return r->stories[s].items[i]; }

  LogCapture log;
  FakePlayout playout;
  std::unique_ptr<ro> r;
};

TEST_F(Control, AcceptedCommandsRecordWhatPlaybackDoesNext) {
  r->trigger = TIMED;
  r->roTrigger = "TIMED";
  EXPECT_EQ(Execute("B", "B2", 2), EditResult::Ok);
  EXPECT_EQ(r->ctrlCommand, CtrlCommand::EXECUTE);
  EXPECT_EQ(r->ctrlStoryIndex, 1);
  EXPECT_EQ(r->ctrlItemIndex, 1);
  EXPECT_EQ(r->ctrlActionId, 1);
  EXPECT_EQ(r->trigger, MANUAL) << "an accepted roCtrl ends the timed start";
  EXPECT_EQ(r->roTrigger, "TIMED") << "roList gives back the NRCS's word";
  EXPECT_TRUE(r->TimedStartUsed());
  EXPECT_EQ(Execute(MosText(), MosText(), 1), EditResult::Ok) << "the first item of the first";
  EXPECT_EQ(r->ctrlStoryIndex, 0);
  EXPECT_EQ(r->ctrlItemIndex, 0);
  EXPECT_EQ(r->ctrlActionId, 2);
  At(0, 1).state = DONE;
  EXPECT_EQ(Execute("A", "A2", 1), EditResult::Ok) << "READY for a DONE item";
  EXPECT_EQ(Execute("A", "A2", 0), EditResult::Ok);
  EXPECT_EQ(r->ctrlActionId, 3) << "SIGNAL changes nothing";
  EXPECT_EQ(playout.woken, (std::vector<std::int32_t>{3, 3, 3}))
      << "the channel's playback is woken for each command it acts on";
  EXPECT_TRUE(log.Records().empty()) << "accepted commands log nothing";
}

TEST_F(Control, RefusalsNameWhatIsWrongAndStillEndOtherItems) {
  At(0, 0).state = NOT_READY;
  EXPECT_EQ(Execute(MosText(), MosText(), 2), EditResult::Refused);
  EXPECT_EQ(log.CountOf("VIDRA::roCtrl command=2 ERROR - Wrang state=1 for StoryID= and ItemID=\n"),
            1u);
  EXPECT_EQ(Execute("Q", MosText(), 2), EditResult::UnknownStory);
  EXPECT_EQ(log.CountOf("VIDRA::roCtrl command=2 ERROR - Wrang StoryID = Q\n"), 1u);
  EXPECT_EQ(Execute("A", "Q", 1), EditResult::UnknownItem);
  EXPECT_EQ(log.CountOf("VIDRA::roCtrl command=1 ERROR - Wrang StoryID=A and ItemID=Q\n"), 1u);
  EXPECT_EQ(r->ctrlActionId, 0) << "a refused command changes no control field";
  EXPECT_TRUE(playout.woken.empty()) << "and wakes nothing";

  At(1, 0).state = PLAY;
  At(1, 1).state = PAUSE;
  EXPECT_EQ(Execute("A", "A2", 3), EditResult::Refused) << "PAUSE of a READY item";
  EXPECT_EQ(
      log.CountOf("VIDRA::roCtrl command=3 ERROR - Wrang state=2 for StoryID=A and ItemID=A2\n"),
      1u);
  EXPECT_EQ(At(1, 0).state, DONE);
  EXPECT_EQ(At(1, 0).stateTime, 0x0022D0100022D010ull);
  EXPECT_STREQ(At(1, 1).StateWord(), "DONE");
  ASSERT_EQ(playout.notices.size(), 2u);
  EXPECT_EQ(playout.notices[0].status, "STOP");
  EXPECT_EQ(playout.notices[0].itemID, "B1");
  EXPECT_EQ(playout.notices[0].channel, 3);
  EXPECT_EQ(playout.notices[0].mosID, "VIDRA.NEWS");
  EXPECT_EQ(playout.notices[0].time, "1970-01-01T00:00:00");
}

TEST_F(Control, StopAlwaysStopsTheChannel) {
  At(0, 0).state = PLAY;
  At(1, 1).state = PAUSE;
  EXPECT_EQ(Execute("A", "missing", 4), EditResult::Ok);
  EXPECT_EQ(playout.stopped, (std::vector<std::int32_t>{3}));
  EXPECT_EQ(log.CountOf("VIDRA::roCtrl command=4 ERROR - Wrang StoryID=A and ItemID=missing\n"),
            1u);
  EXPECT_EQ(r->ctrlCommand, CtrlCommand::STOP);
  EXPECT_EQ(r->ctrlStoryIndex, 0);
  EXPECT_EQ(r->ctrlItemIndex, -1);
  EXPECT_EQ(At(0, 0).state, DONE);
  EXPECT_EQ(At(1, 1).state, DONE);

  At(0, 1).state = PLAY;
  EXPECT_EQ(Execute("A", "A2", 4), EditResult::Ok);
  EXPECT_EQ(At(0, 1).state, PLAY) << "the named item is left to the playback thread";

  while (playout.PushNotice(StatusNotice{})) {
  }
  At(1, 0).state = PLAY;
  EXPECT_EQ(Execute(MosText(), MosText(), 4), EditResult::Ok);
  EXPECT_EQ(At(1, 0).state, DONE) << "a full queue drops the notice, not the stop";
}

}  // namespace
}  // namespace vidra

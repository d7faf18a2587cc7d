// The playback thread's queries over a snapshot of running orders.
#include "playout/PlayContext.h"

#include <gtest/gtest.h>

#include "common/Log.h"

namespace vidra {
namespace {

item Item(const std::string& id, std::int32_t state, std::int32_t trigger = CHAINED) {
  item i;
  i.itemID = id;
  i.objID = "obj" + id;
  i.paths.objPath = "/m/" + id + ".mxf";
  i.state = state;
  i.trigger = trigger;
  return i;
}

std::shared_ptr<ro> Ro(const std::string& id, std::vector<story> stories) {
  auto r = std::make_shared<ro>();
  r->roID = id;
  r->mosID = "VIDRA";
  r->stories = std::move(stories);
  return r;
}

story Story(const std::string& id, std::vector<item> items) {
  story s;
  s.storyID = id;
  s.items = std::move(items);
  return s;
}

class Queries : public ::testing::Test {
 protected:
  LogCapture quiet;
};

TEST_F(Queries, ContextsCompareByTheirTexts) {
  PlayContext a = ResetContext();
  PlayContext b = ClearContext();
  EXPECT_TRUE(a.roID.Present());
  EXPECT_FALSE(b.roID.Present());
  EXPECT_TRUE(SameContext(a, b)) << "absent and empty are equal";
  b.roIndex = 4;
  b.command = CtrlCommand::EXECUTE;
  EXPECT_TRUE(SameContext(a, b));
  b.objPath = "x";
  EXPECT_FALSE(SameContext(a, b));
  b.roID = "R";
  b.storyIndex = 1;
  b.storyID = "S";
  b.itemIndex = 2;
  b.itemID = "I";
  EXPECT_EQ(FormatContext(b), "roID=R, storyID[1]=S, itemId[2]=I, path='x'");
}

TEST_F(Queries, NewestCommandAboveTheBound) {
  auto first = Ro("A", {Story("S", {Item("1", READY)})});
  auto second = Ro("B", {Story("S", {Item("1", READY), Item("2", READY)})});
  first->ctrlActionId = 7;
  second->ctrlActionId = 9;
  second->ctrlCommand = CtrlCommand::READY;
  second->ctrlStoryIndex = 0;
  second->ctrlItemIndex = 1;
  const Snapshot snapshot{first, second};
  const auto newest = NewestCommand(snapshot, 7);
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(newest->roID, "B");
  EXPECT_EQ(newest->roIndex, 1);
  EXPECT_EQ(newest->command, CtrlCommand::READY);
  EXPECT_EQ(newest->actionId, 9);
  EXPECT_EQ(newest->itemID, "2");
  EXPECT_EQ(newest->objPath, "/m/2.mxf");
  EXPECT_FALSE(NewestCommand(snapshot, 9).has_value());

  second->ctrlStoryIndex = 5;  // beyond its stories
  const auto outside = NewestCommand(snapshot, 7);
  ASSERT_TRUE(outside.has_value());
  EXPECT_EQ(outside->roID, "B");
  EXPECT_EQ(outside->storyIndex, 5);
  EXPECT_FALSE(outside->storyID.Present());
  EXPECT_FALSE(outside->itemID.Present());
}

TEST_F(Queries, NextPlayablePassesUncheckedItemsAndStopsAtManual) {
  auto r = Ro("R", {Story("A", {Item("1", READY), Item("2", READY), Item("3", PLAY),
                                Item("4", NOT_READY), Item("5", NEW)}),
                    Story("B", {Item("6", READY)})});
  PlayContext current = ResetContext();
  current.roID = "R";
  current.storyID = "A";
  current.itemID = "3";
  auto next = NextItem({r}, current);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->itemID, "6");
  EXPECT_EQ(next->storyIndex, 1);
  EXPECT_EQ(next->itemIndex, 0);
  EXPECT_EQ(next->command, CtrlCommand::EXECUTE);

  r->stories[0].items[3].trigger = MANUAL;
  r->stories[0].items[4].state = READY;
  EXPECT_FALSE(NextItem({r}, current).has_value()) << "a MANUAL item ends the walk";

  current.itemID = "gone";
  next = NextItem({r}, current);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->itemID, "1") << "from the story's first item again";

  current.roID = "deleted";
  next = NextItem({r}, current);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->roIndex, -1) << "names no place: the playback plays an empty task";
  EXPECT_FALSE(ItemAt({r}, next->roIndex, next->storyIndex, next->itemIndex).has_value());
  EXPECT_FALSE(NextItem({}, current).has_value());
}

TEST_F(Queries, DueTimedRunningOrders) {
  const FileTime now = 200'000'000'000'000'000ull;
  auto early = Ro("E", {Story("S", {Item("1", READY)})});
  auto late = Ro("L", {Story("S", {Item("2", READY)})});
  auto unchecked = Ro("U", {Story("S", {Item("3", READY)})});
  for (auto& [r, ms] : {std::pair{early, 600}, std::pair{late, 200}, std::pair{unchecked, 100}}) {
    r->trigger = TIMED;
    r->roTrigger = "TIMED";
    r->checkState = CheckState::Checked;
    r->startTime = now + static_cast<FileTime>(ms) * kTicksPerMillisecond;
  }
  unchecked->checkState = CheckState::Unchecked;  // its media check is not complete: never due
  FileTime cursor = 0;
  auto due = DueTimedRo({early, late, unchecked}, cursor, now);
  ASSERT_TRUE(due.has_value());
  EXPECT_EQ(due->context.roID, "L");
  EXPECT_EQ(due->context.itemID, "2");
  EXPECT_EQ(due->startTime, late->startTime);
  EXPECT_EQ(cursor, now);

  late->startTime = now + 1500 * kTicksPerMillisecond;  // not yet
  early->startTime = now - kTicksPerMillisecond;        // before the cursor: never taken
  EXPECT_FALSE(DueTimedRo({early, late}, cursor, now).has_value());
  EXPECT_EQ(cursor, now);

  ConsumeTimedStarts({early, late}, now - 5 * kTicksPerMillisecond, now);
  EXPECT_EQ(early->trigger, MANUAL);
  EXPECT_TRUE(early->TimedStartUsed());
  EXPECT_EQ(late->trigger, TIMED);
  EXPECT_FALSE(late->TimedStartUsed());
}

TEST_F(Queries, ItemsByIdsTakeTheLastMatch) {
  auto r = Ro("R", {Story("S", {Item("1", READY), Item("1", CUE)})});
  const auto place = FindItemByIds({r}, "R", "S", "1");
  ASSERT_TRUE(place.has_value());
  std::lock_guard guard(r->lock);
  ASSERT_NE(Resolve(*place), nullptr);
  EXPECT_EQ(Resolve(*place)->state, CUE);
  EXPECT_FALSE(FindItemByIds({r}, "R", "S", "9").has_value());
  EXPECT_FALSE(FindItemByIds({r}, "Q", "S", "1").has_value());
}

}  // namespace
}  // namespace vidra

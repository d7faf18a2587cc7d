// The store: add, replace in place, delete, lookups, acks, shared ownership and the media
// check's access to unchecked items.
#include <gtest/gtest.h>

#include "common/Log.h"
#include "rundown/RoStore.h"
#include "tests/rundown/RundownBuilders.h"

namespace vidra {
namespace {

using test::MakeRo;
using test::StoryOrder;

std::string RoOrder(const RoStore& store) {
  std::vector<std::shared_ptr<ro>> list;
  store.CopyRoList(list);
  std::string order;
  for (const auto& r : list) {
    order.append(order.empty() ? "" : " ").append(r->roID.Str()).append(":");
    order += StoryOrder(*r);
  }
  return order;
}

TEST(RoStore, ReplaceKeepsThePlaceAndAcksEveryItemNew) {
  RoStore store;
  RoAckInfo ack;
  ASSERT_EQ(store.AddRo(MakeRo("R1", {"A"}), ack), EditResult::Ok);
  ASSERT_EQ(store.AddRo(MakeRo("R2", {"B"}), ack), EditResult::Ok);
  ASSERT_EQ(store.AddRo(MakeRo("R3", {"C"}), ack), EditResult::Ok);

  RoAckInfo replaced;
  auto again = MakeRo("R2", {"X", "Y"}, 3);
  again->stories[1].items[2].state = READY;  // whatever it says, a new one is unchecked
  EXPECT_EQ(store.AddRo(std::move(again), replaced), EditResult::Ok);
  EXPECT_EQ(RoOrder(store), "R1:A R2:X Y R3:C");
  EXPECT_EQ(replaced.roID, "R2");
  ASSERT_EQ(replaced.stories.size(), 2u);
  EXPECT_EQ(replaced.stories[1].storyID, "Y");
  EXPECT_EQ(replaced.stories[1].itemIDs.size(), 3u);
  EXPECT_EQ(replaced.stories[1].objIDs[0], "obj-Y1");
  EXPECT_EQ(replaced.stories[0].statuses, (std::vector<std::string>{"NEW", "NEW", "NEW"}));
  EXPECT_EQ(store.GetRoCount(), 3);
  EXPECT_EQ(store.FindRo("R3"), 2);
  EXPECT_EQ(store.FindRo("r3"), -1) << "IDs compare with their case";
  EXPECT_EQ(store.GetRoAt(3), nullptr);
  EXPECT_EQ(store.GetRoAt(-1), nullptr);
  EXPECT_EQ(store.GetRo("none"), nullptr);
}

TEST(RoStore, DeleteAnswersOkOrNackWithTheRoId) {
  RoStore store;
  RoAckInfo ack;
  ASSERT_EQ(store.AddRo(MakeRo("R1", {"A"}), ack), EditResult::Ok);
  ASSERT_EQ(store.AddRo(MakeRo("R2", {"B"}), ack), EditResult::Ok);
  RoAckInfo deleted;
  EXPECT_EQ(store.DeleteRo("R1", deleted), EditResult::Ok);
  EXPECT_EQ(deleted.roID, "R1");
  EXPECT_EQ(RoOrder(store), "R2:B");
  RoAckInfo missing;
  EXPECT_EQ(store.DeleteRo("R1", missing), EditResult::UnknownRo);
  EXPECT_EQ(missing.roID, "R1");
  EXPECT_EQ(RoOrder(store), "R2:B");
}

TEST(RoStore, ReadersKeepTheirRunningOrderThroughReplaceAndDelete) {
  LogCapture log;
  RoStore store;
  RoAckInfo ack;
  ASSERT_EQ(store.AddRo(MakeRo("R1", {"A", "B"}), ack), EditResult::Ok);
  std::shared_ptr<ro> held = store.GetRo("R1");
  ASSERT_EQ(store.AddRo(MakeRo("R1", {"Z"}), ack), EditResult::Ok);
  EXPECT_EQ(StoryOrder(*held), "A B") << "the replaced one lives on unchanged";
  EXPECT_EQ(StoryOrder(*store.GetRo("R1")), "Z");
  EXPECT_EQ(log.CountOf("Destructor"), 0u);

  std::shared_ptr<ro> second = store.GetRo("R1");
  ASSERT_EQ(store.DeleteRo("R1", ack), EditResult::Ok);
  EXPECT_EQ(StoryOrder(*second), "Z");
  EXPECT_EQ(store.GetRoCount(), 0);
  held.reset();
  EXPECT_EQ(log.CountOf("Destructor"), 1u) << "gone with its last holder";
  second.reset();
  EXPECT_EQ(log.CountOf("Destructor"), 2u);
}

TEST(RoStore, LookupsTakeTheLastMatchAndAcksFilter) {
  auto r = MakeRo("R", {"A", "B", "A"});
  r->stories[2].items[1].itemID = "A1";  // story 2 holds A1 twice
  EXPECT_EQ(r->FindStory("A"), 2);
  EXPECT_EQ(r->FindStory("Q"), -1);
  EXPECT_EQ(r->FindItem(2, "A1"), 1);
  EXPECT_EQ(r->FindItem(7, "A1"), -1);
  EXPECT_EQ(ro().FindStory(""), -1);

  RoAckInfo all;
  r->FillRoAck(all, MosText(), MosText());
  EXPECT_EQ(all.stories.size(), 3u);
  RoAckInfo oneStory;
  r->FillRoAck(oneStory, "A", MosText());
  ASSERT_EQ(oneStory.stories.size(), 2u) << "both stories called A";
  RoAckInfo oneItem;
  r->FillRoAck(oneItem, "A", "A1");
  ASSERT_EQ(oneItem.stories.size(), 2u);
  EXPECT_EQ(oneItem.stories[0].itemIDs.size(), 1u);
  EXPECT_EQ(oneItem.stories[1].itemIDs.size(), 2u);
  RoAckInfo noItem;
  r->FillRoAck(noItem, "B", "nothing");
  ASSERT_EQ(noItem.stories.size(), 1u) << "the story is listed with empty lists";
  EXPECT_TRUE(noItem.stories[0].statuses.empty());
  RoAckInfo noStory;
  r->FillRoAck(noStory, "nothing", MosText());
  EXPECT_TRUE(noStory.stories.empty());
  EXPECT_EQ(noStory.roID, "R");
}

TEST(RoStore, FindNewItemSummarisesPassedStoriesAndStopsAtTheFirstNew) {
  RoStore store;
  RoAckInfo ack;
  auto r = MakeRo("R", {"A", "B", "E", "C", "D"});
  r->stories[2].items.clear();
  test::SetAllStates(*r, READY);
  r->stories[1].items[0].state = NOT_READY;
  r->stories[3].items[1].state = NEW;
  r->stories[3].state = 7;
  r->stories[4].items[0].state = NEW;
  ASSERT_EQ(store.AddRo(std::move(r), ack), EditResult::Ok);
  const auto stored = store.GetRo("R");

  auto found = store.FindNewItem(0);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->snapshot.itemID, "C2");
  EXPECT_EQ(found->storyIndex, 3);
  EXPECT_EQ(found->itemIndex, 1);
  EXPECT_EQ(found->owner, stored);
  EXPECT_EQ(stored->stories[0].state, READY);
  EXPECT_EQ(stored->stories[1].state, NOT_READY);
  EXPECT_EQ(stored->stories[2].state, READY) << "a story without items";
  EXPECT_EQ(stored->stories[3].state, 7) << "the story of the NEW item is left as it was";
  EXPECT_EQ(store.FindNewItem(1), std::nullopt);

  ASSERT_TRUE(store.CompleteItemCheck(*found, READY, 250, 25.0));
  EXPECT_EQ(stored->stories[3].items[1].state, READY);
  EXPECT_DOUBLE_EQ(*stored->stories[3].items[1].playDuration, 10.0);
  EXPECT_FALSE(store.CompleteItemCheck(*found, NOT_READY, 0, 25.0)) << "no longer NEW";
  EXPECT_EQ(stored->stories[3].state, READY) << "its last NEW item is checked";
  EXPECT_FALSE(store.FinishCheck(*stored)) << "D1 is still NEW";

  found = store.FindNewItem(0);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->snapshot.itemID, "D1");
  // An edit between the probe and the write-back voids the result.
  RoAckInfo edit;
  ASSERT_EQ(
      store.ApplyElementAction(test::Action(ElementOp::SWAP, "R", {}, {"A", "B"}), edit, false),
      EditResult::Ok);
  EXPECT_FALSE(store.CompleteItemCheck(*found, READY, 250, 25.0));
  EXPECT_EQ(stored->stories[4].items[0].state, NEW);

  // The edit made every item NEW again. Checked from the last item to the first, each story
  // gets its summary when its own items are all checked, and the last check finishes it.
  const std::vector<NewItemRef> refs = store.CollectNewItems();
  ASSERT_EQ(refs.size(), 8u);
  const std::shared_ptr<ro> edited = refs.front().owner;
  for (auto ref = refs.rbegin(); ref != refs.rend(); ++ref) {
    const story& s = edited->stories[static_cast<std::size_t>(ref->storyIndex)];
    EXPECT_FALSE(store.FinishCheck(*edited));
    EXPECT_EQ(s.state, 0) << s.storyID.Str();
    const bool first = ref->itemIndex == 0;
    ASSERT_TRUE(store.CompleteItemCheck(*ref, first ? NOT_READY : READY, 250, 25.0));
    EXPECT_EQ(s.state, first ? NOT_READY : 0) << s.storyID.Str();
  }
  EXPECT_TRUE(store.FinishCheck(*edited));
  EXPECT_EQ(edited->stories[2].state, READY) << "a story without items";
  EXPECT_FALSE(store.FinishCheck(*edited)) << "once";
}

}  // namespace
}  // namespace vidra

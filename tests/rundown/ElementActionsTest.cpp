// Edits of a stored running order A B C D E (items A1 A2, B1 B2, ...), all READY before each
// edit: an edit that is made resets the states; one that is refused leaves the running order
// exactly as it was, states included.
#include <gtest/gtest.h>

#include "common/Log.h"
#include "rundown/RoStore.h"
#include "tests/rundown/RundownBuilders.h"

namespace vidra {
namespace {

using test::Action;
using test::ItemOrder;
using test::MakeItem;
using test::MakeStory;
using test::StoryOrder;

class ElementActions : public ::testing::Test {
 protected:
  ElementActions() { Reload({"A", "B", "C", "D", "E"}); }
  void Reload(const std::vector<std::string>& stories, int items = 2) {
    RoAckInfo added;
    EXPECT_EQ(store.AddRo(test::MakeRo("R", stories, items), added), EditResult::Ok);
    stored = store.GetRo("R");
    test::SetAllStates(*stored, READY);
  }
  EditResult Apply(const ElementAction& action, bool listTouched = false) {
    ack = RoAckInfo();
    return store.ApplyElementAction(action, ack, listTouched);
  }
  std::string Order() const { return StoryOrder(*stored); }
  std::string Items(int story) const { return ItemOrder(stored->stories[story]); }
  bool Reset() const {
    return stored->checkState == CheckState::Unchecked &&
           test::States(*stored).find("READY") == std::string::npos;
  }
  // A refused edit: nothing moved, nothing reset.
  void ExpectUntouched(const std::string& order) {
    EXPECT_EQ(Order(), order);
    EXPECT_EQ(stored->checkState, CheckState::Checked);
    EXPECT_EQ(test::States(*stored).find("NEW"), std::string::npos) << test::States(*stored);
  }
  static std::string Missing(const std::string& story, const std::string& item) {
    return "Can't find element: RoID='R' StoryID='" + story + "' ItemID='" + item + "'\n";
  }

  LogCapture log;
  RoStore store;
  std::shared_ptr<ro> stored;
  RoAckInfo ack;
};

TEST_F(ElementActions, MissingElementLineIsCutAt1023Characters) {
  ReportMissingElement("R", nullptr);
  EXPECT_EQ(log.CountOf(Missing("", "")), 1u);
  const ElementRef huge{std::string(5000, 's'), "item"};
  ReportMissingElement("R", &huge);
  EXPECT_EQ(log.Records().back().size(), 1023u);
}

TEST_F(ElementActions, MoveStoriesInListOrderBeforeTheTargetOrToTheBottom) {
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"E"}, {"A", "C"})), EditResult::Ok);
  EXPECT_EQ(Order(), "B D A C E");
  EXPECT_TRUE(Reset());
  Reload({"A", "B", "C", "D", "E"});
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"E"}, {"C", "A"})), EditResult::Ok);
  EXPECT_EQ(Order(), "B D C A E");
  Reload({"A", "B", "C", "D", "E"});
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {}, {"D", "B"})), EditResult::Ok);
  EXPECT_EQ(Order(), "A C E D B") << "no target: to the bottom";
  // The target among the sources stays; a source named twice moves once.
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"C"}, {"C", "B", "C", "B"})), EditResult::Ok);
  EXPECT_EQ(Order(), "A B C E D");

  test::SetAllStates(*stored, READY);
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {}, {"A", "Q"})), EditResult::UnknownStory);
  EXPECT_EQ(ack.detail, "Q");
  EXPECT_EQ(log.CountOf(Missing("Q", "")), 1u);
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"Q"}, {"A"})), EditResult::UnknownStory)
      << "a target that is named must exist";
  ExpectUntouched("A B C E D");
}

TEST_F(ElementActions, MoveItemsOnlyInsideTheTargetStory) {
  Reload({"A", "B"}, 4);
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"A/A2"}, {"/A4", "/A3"})), EditResult::Ok);
  EXPECT_EQ(Items(0), "A1 A4 A3 A2");
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"A"}, {"/A1"})), EditResult::Ok);
  EXPECT_EQ(Items(0), "A4 A3 A2 A1") << "no target item: to the bottom of the story";

  test::SetAllStates(*stored, READY);
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"A"}, {"/A1", "/B1"})), EditResult::UnknownItem)
      << "B1 is in another story";
  EXPECT_EQ(ack.detail, "B1");
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"A/Q"}, {"/A1"})), EditResult::UnknownItem);
  EXPECT_EQ(log.CountOf(Missing("A", "Q")), 1u);
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"A"}, {"B", "/A1"})), EditResult::Malformed);
  EXPECT_EQ(log.CountOf("\nWrang command - roElementAction-MOVE has both sources: <storyID> and "
                        "<itemID> !!!\n\n"),
            1u);
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "R", {"A"}, {"/"})), EditResult::Malformed);
  EXPECT_EQ(log.CountOf("\nWrang command - roElementAction-MOVE has empty source tag !!!\n\n"), 1u);
  ExpectUntouched("A B");
  EXPECT_EQ(Items(0), "A4 A3 A2 A1");
}

TEST_F(ElementActions, DeleteGoesOnPastElementsAlreadyGone) {
  EXPECT_EQ(Apply(Action(ElementOp::DELETE, "R", {}, {"X", "B"})), EditResult::Ok);
  EXPECT_EQ(Order(), "A C D E");
  EXPECT_EQ(log.CountOf(Missing("X", "")), 1u);
  EXPECT_TRUE(Reset());
  EXPECT_EQ(Apply(Action(ElementOp::DELETE, "R", {"C"}, {"/C2", "/ZZ"})), EditResult::Ok);
  EXPECT_EQ(Items(1), "C1");
  EXPECT_EQ(log.CountOf(Missing("", "ZZ")), 1u);

  test::SetAllStates(*stored, READY);
  EXPECT_EQ(Apply(Action(ElementOp::DELETE, "R", {}, {"B"})), EditResult::Ok)
      << "a delete sent again is not refused";
  EXPECT_EQ(Apply(Action(ElementOp::DELETE, "R", {"Q"}, {"/C1"})), EditResult::UnknownStory);
  ExpectUntouched("A C D E");
  EXPECT_EQ(Apply(Action(ElementOp::DELETE, "R", {}, {"A", "C", "D", "E"})), EditResult::Ok);
  EXPECT_EQ(Order(), "");
}

TEST_F(ElementActions, InsertBeforeTheTargetOrAtTheEnd) {
  EXPECT_EQ(
      Apply(Action(ElementOp::INSERT, "R", {"C"}, {}, {MakeStory("N1"), MakeStory("N2")}), true),
      EditResult::Ok);
  EXPECT_EQ(Order(), "A B N1 N2 C D E");
  ASSERT_EQ(ack.stories.size(), 2u) << "the answer lists the inserted stories";
  EXPECT_EQ(ack.stories[1].storyID, "N2");
  EXPECT_EQ(ack.stories[1].statuses, (std::vector<std::string>{"NEW", "NEW"}));
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, {MakeStory("T")})), EditResult::Ok);
  EXPECT_EQ(Order(), "A B N1 N2 C D E T") << "no target: appended";
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"A/A2"}, {}, {}, {MakeItem("X")})),
            EditResult::Ok);
  EXPECT_EQ(Items(0), "A1 X A2");
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"A"}, {}, {}, {MakeItem("Z")})), EditResult::Ok);
  EXPECT_EQ(Items(0), "A1 X A2 Z");

  test::SetAllStates(*stored, READY);
  const std::string order = Order();
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"nowhere"}, {}, {MakeStory("U")})),
            EditResult::UnknownStory);
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"A/none"}, {}, {}, {MakeItem("Y")})),
            EditResult::UnknownItem);
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"Q"}, {}, {}, {MakeItem("W")})),
            EditResult::UnknownStory);
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, {}, {MakeItem("W")})),
            EditResult::Malformed)
      << "items need a story";
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, {MakeStory("V")}, {MakeItem("W")})),
            EditResult::Malformed);
  EXPECT_EQ(log.CountOf("\nWrang command - roElementAction-INSERT has both sources: <story> and "
                        "<item> !!!\n\n"),
            2u);
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"A", "B"}, {}, {MakeStory("V")})),
            EditResult::Malformed);
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"A"}, {})), EditResult::Malformed);
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-INSERT message"),
            2u);
  ExpectUntouched(order);
  EXPECT_EQ(Items(0), "A1 X A2 Z");
}

TEST_F(ElementActions, NewIdsMustBeUniqueBesideTheirNeighbours) {
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, {MakeStory("C")})),
            EditResult::DuplicateId);
  EXPECT_EQ(ack.detail, "C");
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, {MakeStory("N"), MakeStory("N")})),
            EditResult::DuplicateId)
      << "twice in one message";
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"B"}, {}, {}, {MakeItem("B1")})),
            EditResult::DuplicateId);
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, {story{}})), EditResult::Malformed)
      << "a story without storyID";
  EXPECT_EQ(Apply(Action(ElementOp::REPLACE, "R", {"B"}, {}, {MakeStory("C")})),
            EditResult::DuplicateId);
  ExpectUntouched("A B C D E");
  // A story may take the place of itself, and an item of another story may share an ID.
  EXPECT_EQ(Apply(Action(ElementOp::REPLACE, "R", {"B"}, {}, {MakeStory("B", 3)})), EditResult::Ok);
  EXPECT_EQ(Items(1), "B1 B2 B3");
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {"A"}, {}, {}, {MakeItem("B1")})), EditResult::Ok);
}

TEST_F(ElementActions, ReplaceTakesTheTargetsPlace) {
  EXPECT_EQ(Apply(Action(ElementOp::REPLACE, "R", {"C"}, {},
                         {MakeStory("X"), MakeStory("Y"), MakeStory("Z")})),
            EditResult::Ok);
  EXPECT_EQ(Order(), "A B X Y Z D E");
  EXPECT_EQ(
      Apply(Action(ElementOp::REPLACE, "R", {"A/A1"}, {}, {}, {MakeItem("P"), MakeItem("Q")})),
      EditResult::Ok);
  EXPECT_EQ(Items(0), "P Q A2");

  test::SetAllStates(*stored, READY);
  EXPECT_EQ(Apply(Action(ElementOp::REPLACE, "R", {"A"}, {})), EditResult::Malformed);
  EXPECT_EQ(Apply(Action(ElementOp::REPLACE, "R", {"A/none"}, {}, {}, {MakeItem("P2")})),
            EditResult::UnknownItem);
  EXPECT_EQ(log.CountOf(Missing("A", "none")), 1u);
  EXPECT_EQ(Apply(Action(ElementOp::REPLACE, "R", {"gone"}, {}, {MakeStory("G")})),
            EditResult::UnknownStory);
  EXPECT_EQ(Apply(Action(ElementOp::REPLACE, "R", {}, {}, {MakeStory("G")})),
            EditResult::Malformed);
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-REPLACE message"),
            2u);
  ExpectUntouched("A B X Y Z D E");
  EXPECT_EQ(Items(0), "P Q A2");
}

TEST_F(ElementActions, SwapExchangesTwoStoriesOrTwoItems) {
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {}, {"B", "D"})), EditResult::Ok);
  EXPECT_EQ(Order(), "A D C B E");
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {}, {"C", "C"})), EditResult::Ok);
  EXPECT_EQ(Order(), "A D C B E") << "with itself: nothing changes";
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {"A"}, {"/A2", "/A1"})), EditResult::Ok);
  EXPECT_EQ(Items(0), "A2 A1");

  test::SetAllStates(*stored, READY);
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {}, {"Q", "A"})), EditResult::UnknownStory);
  EXPECT_EQ(log.CountOf(Missing("Q", "")), 1u);
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {"A"}, {"/A1", "/Q"})), EditResult::UnknownItem);
  EXPECT_EQ(log.CountOf(Missing("", "Q")), 1u) << "the second source is named";
  const std::string count = "Incorrect Number of fields in the last roElementAction-SWAP message";
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {}, {"A"})), EditResult::Malformed);
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {}, {"A/A1", "B"})), EditResult::Malformed);
  EXPECT_EQ(Apply(Action(ElementOp::SWAP, "R", {"A"}, {"B", "/A1"})), EditResult::Malformed);
  EXPECT_EQ(log.CountOf(count), 3u);
  ExpectUntouched("A D C B E");
}

TEST_F(ElementActions, UnknownRunningOrderAndCountErrors) {
  EXPECT_EQ(Apply(Action(ElementOp::DELETE, "none", {}, {"A"})), EditResult::UnknownRo);
  EXPECT_EQ(ack.roID, "none");
  EXPECT_EQ(log.CountOf("No such roID in Last RO delete message"), 1u);
  EXPECT_EQ(Apply(Action(ElementOp::MOVE, "none", {}, {"A"})), EditResult::UnknownRo);
  EXPECT_EQ(log.CountOf("Can't find element: RoID='none' StoryID='' ItemID=''\n"), 1u);
  for (const ElementOp op : {ElementOp::DELETE, ElementOp::MOVE}) {
    EXPECT_EQ(Apply(Action(op, "R", {}, {})), EditResult::Malformed);
    EXPECT_EQ(Apply(Action(op, "R", {"A", "B"}, {"C"})), EditResult::Malformed);
  }
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-DELETE message"),
            2u);
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-MOVE message"), 2u);
  ExpectUntouched("A B C D E");
}

TEST_F(ElementActions, TenThousandStoriesAppendedInOneEdit) {
  std::vector<story> many;
  for (int n = 0; n < 10000; ++n) {
    many.push_back(MakeStory("N" + std::to_string(n), 1));
  }
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, many), true), EditResult::Ok);
  EXPECT_EQ(stored->stories.size(), 10005u);
  EXPECT_EQ(stored->stories.back().storyID, "N9999");
  EXPECT_EQ(ack.stories.size(), 10000u);
  many.back().storyID = "A";
  EXPECT_EQ(Apply(Action(ElementOp::INSERT, "R", {}, {}, many)), EditResult::DuplicateId)
      << "the last one clashes: none is inserted";
  EXPECT_EQ(stored->stories.size(), 10005u);
}

}  // namespace
}  // namespace vidra

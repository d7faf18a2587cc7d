// roElementAction on a stored running order A B C D E (items A1 A2, B1 B2, ...), all READY
// before each action, so that the reset after every action shows.
#include <gtest/gtest.h>

#include "common/Log.h"
#include "rundown/RoStore.h"
#include "tests/rundown/RundownBuilders.h"

namespace vidra {
namespace {

using test::ItemOrder;
using test::MakeItem;
using test::MakeStory;
using test::StoryOrder;

class ElementActions : public ::testing::Test {
 protected:
  ElementActions() {
    RoAckInfo added;
    EXPECT_EQ(store.AddRo(test::MakeRo("R", {"A", "B", "C", "D", "E"}), added), HResult::S_OK);
    stored = store.GetRo("R");
    test::SetAllStates(*stored, READY);
  }
  std::string Order() const { return StoryOrder(*stored); }
  std::string Items(int story) const { return ItemOrder(stored->stories[story]); }
  // Every action resets the states, whatever its answer.
  void ExpectReset() {
    EXPECT_EQ(stored->checkState, 0);
    EXPECT_EQ(test::States(*stored).find("READY"), std::string::npos) << test::States(*stored);
  }
  static std::string Missing(const std::string& story, const std::string& item) {
    return "Can't find element: RoID='R' StoryID='" + story + "' ItemID='" + item + "'\n";
  }

  LogCapture log;
  RoStore store;
  std::shared_ptr<ro> stored;
  RoAckInfo ack;
};

TEST_F(ElementActions, ReferencesSplitAtTheFirstLineFeed) {
  const ElementParts both = SplitElementRef("S\nI\nJ");
  EXPECT_EQ(both.storyPart, "S");
  EXPECT_EQ(both.itemPart, "I\nJ");
  const ElementParts storyOnly = SplitElementRef("S\n");
  EXPECT_EQ(storyOnly.storyPart, "S");
  EXPECT_EQ(storyOnly.itemPart, "");
  const ElementParts plain = SplitElementRef("S");
  EXPECT_EQ(plain.storyPart, "S");
  EXPECT_EQ(plain.itemPart, "S") << "no line feed: the whole text is both parts";

  ReportMissingElement("R", nullptr);
  EXPECT_EQ(log.CountOf(Missing("", "")), 1u);
  const MosText huge(std::string(5000, 's') + "\nitem");
  ReportMissingElement("R", &huge);
  const auto records = log.Records();
  EXPECT_EQ(records.back().size(), 1023u) << "the whole line is cut at 1023 characters";
}

TEST_F(ElementActions, MoveStoriesInListOrderBeforeTheTargetOrToTheEnd) {
  EXPECT_EQ(store.MoveElements({"R", "E\n", "A\n", "C\n"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "B D A C E");
  EXPECT_EQ(ack.roStatus, "OK");
  ExpectReset();

  RoAckInfo second;
  ASSERT_EQ(store.AddRo(test::MakeRo("R", {"A", "B", "C", "D", "E"}), second), HResult::S_OK);
  stored = store.GetRo("R");
  EXPECT_EQ(store.MoveElements({"R", "E\n", "C\n", "A\n"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "B D C A E");

  ASSERT_EQ(store.AddRo(test::MakeRo("R", {"A", "B", "C", "D", "E"}), second), HResult::S_OK);
  stored = store.GetRo("R");
  EXPECT_EQ(store.MoveElements({"R", "D\n", "B\n"}, 0, 2, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "A C E D B");

  // The target among the sources stays; a source named twice moves once; unknown IDs drop.
  EXPECT_EQ(store.MoveElements({"R", "C\n", "B\n", "C\n", "B\n", "Q\n"}, 1, 4, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "A B C E D");
  EXPECT_EQ(ack.roStatus, "OK");
  EXPECT_EQ(store.MoveElements({"R", "X\n", "Y\n"}, 0, 2, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "A B C E D") << "nothing matches: nothing moves";
  EXPECT_EQ(ack.roStatus, "OK");

  EXPECT_EQ(store.MoveElements({"R", "Q\n", "A\n"}, 1, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK") << "target story missing";
  EXPECT_EQ(log.CountOf(Missing("Q", "")), 1u);
  EXPECT_EQ(Order(), "A B C E D");
}

TEST_F(ElementActions, MoveItemsOnlyInsideTheTargetStory) {
  RoAckInfo grown;
  auto r = test::MakeRo("R", {"A", "B"}, 4);
  ASSERT_EQ(store.AddRo(std::move(r), grown), HResult::S_OK);
  stored = store.GetRo("R");
  EXPECT_EQ(store.MoveElements({"R", "A\nA2", "\nA4", "\nA3"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(Items(0), "A1 A4 A3 A2");
  EXPECT_EQ(store.MoveElements({"R", "A\n", "\nA1", "\nB1"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(Items(0), "A4 A3 A2 A1") << "to the end; B1 is not in the story";
  EXPECT_EQ(Items(1), "B1 B2 B3 B4");
  EXPECT_EQ(store.MoveElements({"R", "A\nQ", "\nA1"}, 1, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf(Missing("A", "Q")), 1u);

  EXPECT_EQ(store.MoveElements({"R", "A\n", "B\nB1"}, 1, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "OK") << "stories and items: the stories move";
  EXPECT_EQ(log.CountOf("\nWrang command - roElementAction-MOVE has both sources: <storyID> and "
                        "<itemID> !!!\n\n"),
            1u);
  EXPECT_EQ(StoryOrder(*stored), "B A");
  EXPECT_EQ(store.MoveElements({"R", "A\n", "\n"}, 1, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf("\nWrang command - roElementAction-MOVE has empty source tag !!!\n\n"), 1u);
}

TEST_F(ElementActions, DeleteGoesOnPastMissingElements) {
  EXPECT_EQ(store.DeleteElements({"R", "X\n", "B\n"}, 0, 2, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "A C D E");
  EXPECT_EQ(ack.roStatus, "OK");
  EXPECT_EQ(log.CountOf(Missing("X", "")), 1u);
  ExpectReset();

  EXPECT_EQ(store.DeleteElements({"R", "C\n", "\nC2", "\nZZ"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(Items(1), "C1");
  EXPECT_EQ(ack.roStatus, "OK");
  EXPECT_EQ(log.CountOf(Missing("", "ZZ")), 1u);

  EXPECT_EQ(store.DeleteElements({"R", "Q\n", "\nC1"}, 1, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK") << "missing target story";
  EXPECT_EQ(Items(1), "C1");

  EXPECT_EQ(store.DeleteElements({"R", "A\n"}, 0, 50, ack), HResult::S_OK)
      << "a count past the references takes what is there";
  EXPECT_EQ(Order(), "C D E");
}

TEST_F(ElementActions, InsertBeforeTheTargetOrAtTheEnd) {
  EXPECT_EQ(store.InsertElements({"R", "C\n"}, 1, {MakeStory("N1"), MakeStory("N2")}, {}, 2, ack),
            HResult::S_OK);
  EXPECT_EQ(Order(), "A B N1 N2 C D E");
  EXPECT_EQ(store.InsertElements({"R"}, 0, {MakeStory("T")}, {}, 1, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "A B N1 N2 C D E T") << "no target: appended";
  EXPECT_EQ(store.InsertElements({"R", "nowhere\n"}, 1, {MakeStory("U")}, {}, 1, ack),
            HResult::S_OK);
  EXPECT_EQ(Order(), "A B N1 N2 C D E T U");
  EXPECT_EQ(ack.roStatus, "OK");

  EXPECT_EQ(store.InsertElements({"R", "A\nA2"}, 1, {}, {MakeItem("X")}, 1, ack), HResult::S_OK);
  EXPECT_EQ(Items(0), "A1 X A2");
  EXPECT_EQ(store.InsertElements({"R", "A\nnone"}, 1, {}, {MakeItem("Y")}, 1, ack), HResult::S_OK);
  EXPECT_EQ(Items(0), "A1 X A2 Y") << "unknown target item: appended to the story";
  EXPECT_EQ(store.InsertElements({"R", "A\n"}, 1, {}, {MakeItem("Z")}, 1, ack), HResult::S_OK);
  EXPECT_EQ(Items(0), "A1 X A2 Y Z");

  const std::string both =
      "\nWrang command - roElementAction-INSERT has both sources: <story> and <item> !!!\n\n";
  EXPECT_EQ(store.InsertElements({"R", "Q\n"}, 1, {}, {MakeItem("W")}, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "OK");
  EXPECT_EQ(log.CountOf(both), 1u) << "items into a missing story: nothing inserted";
  EXPECT_EQ(store.InsertElements({"R"}, 0, {}, {MakeItem("W")}, 1, ack), HResult::S_OK);
  EXPECT_EQ(log.CountOf(both), 2u);
  EXPECT_EQ(Order(), "A B N1 N2 C D E T U");
  ExpectReset();

  EXPECT_EQ(store.InsertElements({"R", "A\n", "B\n"}, 2, {MakeStory("V")}, {}, 1, ack),
            HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(store.InsertElements({"R", "A\n"}, 1, {MakeStory("V")}, {}, 0, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-INSERT message"),
            2u);
  EXPECT_EQ(Order(), "A B N1 N2 C D E T U");
  ExpectReset();
}

TEST_F(ElementActions, ReplaceTakesTheTargetsPlace) {
  EXPECT_EQ(store.ReplaceElements({"R", "C\n"}, 1, {MakeStory("X"), MakeStory("Y"), MakeStory("Z")},
                                  {}, 3, ack),
            HResult::S_OK);
  EXPECT_EQ(Order(), "A B X Y Z D E");
  EXPECT_EQ(ack.roStatus, "OK");
  EXPECT_EQ(store.ReplaceElements({"R", "A\nA1"}, 1, {}, {MakeItem("P"), MakeItem("Q")}, 2, ack),
            HResult::S_OK);
  EXPECT_EQ(Items(0), "P Q A2");

  EXPECT_EQ(store.ReplaceElements({"R", "A\n"}, 1, {}, {}, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf("\nWrang command - roElementAction-REPLACE has empty source tag !!!\n\n"),
            1u);
  EXPECT_EQ(store.ReplaceElements({"R", "A\nnone"}, 1, {}, {MakeItem("P")}, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf(Missing("A", "none")), 1u);
  EXPECT_EQ(store.ReplaceElements({"R", "gone\n"}, 1, {MakeStory("G")}, {}, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(store.ReplaceElements({"R"}, 0, {MakeStory("G")}, {}, 1, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-REPLACE message"),
            1u);
  EXPECT_EQ(Order(), "A B X Y Z D E");
  EXPECT_EQ(Items(0), "P Q A2");
  ExpectReset();
}

TEST_F(ElementActions, SwapExchangesTwoStoriesOrTwoItems) {
  EXPECT_EQ(store.SwapElements({"R", "B\n", "D\n"}, 0, 2, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "A D C B E");
  EXPECT_EQ(store.SwapElements({"R", "C\n", "C\n"}, 0, 2, ack), HResult::S_OK);
  EXPECT_EQ(Order(), "A D C B E") << "with itself: nothing changes";
  EXPECT_EQ(ack.roStatus, "OK");
  EXPECT_EQ(store.SwapElements({"R", "A\n", "\nA2", "\nA1"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(Items(0), "A2 A1");

  EXPECT_EQ(store.SwapElements({"R", "Q\n", "A\n"}, 0, 2, ack), HResult::S_OK);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf(Missing("Q", "")), 1u);
  EXPECT_EQ(store.SwapElements({"R", "A\n", "\nA1", "\nQ"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(log.CountOf(Missing("", "Q")), 1u) << "the second source is named";
  const std::string count = "Incorrect Number of fields in the last roElementAction-SWAP message";
  EXPECT_EQ(store.SwapElements({"R", "A\n"}, 0, 1, ack), HResult::S_OK);
  EXPECT_EQ(store.SwapElements({"R", "A\nA1", "B\n"}, 0, 2, ack), HResult::S_OK);
  EXPECT_EQ(store.SwapElements({"R", "A\n", "B\n", "\nA1"}, 1, 2, ack), HResult::S_OK);
  EXPECT_EQ(log.CountOf(count), 3u);
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(Order(), "A D C B E");
  ExpectReset();
}

TEST_F(ElementActions, UnknownRunningOrderAndCountErrors) {
  EXPECT_EQ(store.DeleteElements({"none", "A\n"}, 0, 1, ack), HResult::E_FAIL);
  EXPECT_EQ(ack.roID, "none");
  EXPECT_EQ(ack.roStatus, "NACK");
  EXPECT_EQ(log.CountOf("No such roID in Last RO delete message"), 1u);
  EXPECT_EQ(store.MoveElements({"none", "A\n"}, 0, 1, ack), HResult::E_FAIL);
  EXPECT_EQ(log.CountOf("Can't find element: RoID='none' StoryID='' ItemID=''\n"), 1u);
  EXPECT_EQ(store.SwapElements({}, 0, 2, ack), HResult::E_FAIL) << "no roID at all";
  EXPECT_EQ(test::States(*stored).find("NEW"), std::string::npos) << "nothing was reset";

  for (const auto& [refs, nTarget, nSource] :
       {std::tuple<ElementRefs, int, int>{{"R", "A\n"}, 0, 0}, {{"R", "A\n", "B\n"}, 2, 1}}) {
    RoAckInfo rejected;
    EXPECT_EQ(store.DeleteElements(refs, nTarget, nSource, rejected), HResult::S_OK);
    EXPECT_EQ(rejected.roStatus, "NACK");
    EXPECT_EQ(store.MoveElements(refs, nTarget, nSource, rejected), HResult::S_OK);
  }
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-DELETE message"),
            2u);
  EXPECT_EQ(log.CountOf("Incorrect Number of fields in the last roElementAction-MOVE message"), 2u);
  EXPECT_EQ(Order(), "A B C D E");
  ExpectReset();
}

}  // namespace
}  // namespace vidra

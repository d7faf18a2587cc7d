// Element actions and AddRo on one thread while two others copy the list and read items under
// the running orders' locks, and a third plays the media check. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/Log.h"
#include "rundown/RoStore.h"
#include "tests/rundown/RundownBuilders.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

TEST(RundownConcurrency, EditsAndReadersShareRunningOrdersSafely) {
  LogCapture quiet;  // keeps "Destructor" lines and the like off the test output
  RoStore store;
  RoAckInfo ack;
  ASSERT_EQ(store.AddRo(test::MakeRo("R0", {"A", "B", "C"}), ack), EditResult::Ok);
  std::atomic<bool> done{false};
  std::atomic<long> itemsRead{0};

  auto reader = [&] {
    while (!done) {
      std::vector<std::shared_ptr<ro>> list;
      store.CopyRoList(list);
      for (const auto& r : list) {
        std::lock_guard guard(r->lock);
        for (const auto& s : r->stories) {
          for (const auto& i : s.items) {
            itemsRead += i.itemID.Str().empty() ? 0 : 1;
            (void)i.StateWord();
          }
        }
        RoAckInfo readAck;
        r->FillRoAck(readAck, MosText(), MosText());
      }
    }
  };
  auto checker = [&] {
    while (!done) {
      for (std::int32_t n = 0; n < store.GetRoCount(); ++n) {
        if (auto found = store.FindNewItem(n)) {
          store.CompleteItemCheck(*found, READY, 250, 25.0);
        } else if (auto r = store.GetRoAt(n); r && r->GetCheckState() != CheckState::Checked) {
          r->SetCheckState(CheckState::Checked);
          r->RecomputeSchedule();
        }
      }
    }
  };
  std::thread readers[] = {std::thread(reader), std::thread(reader), std::thread(checker)};

  for (int round = 0; round < 300; ++round) {
    const std::string roID = "R" + std::to_string(round % 3);
    RoAckInfo a;
    ASSERT_EQ(store.AddRo(test::MakeRo(roID, {"A", "B", "C", "D"}), a), EditResult::Ok);
    ASSERT_EQ(store.ApplyElementAction(test::Action(ElementOp::MOVE, roID, {"A"}, {"D"}), a, false),
              EditResult::Ok);
    ASSERT_EQ(
        store.ApplyElementAction(test::Action(ElementOp::SWAP, roID, {}, {"B", "C"}), a, false),
        EditResult::Ok);
    ASSERT_EQ(store.ApplyElementAction(
                  test::Action(ElementOp::INSERT, roID, {"B/B1"}, {}, {}, {test::MakeItem("N")}), a,
                  false),
              EditResult::Ok);
    ASSERT_EQ(store.ApplyElementAction(test::Action(ElementOp::DELETE, roID, {}, {"C"}), a, false),
              EditResult::Ok);
    if (round % 7 == 3) {
      ASSERT_EQ(store.DeleteRo(roID, a), EditResult::Ok);
    }
  }
  // On a busy machine the readers may not have run yet.
  EXPECT_TRUE(test::WaitUntil([&] { return itemsRead.load() > 0; }));
  done = true;
  for (auto& t : readers) {
    t.join();
  }
  EXPECT_GT(itemsRead.load(), 0);
  const auto last = store.GetRo("R2");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(test::StoryOrder(*last), "D A B");
  EXPECT_EQ(test::ItemOrder(last->stories[2]), "N B1 B2");
}

}  // namespace
}  // namespace vidra

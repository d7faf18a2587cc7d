// What the stores tell a durable store, and what they do when it cannot save: every change
// is described whole before memory changes, and one that is refused changes nothing.
#include <gtest/gtest.h>

#include <unordered_map>

#include "common/Log.h"
#include "rundown/Recovery.h"
#include "rundown/RoCodec.h"
#include "rundown/RoStore.h"
#include "tests/rundown/RundownBuilders.h"

namespace vidra {
namespace {

using test::Action;
using test::MakeItem;
using test::MakeStory;
using test::StoryOrder;

FileTime FileTimeOf(std::uint16_t year, std::uint16_t month, std::uint16_t day,
                    std::uint16_t hour) {
  FileTime t = 0;
  EXPECT_TRUE(FromCalendar(CalendarTime{year, month, 0, day, hour, 0, 0, 0}, t));
  return t;
}

// Keeps what it is given as the database would, or refuses while failing is set.
class FakePersistence final : public RoPersistence {
 public:
  bool Commit(RoChange change, std::string& error) override {
    if (failing) {
      error = "disk full";
      return false;
    }
    Apply(change);
    commits.push_back(std::move(change));
    return true;
  }
  void Post(RoChange change) override {
    Apply(change);
    posts.push_back(std::move(change));
  }
  bool Load(StoredState& out, std::string& /*error*/) override {
    out = StoredState();
    for (const auto& [key, row] : rows) {
      out.ros.push_back(row);
      out.maxKey = std::max(out.maxKey, key);
    }
    for (const auto& [key, i] : items) {
      out.items.push_back(i);
      out.maxKey = std::max(out.maxKey, key);
    }
    return true;
  }

  bool failing = false;
  std::vector<RoChange> commits;
  std::vector<RoChange> posts;
  std::map<std::uint64_t, StoredRo> rows;
  std::map<std::uint64_t, StoredItem> items;

 private:
  void Apply(const RoChange& c) {
    if (c.removeRo || c.replaceItems) {
      std::erase_if(items, [&](const auto& entry) { return entry.second.roKey == c.roKey; });
    }
    if (c.removeRo) {
      rows.erase(c.roKey);
    }
    if (c.row) {
      rows[c.roKey] = *c.row;
    } else if (c.control) {
      rows[c.roKey].control = *c.control;
    }
    for (const StoredItem& i : c.items) {
      items[i.state.key] = i;
    }
    for (const std::uint64_t key : c.removedItems) {
      items.erase(key);
    }
    for (const StoredItemState& s : c.states) {
      if (items.count(s.key) != 0) {
        items[s.key].state = s;
      }
    }
  }
};

class Persistence : public ::testing::Test {
 protected:
  Persistence() { store.Attach(2, &saved, &keys); }
  std::unique_ptr<ro> Rundown() {
    auto r = test::MakeRo("R", {"A", "B", "C"});
    r->roSlug = "Evening";
    r->roEdStart = "2027-01-15T19:00:00";
    r->SetEdStart(ParseEdStart(r->roEdStart));
    r->trigger = TIMED;
    r->roTrigger = "TIMED";
    r->nrcsHost = 0x0201000a;  // 10.0.1.2
    r->metadata.Add({"s", "<mosExternalMetadata><mosSchema>s</mosSchema></mosExternalMetadata>"});
    r->stories[1].items[0].metadata.Add({"", "<mosExternalMetadata/>"});
    return r;
  }
  // The stores a restart would fill from what was saved.
  std::shared_ptr<ro> Recovered(FileTime localNow, std::size_t& restored) {
    recovered = std::make_unique<RoStore[]>(8);
    for (int k = 0; k < 8; ++k) {
      recovered[k].Attach(k, &saved, &recoveredKeys);
    }
    std::string error;
    EXPECT_TRUE(
        RestoreRunningOrders(saved, recovered.get(), 8, localNow, recoveredKeys, restored, error))
        << error;
    return recovered[2].GetRo("R");
  }

  LogCapture log;
  FakePersistence saved;
  std::atomic<std::uint64_t> keys{1};
  RoStore store;
  RoAckInfo ack;
  std::unique_ptr<RoStore[]> recovered;
  std::atomic<std::uint64_t> recoveredKeys{0};
};

TEST_F(Persistence, EveryChangeIsSavedWholeAndComesBackAfterARestart) {
  ASSERT_EQ(store.AddRo(Rundown(), ack), EditResult::Ok);
  ASSERT_EQ(saved.commits.size(), 1u);
  EXPECT_TRUE(saved.commits[0].replaceItems);
  EXPECT_EQ(saved.commits[0].items.size(), 6u);
  EXPECT_EQ(saved.commits[0].row->channel, 2);
  const auto stored = store.GetRo("R");

  ASSERT_EQ(store.ApplyElementAction(Action(ElementOp::INSERT, "R", {"B"}, {}, {MakeStory("N")}),
                                     ack, false),
            EditResult::Ok);
  EXPECT_EQ(saved.commits.back().items.size(), 2u) << "only the new items are written";
  ASSERT_EQ(store.ApplyElementAction(Action(ElementOp::DELETE, "R", {"C"}, {"/C2"}), ack, false),
            EditResult::Ok);
  EXPECT_EQ(saved.commits.back().removedItems.size(), 1u);
  ASSERT_EQ(store.ApplyElementAction(Action(ElementOp::MOVE, "R", {"A"}, {"C"}), ack, false),
            EditResult::Ok);
  EXPECT_TRUE(saved.commits.back().items.empty()) << "a move writes the header only";

  RoMetadata fields;
  fields.roID = "R";
  fields.roSlug = "Late";
  ASSERT_EQ(store.ReplaceMetadata(fields, ack), EditResult::Ok);
  ASSERT_EQ(store.SetStoryBody("R", "B", "Good evening.", ack), EditResult::Ok);
  ASSERT_EQ(store.SetNrcsView("R", ElementRef{"B", "B1"}, NrcsView{"PLAY", 42}, ack),
            EditResult::Ok);
  EXPECT_EQ(saved.commits.back().items.size(), 1u) << "the item's row only";

  // Playout's changes are posted, not waited for.
  {
    std::lock_guard guard(stored->lock);
    item& played = stored->stories[1].items[0];
    played.SetState(PLAY);
    played.SetStateTime(777);
    store.PostItemState(*stored, played);
    stored->stories[1].items[1].SetState(READY);
    store.PostItemState(*stored, stored->stories[1].items[1]);
  }
  EXPECT_EQ(saved.posts.size(), 2u);

  std::size_t restored = 0;
  const FileTime before = FileTimeOf(2027, 1, 15, 18);
  const auto back = Recovered(before, restored);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(restored, 1u);
  EXPECT_EQ(StoryOrder(*back), "C A N B");
  EXPECT_EQ(back->roSlug, "Late");
  EXPECT_EQ(back->nrcsHost, 0x0201000au) << "its notices go back to the NRCS that sent it";
  EXPECT_EQ(back->trigger, TIMED) << "a start still ahead stays";
  EXPECT_EQ(back->startTime, stored->startTime);
  EXPECT_EQ(back->stories[3].storyBody, "Good evening.");
  EXPECT_EQ(back->stories[3].items[0].nrcs.status, "PLAY");
  EXPECT_EQ(back->stories[3].items[0].metadata.Blocks().size(), 1u);
  EXPECT_EQ(back->metadata.Blocks()[0].mosSchema, "s");
  EXPECT_EQ(test::ItemOrder(back->stories[0]), "C1");
  EXPECT_EQ(back->stories[1].items[0].state, DONE) << "what was on air has ended";
  EXPECT_EQ(back->stories[1].items[0].stateTime, 777u);
  EXPECT_EQ(back->stories[1].items[1].state, NEW) << "checked again";
  EXPECT_EQ(back->checkState, CheckState::Unchecked);
  EXPECT_GT(recoveredKeys.load(), keys.load() - 1) << "new keys never reuse stored ones";
}

TEST_F(Persistence, AStartThatPassedWhileDownIsNotPlayedLate) {
  ASSERT_EQ(store.AddRo(Rundown(), ack), EditResult::Ok);
  std::size_t restored = 0;
  const auto back = Recovered(FileTimeOf(2027, 1, 15, 20), restored);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->trigger, MANUAL);
  EXPECT_TRUE(back->TimedStartUsed());
  EXPECT_EQ(log.CountOf("VIDRA - running order R was TIMED for 2027-01-15T19:00:00.000, which "
                        "passed while the server was down: it is not started"),
            1u);
  ASSERT_FALSE(saved.posts.empty());
  EXPECT_TRUE(saved.posts.back().control.has_value()) << "the used-up start is saved";
}

TEST_F(Persistence, WhatCannotBeSavedChangesNothing) {
  ASSERT_EQ(store.AddRo(Rundown(), ack), EditResult::Ok);
  const auto stored = store.GetRo("R");
  test::SetAllStates(*stored, READY);
  saved.failing = true;
  RoAckInfo refused;
  EXPECT_EQ(store.AddRo(test::MakeRo("Other", {"X"}), refused), EditResult::NotSaved);
  EXPECT_EQ(refused.detail, "disk full");
  EXPECT_EQ(store.GetRo("Other"), nullptr);
  EXPECT_EQ(store.ApplyElementAction(Action(ElementOp::MOVE, "R", {}, {"A"}), refused, false),
            EditResult::NotSaved);
  EXPECT_EQ(store.ApplyElementAction(Action(ElementOp::INSERT, "R", {}, {}, {MakeStory("N")}),
                                     refused, false),
            EditResult::NotSaved);
  RoMetadata fields;
  fields.roID = "R";
  fields.roSlug = "Changed";
  EXPECT_EQ(store.ReplaceMetadata(fields, refused), EditResult::NotSaved);
  EXPECT_EQ(store.DeleteRo("R", refused), EditResult::NotSaved);
  EXPECT_EQ(StoryOrder(*stored), "A B C");
  EXPECT_EQ(stored->roSlug, "Evening");
  EXPECT_EQ(test::States(*stored).find("NEW"), std::string::npos) << "nothing was reset";
  EXPECT_EQ(store.GetRo("R"), stored);

  saved.failing = false;
  EXPECT_EQ(store.ApplyElementAction(Action(ElementOp::MOVE, "R", {}, {"A"}), ack, false),
            EditResult::Ok)
      << "tried again normally once it can be saved";
  EXPECT_EQ(StoryOrder(*stored), "B C A");
}

TEST_F(Persistence, MovedItemsKeepTheirRows) {
  ASSERT_EQ(store.AddRo(Rundown(), ack), EditResult::Ok);
  const auto stored = store.GetRo("R");
  const item& first = stored->stories[0].items[0];
  const std::uint64_t key = first.key;
  EXPECT_NE(key, 0u);
  // The item is moved: same key, new place.
  ASSERT_EQ(store.ApplyElementAction(Action(ElementOp::MOVE, "R", {"A"}, {"/A1"}), ack, false),
            EditResult::Ok);
  EXPECT_EQ(stored->stories[0].items[1].key, key);
  EXPECT_EQ(stored->stories[0].items[1].itemID, "A1");
}

TEST(RoCodec, DamagedRowsAreRefusedNotMisread) {
  auto r = test::MakeRo("R", {"A"}, 1);
  r->stories[0].items[0].key = 5;
  StoredRo row{1, 0, 1, "R", EncodeHeader(*r), EncodeControl(*r)};
  StoredItem i{1, EncodeItem(r->stories[0].items[0]), ItemStateOf(r->stories[0].items[0])};
  std::unordered_map<std::uint64_t, const StoredItem*> items{{5, &i}};
  ro good;
  std::string error;
  EXPECT_TRUE(DecodeRo(row, items, good, error)) << error;
  for (std::size_t cut : {std::size_t{1}, row.header.size() / 2, row.header.size() - 1}) {
    StoredRo damaged = row;
    damaged.header.resize(cut);
    ro bad;
    EXPECT_FALSE(DecodeRo(damaged, items, bad, error)) << cut;
    EXPECT_EQ(error, "running order R is damaged");
  }
  StoredRo version = row;
  version.header[0] = 9;
  ro bad;
  EXPECT_FALSE(DecodeRo(version, items, bad, error));
  std::unordered_map<std::uint64_t, const StoredItem*> none;
  EXPECT_FALSE(DecodeRo(row, none, bad, error));
  EXPECT_EQ(error, "item 5 of running order R is missing");
}

// Items stored before they kept mosPlugInID, objDur, itemChannel and their objPaths as sent
// (format 1) still read; the new fields come back as written.
TEST(RoCodec, ItemsOfTheEarlierFormatStillReadAndTheNewFieldsRoundTrip) {
  auto r = test::MakeRo("R", {"A"}, 1);
  item& written = r->stories[0].items[0];
  written.key = 5;
  written.mosPlugInID = MosText("PLUG");
  written.objDur = MosText("250");
  written.itemChannel = MosText("B");
  written.objPathsXml = "<objPaths><objPath techDescription=\"MPEG2\">a.mxf</objPath></objPaths>";
  StoredRo row{1, 0, 1, "R", EncodeHeader(*r), EncodeControl(*r)};
  StoredItem now{1, EncodeItem(written), ItemStateOf(written)};
  std::unordered_map<std::uint64_t, const StoredItem*> items{{5, &now}};
  ro read;
  std::string error;
  ASSERT_TRUE(DecodeRo(row, items, read, error)) << error;
  const item& back = read.stories[0].items[0];
  EXPECT_EQ(back.mosPlugInID, "PLUG");
  EXPECT_EQ(back.objDur, "250");
  EXPECT_EQ(back.itemChannel, "B");
  EXPECT_EQ(back.objPathsXml, written.objPathsXml);
  EXPECT_EQ(back.itemID, written.itemID);

  // Format 1 is format 2 without the four fields at the end: each empty text is one byte
  // (an absent text), the objPaths one byte (no bytes).
  item plain = written;
  plain.mosPlugInID = MosText();
  plain.objDur = MosText();
  plain.itemChannel = MosText();
  plain.objPathsXml.clear();
  StoredItem old{1, EncodeItem(plain), ItemStateOf(plain)};
  old.body.resize(old.body.size() - 4);
  old.body[0] = 1;
  StoredRo oldRow = row;
  oldRow.header[0] = 1;
  oldRow.control[0] = 1;
  items[5] = &old;
  ro fromOld;
  ASSERT_TRUE(DecodeRo(oldRow, items, fromOld, error)) << error;
  EXPECT_EQ(fromOld.stories[0].items[0].itemID, written.itemID);
  EXPECT_FALSE(fromOld.stories[0].items[0].itemChannel.Present());
  // A format-1 item with format-2 bytes after it is damaged, not misread.
  StoredItem longer = now;
  longer.body[0] = 1;
  items[5] = &longer;
  EXPECT_FALSE(DecodeRo(row, items, fromOld, error));
}

}  // namespace
}  // namespace vidra

// The pair's view of the durable store: the main numbers every change in the order it was
// made and waits for the backup only while the backup is in step; the backup applies the
// main's changes in order and refuses a gap; a backup too far behind gets a whole copy that
// replaces what it held; and the state kept in memory is what the database would load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "common/Log.h"
#include "pair/ReplicatedState.h"
#include "rundown/Records.h"
#include "state/SqliteState.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

// A store that records what it is given.
class RecordingStore final : public RoPersistence {
 public:
  struct Call {
    bool waited;
    RoChange change;
  };
  bool Commit(RoChange change, std::string& error) override {
    if (during) {
      during();
    }
    if (failing) {
      error = "disk full";
      return false;
    }
    calls.push_back({true, std::move(change)});
    return true;
  }
  void Post(RoChange change) override { calls.push_back({false, std::move(change)}); }
  bool Load(StoredState& out, std::string&) override {
    out = held;
    return true;
  }
  std::vector<Call> calls;
  StoredState held;
  bool failing = false;
  std::function<void()> during;  // runs inside each commit
};

RoChange CreateRo(std::uint64_t key, const std::string& roID, std::vector<std::uint64_t> items) {
  RoChange change;
  change.roKey = key;
  change.row = StoredRo{key, 0, static_cast<std::int64_t>(key), roID, "h" + roID, "c", 0};
  change.replaceItems = true;
  for (const std::uint64_t i : items) {
    StoredItem item;
    item.roKey = key;
    item.body = "item " + std::to_string(i);
    item.state.key = i;
    change.items.push_back(item);
  }
  return change;
}

RoChange ItemState(std::uint64_t roKey, std::uint64_t item, std::int32_t state) {
  RoChange change;
  change.roKey = roKey;
  change.states.push_back(StoredItemState{item, state, 77, 0, 0.0, 0.0, false});
  return change;
}

LinkFrame Decode(const std::string& bytes) {
  FrameReader reader;
  reader.Feed(bytes);
  LinkFrame frame;
  std::string why;
  EXPECT_EQ(reader.Next(frame, why), FrameReader::Status::Frame) << why;
  return frame;
}

LinkFrame Numbered(ReplicatedState& main, std::uint64_t after) {
  bool covered = false;
  const auto bytes = main.FrameAfter(main.Progress().stream, after, 1s, covered);
  EXPECT_TRUE(covered);
  return bytes ? Decode(*bytes) : LinkFrame{};
}

std::vector<std::string> RoIDs(const StoredState& state) {
  std::vector<std::string> ids;
  for (const StoredRo& r : state.ros) {
    ids.push_back(r.roID);
  }
  return ids;
}

std::vector<std::pair<std::uint64_t, std::int32_t>> ItemStates(const StoredState& state) {
  std::vector<std::pair<std::uint64_t, std::int32_t>> items;
  for (const StoredItem& i : state.items) {
    items.emplace_back(i.state.key, i.state.state);
  }
  std::sort(items.begin(), items.end());
  return items;
}

struct Side {
  explicit Side(bool leading, std::chrono::milliseconds timeout = 5s, std::size_t kept = 1 << 20)
      : state(&store, answers, nullptr, timeout, kept) {
    std::string error;
    EXPECT_TRUE(state.Open(error)) << error;
    state.SetLeading(leading);
  }
  RecordingStore store;
  InMemoryAnswers answers{[] { return FileTime{1'000'000'000}; }};
  ReplicatedState state;
};

TEST(Replicated, TheMainNumbersChangesInOrderAndWaitsForTheBackupOnlyWhileInStep) {
  LogCapture log;
  Side main(true);
  std::string error;
  ASSERT_TRUE(main.state.Commit(CreateRo(1, "R", {2, 3}), error)) << "no backup yet: no wait";
  main.state.Post(ItemState(1, 2, READY));
  const MessageKey key{"10.0.0.1", 1, "m1", 5};
  main.state.Remember(key, "<answer/>");
  EXPECT_EQ(main.store.calls.size(), 2u) << "the store underneath has the changes";
  EXPECT_TRUE(main.state.Progress().degraded);

  const LinkFrame first = Numbered(main.state, 0);
  EXPECT_EQ(first.kind, FrameKind::Change);
  EXPECT_EQ(first.seq, 1u);
  EXPECT_TRUE(first.waited);
  EXPECT_EQ(first.change.row->roID, "R");
  const LinkFrame second = Numbered(main.state, 1);
  EXPECT_FALSE(second.waited);
  EXPECT_EQ(second.change.states[0].state, READY);
  const LinkFrame third = Numbered(main.state, 2);
  EXPECT_EQ(third.kind, FrameKind::Answer);
  EXPECT_EQ(third.answer, "<answer/>");
  bool covered = false;
  const std::uint64_t stream = main.state.Progress().stream;
  EXPECT_FALSE(main.state.FrameAfter(stream, 3, 10ms, covered).has_value());
  EXPECT_TRUE(covered);

  main.state.LinkUp();
  main.state.Acked(3);
  EXPECT_FALSE(main.state.Progress().degraded);
  EXPECT_TRUE(
      log.HasInOrder({"VIDRA - pair: the backup is in step (change 3): edits are "
                      "answered once it has them"}));
  std::atomic<bool> done{false};
  std::thread edit([&] {
    std::string why;
    EXPECT_TRUE(main.state.Commit(CreateRo(4, "S", {}), why));
    done = true;
  });
  EXPECT_EQ(Numbered(main.state, 3).seq, 4u);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(done) << "the answer waits for the backup";
  main.state.Acked(4);
  edit.join();
  EXPECT_EQ(main.state.Progress().acked, 4u);

  // A store that fails: the backup may have had the change already, so it is sent a whole
  // copy of what this server holds, without the change.
  main.store.failing = true;
  EXPECT_FALSE(main.state.Commit(CreateRo(5, "T", {}), error));
  EXPECT_EQ(error, "disk full");
  EXPECT_NE(main.state.Progress().stream, stream);
  EXPECT_TRUE(main.state.Progress().degraded);
  EXPECT_FALSE(main.state.FrameAfter(stream, 4, 10ms, covered).has_value());
  EXPECT_FALSE(covered) << "the link starts again";
  EXPECT_FALSE(main.state.Covers(stream, 4));
  EXPECT_EQ(log.CountOf("VIDRA - pair: a change sent to the backup could not be saved here: the "
                        "backup is sent a whole copy"),
            1u);
  StoredState held;
  ASSERT_TRUE(main.state.Load(held, error));
  EXPECT_EQ(RoIDs(held), (std::vector<std::string>{"R", "S"})) << "without T";
}

TEST(Replicated, ACopyWaitsForTheCommitsUnderWaySoItHoldsEveryChangeItsNumberCovers) {
  Side main(true);
  std::mutex gate;
  std::unique_lock closed(gate);
  std::atomic<bool> inside{false};
  main.store.during = [&] {
    inside = true;
    const std::lock_guard wait(gate);  // until the test opens the gate
  };
  std::thread edit([&] {
    std::string error;
    EXPECT_TRUE(main.state.Commit(CreateRo(1, "R", {2}), error));
  });
  ASSERT_TRUE(test::WaitUntil([&] { return inside.load(); }, 5s));
  std::atomic<bool> copied{false};
  ReplicatedState::WholeCopy copy;
  std::thread take([&] {
    copy = main.state.TakeCopy();
    copied = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(copied) << "change 1 is numbered but not yet saved here";
  closed.unlock();
  edit.join();
  take.join();
  EXPECT_EQ(copy.seq, 1u);
  ASSERT_EQ(copy.ros.size(), 1u) << "the copy holds what its number covers";
  EXPECT_EQ(copy.ros[0].row->roID, "R");
}

TEST(Replicated, PastTheSyncTimeoutTheMainGoesOnAloneUntilTheBackupCatchesUp) {
  LogCapture log;
  Side main(true, 20ms);
  main.state.LinkUp();
  main.state.Acked(0);
  ASSERT_FALSE(main.state.Progress().degraded);
  std::string error;
  ASSERT_TRUE(main.state.Commit(CreateRo(1, "R", {}), error)) << "answered all the same";
  LinkProgress progress = main.state.Progress();
  EXPECT_TRUE(progress.degraded);
  EXPECT_EQ(progress.timeouts, 1u);
  EXPECT_EQ(log.CountStartingWith("VIDRA - pair: the backup did not acknowledge change 1 within "
                                  "20 ms: the main answers alone (degraded)"),
            1u);
  ASSERT_TRUE(main.state.Commit(CreateRo(2, "S", {}), error));
  EXPECT_EQ(main.state.Progress().timeouts, 1u) << "once degraded, no edit waits";
  main.state.Acked(1);
  EXPECT_TRUE(main.state.Progress().degraded) << "one change still missing";
  main.state.Acked(2);
  EXPECT_FALSE(main.state.Progress().degraded);
  main.state.LinkDown();
  EXPECT_TRUE(main.state.Progress().degraded);
}

TEST(Replicated, TheBackupAppliesTheMainsChangesInOrderAndRefusesAGap) {
  Side main(true);
  Side backup(false);
  std::string error;
  ASSERT_TRUE(main.state.Commit(CreateRo(1, "R", {2, 3}), error));
  main.state.Post(ItemState(1, 2, PLAY));
  const MessageKey key{"10.0.0.1", 1, "m1", 5};
  main.state.Remember(key, "<ok/>");
  ASSERT_TRUE(main.state.Commit(CreateRo(4, "S", {5}), error));
  const std::uint64_t stream = main.state.Progress().stream;

  std::string why;
  EXPECT_FALSE(backup.state.ApplyFromMain(Numbered(main.state, 0), stream, why))
      << "a backup of no stream takes a copy first";
  LinkFrame empty;  // a copy of nothing, as of change 0: the stream is the backup's
  empty.kind = FrameKind::CopyBegin;
  ASSERT_TRUE(backup.state.ApplyFromMain(empty, stream, why)) << why;
  empty.kind = FrameKind::CopyEnd;
  ASSERT_TRUE(backup.state.ApplyFromMain(empty, stream, why)) << why;
  for (std::uint64_t n = 0; n < 2; ++n) {
    const LinkFrame frame = Numbered(main.state, n);
    ASSERT_TRUE(backup.state.ApplyFromMain(frame, stream, why)) << why;
    EXPECT_EQ(backup.store.calls.size(), n + 1) << "queued for the disk once acknowledged";
    backup.state.Follow(frame);
    EXPECT_EQ(backup.store.calls.size(), n + 2);
  }
  EXPECT_FALSE(backup.state.ApplyFromMain(Numbered(main.state, 3), stream, why));
  EXPECT_EQ(why, "change 4 came after 2");
  EXPECT_FALSE(backup.state.ApplyFromMain(Numbered(main.state, 2), stream + 1, why))
      << "another main's stream";
  ASSERT_TRUE(backup.state.ApplyFromMain(Numbered(main.state, 2), stream, why)) << why;
  const LinkFrame last = Numbered(main.state, 3);
  ASSERT_TRUE(backup.state.ApplyFromMain(last, stream, why)) << why;
  EXPECT_EQ(backup.store.calls.size(), 3u) << "not acknowledged yet";
  backup.state.Follow(last);

  ASSERT_EQ(backup.store.calls.size(), 4u) << "the copy's end, then the changes";
  EXPECT_TRUE(backup.store.calls[0].waited) << "a copy is on disk before it is acknowledged";
  for (std::size_t n = 1; n < 4; ++n) {
    EXPECT_FALSE(backup.store.calls[n].waited) << "a change is acknowledged once queued";
  }
  EXPECT_EQ(backup.store.calls[1].change.row->roID, "R");
  EXPECT_EQ(backup.store.calls[3].change.row->roID, "S");
  ASSERT_TRUE(backup.answers.Recall(key).has_value());
  EXPECT_EQ(backup.answers.Recall(key)->answer, "<ok/>");
  EXPECT_EQ(backup.state.Progress().seq, 4u);

  // What its own channels would change is not the backup's to keep.
  backup.state.Post(ItemState(1, 2, DONE));
  EXPECT_FALSE(backup.state.Commit(CreateRo(9, "X", {}), why));
  EXPECT_EQ(why, "this server is the backup");
  EXPECT_EQ(backup.store.calls.size(), 4u);

  StoredState onMain;
  StoredState onBackup;
  ASSERT_TRUE(main.state.Load(onMain, why));
  ASSERT_TRUE(backup.state.Load(onBackup, why));
  EXPECT_EQ(RoIDs(onBackup), (std::vector<std::string>{"R", "S"}));
  EXPECT_EQ(ItemStates(onBackup), ItemStates(onMain));
  EXPECT_EQ(ItemStates(onBackup)[0], std::make_pair(std::uint64_t{2}, std::int32_t{PLAY}));

  // Promoted between a change's acknowledgement and its queueing: the change still reaches
  // the disk before the new main's own first commit.
  ASSERT_TRUE(main.state.Commit(CreateRo(6, "T", {7}), error));
  const LinkFrame racing = Numbered(main.state, 4);
  ASSERT_TRUE(backup.state.ApplyFromMain(racing, stream, why)) << why;
  backup.state.SetLeading(true);
  ASSERT_TRUE(backup.state.Commit(CreateRo(9, "X", {}), why)) << why;
  backup.state.Follow(racing);
  ASSERT_EQ(backup.store.calls.size(), 6u) << "each change once";
  EXPECT_EQ(backup.store.calls[4].change.row->roID, "T");
  EXPECT_EQ(backup.store.calls[5].change.row->roID, "X");
}

TEST(Replicated, ABackupTooFarBehindGetsAWholeCopyThatReplacesWhatItHeld) {
  Side main(true, 5s, 1);  // keeps only its last change
  Side backup(false);
  backup.store.held.ros.push_back(StoredRo{99, 0, 0, "OLD", "h", "c", 0});
  StoredState held;
  std::string why;
  ASSERT_TRUE(backup.state.Open(why));
  ASSERT_TRUE(backup.state.Load(held, why));
  ASSERT_EQ(RoIDs(held), std::vector<std::string>{"OLD"});

  for (std::uint64_t n = 1; n <= 5; ++n) {
    ASSERT_TRUE(main.state.Commit(CreateRo(n * 10, "R" + std::to_string(n), {n * 10 + 1}), why));
  }
  const std::uint64_t stream = main.state.Progress().stream;
  EXPECT_FALSE(main.state.Covers(stream, 0));
  EXPECT_FALSE(main.state.Covers(0, 5)) << "a backup of no stream";
  EXPECT_TRUE(main.state.Covers(stream, 4));
  bool covered = true;
  EXPECT_FALSE(main.state.FrameAfter(stream, 0, 10ms, covered).has_value());
  EXPECT_FALSE(covered);

  LinkFrame frame;
  frame.kind = FrameKind::CopyRo;
  EXPECT_FALSE(backup.state.ApplyFromMain(frame, stream, why)) << "a copy that did not begin";
  ReplicatedState::WholeCopy copy = main.state.TakeCopy();
  EXPECT_EQ(copy.stream, stream);
  EXPECT_EQ(copy.seq, 5u);
  EXPECT_EQ(copy.maxKey, 51u);
  frame.kind = FrameKind::CopyBegin;
  ASSERT_TRUE(backup.state.ApplyFromMain(frame, stream, why)) << why;
  for (RoChange& change : copy.ros) {
    frame.kind = FrameKind::CopyRo;
    frame.change = std::move(change);
    ASSERT_TRUE(backup.state.ApplyFromMain(frame, stream, why)) << why;
  }
  EXPECT_FALSE(backup.state.ApplyFromMain(Numbered(main.state, 4), stream, why))
      << "a change in the middle of a copy";
  frame = LinkFrame{};
  frame.kind = FrameKind::CopyBegin;
  ASSERT_TRUE(backup.state.ApplyFromMain(frame, stream, why)) << "a copy begun again";
  for (RoChange& change : main.state.TakeCopy().ros) {
    frame.kind = FrameKind::CopyRo;
    frame.change = std::move(change);
    ASSERT_TRUE(backup.state.ApplyFromMain(frame, stream, why)) << why;
  }
  frame = LinkFrame{};
  frame.kind = FrameKind::CopyEnd;
  frame.seq = copy.seq;
  ASSERT_TRUE(backup.state.ApplyFromMain(frame, stream, why)) << why;
  EXPECT_EQ(backup.state.Progress().stream, stream);
  EXPECT_EQ(backup.state.Progress().seq, 5u);

  ASSERT_TRUE(main.state.Commit(ItemState(10, 11, PLAY), why));
  ASSERT_TRUE(backup.state.ApplyFromMain(Numbered(main.state, 5), stream, why)) << why;
  StoredState onBackup;
  ASSERT_TRUE(backup.state.Load(onBackup, why));
  EXPECT_EQ(RoIDs(onBackup), (std::vector<std::string>{"R1", "R2", "R3", "R4", "R5"}));
  EXPECT_EQ(ItemStates(onBackup).front(), std::make_pair(std::uint64_t{11}, std::int32_t{PLAY}));
  const auto removed =
      std::count_if(backup.store.calls.begin(), backup.store.calls.end(),
                    [](const RecordingStore::Call& c) { return c.change.removeRo; });
  EXPECT_EQ(removed, 1 + 5) << "OLD, then the first copy's running orders when it began again";
}

TEST(Replicated, WhatIsKeptInMemoryIsWhatTheDatabaseLoads) {
  LogCapture log;
  test::TempFile folder{"", "placeholder"};
  const std::string path =
      std::filesystem::path(folder.Path()).parent_path().string() + "/db/pair.db";
  auto clock = std::make_shared<ManualClock>(kUnixEpochFileTime);
  std::vector<RoChange> changes = {CreateRo(1, "A", {2, 3, 4}), CreateRo(10, "B", {11}),
                                   ItemState(1, 3, PLAY)};
  RoChange edit;  // an item moved to B, one removed, one added, the control part changed
  edit.roKey = 10;
  StoredItem moved;
  moved.body = "moved";
  moved.state.key = 2;
  edit.items.push_back(moved);
  edit.removedItems = {4};
  edit.control = "c2";
  changes.push_back(edit);
  RoChange gone;
  gone.roKey = 20;
  changes.push_back(CreateRo(20, "C", {21}));
  gone.removeRo = true;
  changes.push_back(gone);
  changes.push_back(CreateRo(1, "A2", {5}));  // written whole again: its old items go

  StateMirror mirror;
  {
    std::string error;
    auto db = SqliteState::Open(StateSettings{path, false}, clock, nullptr, error);
    ASSERT_NE(db, nullptr) << error;
    for (const RoChange& change : changes) {
      ASSERT_TRUE(db->Commit(change, error)) << error;
      mirror.Apply(change);
    }
  }
  std::string error;
  auto db = SqliteState::Open(StateSettings{path, false}, clock, nullptr, error);
  ASSERT_NE(db, nullptr) << error;
  StoredState loaded;
  ASSERT_TRUE(db->Load(loaded, error));
  const StoredState kept = mirror.Copy();
  EXPECT_EQ(RoIDs(kept), RoIDs(loaded));
  EXPECT_EQ(ItemStates(kept), ItemStates(loaded));
  ASSERT_EQ(kept.ros.size(), 2u);
  EXPECT_EQ(kept.ros[1].control, "c2");
  const auto owner = [](const StoredState& s, std::uint64_t key) {
    for (const StoredItem& i : s.items) {
      if (i.state.key == key) {
        return i.roKey;
      }
    }
    return std::uint64_t{0};
  };
  EXPECT_EQ(owner(kept, 2), 10u);
  EXPECT_EQ(owner(loaded, 2), 10u);
  EXPECT_EQ(loaded.maxKey, 11u);
  EXPECT_EQ(kept.maxKey, 21u) << "memory remembers removed keys too: none is handed out again";
  std::size_t itemsOfB = 0;
  for (const RoChange& c : mirror.AsChanges()) {
    if (c.roKey == 10) {
      itemsOfB = c.items.size();
    }
  }
  EXPECT_EQ(itemsOfB, 2u) << "the copy of B carries its own item and the one moved to it";
}

}  // namespace
}  // namespace vidra

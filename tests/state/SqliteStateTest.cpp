// The SQLite store on real files: what is committed and posted is there after a reopen,
// answers are kept with their messages, and files it cannot use are refused and left alone.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "common/Log.h"
#include "rundown/RoCodec.h"
#include "state/SqliteState.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Sqlite : public ::testing::Test {
 protected:
  std::string Path() const {
    return std::filesystem::path(folder_.Path()).parent_path().string() + "/db/vidra.db";
  }
  std::unique_ptr<SqliteState> Open(std::string& error) {
    return SqliteState::Open(StateSettings{Path(), false}, clock, &metrics, error);
  }
  std::unique_ptr<SqliteState> Open() {
    std::string error;
    auto state = Open(error);
    EXPECT_NE(state, nullptr) << error;
    return state;
  }
  // A change that writes running order 7 with two items.
  static RoChange Create() {
    RoChange change;
    change.roKey = 7;
    change.row = StoredRo{7, 3, 12, "R", "header-bytes", "control-bytes", 0x0100007f};
    change.replaceItems = true;
    for (std::uint64_t key : {8, 9}) {
      StoredItem i;
      i.roKey = 7;
      i.body = "item " + std::to_string(key);
      i.state.key = key;
      i.state.state = READY;
      change.items.push_back(i);
    }
    return change;
  }

  LogCapture log;
  test::TempFile folder_{"", "placeholder"};
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(kUnixEpochFileTime);
  Metrics metrics;
};

TEST_F(Sqlite, CommitsAndPostsAreThereAfterAReopen) {
  {
    auto state = Open();
    ASSERT_NE(state, nullptr);
    std::string error;
    ASSERT_TRUE(state->Commit(Create(), error)) << error;
    RoChange edit;
    edit.roKey = 7;
    edit.control = std::string("consumed");
    edit.removedItems = {8};
    StoredItemState played;
    played.key = 9;
    played.state = PLAY;
    played.stateTime = 1234;
    played.playTicks = 250'000'000;
    played.markIn = 1.5;
    played.playDuration = 25.0;
    played.timed = true;
    edit.states = {played};
    state->Post(std::move(edit));
    RoChange second = Create();
    second.roKey = 20;
    second.row->key = 20;
    second.row->roID = "Gone";
    second.items.clear();
    ASSERT_TRUE(state->Commit(second, error));
    RoChange removal;
    removal.roKey = 20;
    removal.removeRo = true;
    ASSERT_TRUE(state->Commit(removal, error));
    EXPECT_GT(state->Status().commits, 0u);
    EXPECT_GT(state->Status().fileBytes, 0u);
  }  // closed: everything queued is written first
  auto state = Open();
  ASSERT_NE(state, nullptr);
  StoredState loaded;
  std::string error;
  ASSERT_TRUE(state->Load(loaded, error));
  ASSERT_EQ(loaded.ros.size(), 1u);
  EXPECT_EQ(loaded.ros[0].key, 7u);
  EXPECT_EQ(loaded.ros[0].channel, 3);
  EXPECT_EQ(loaded.ros[0].position, 12);
  EXPECT_EQ(loaded.ros[0].header, "header-bytes");
  EXPECT_EQ(loaded.ros[0].control, "consumed");
  EXPECT_EQ(loaded.ros[0].nrcsHost, 0x0100007fu) << "the NRCS host its notices go to";
  ASSERT_EQ(loaded.items.size(), 1u);
  const StoredItem& item = loaded.items[0];
  EXPECT_EQ(item.body, "item 9");
  EXPECT_EQ(item.state.state, PLAY);
  EXPECT_EQ(item.state.stateTime, 1234u);
  EXPECT_EQ(item.state.playTicks, 250'000'000u);
  EXPECT_DOUBLE_EQ(item.state.markIn, 1.5);
  EXPECT_TRUE(item.state.timed);
  EXPECT_EQ(loaded.maxKey, 9u);
  EXPECT_FALSE(state->Load(loaded, error)) << "handed out once";
}

TEST_F(Sqlite, AnswersOfAppliedMessagesAreKeptAcrossAReopen) {
  const MessageKey answered{"10.0.0.7", 1, "0x1F", 99};
  const MessageKey lost{"10.0.0.7", 1, "42", 7};
  {
    auto state = Open();
    ASSERT_NE(state, nullptr);
    state->Remember(answered, "<mos>answer</mos>");
    RoChange change = Create();
    change.message = lost;  // committed, then the server stopped before the answer was kept
    std::string error;
    ASSERT_TRUE(state->Commit(change, error));
    EXPECT_FALSE(state->Recall(lost)->answer.has_value());
    RoChange posted = Create();  // as a backup takes its main's edit
    posted.roKey = posted.row->key = 70;
    posted.items.clear();
    posted.message = MessageKey{"10.0.0.7", 1, "43", 8};
    state->Post(posted);
    EXPECT_TRUE(state->Recall(*posted.message).has_value()) << "applied from its post on";
  }
  auto state = Open();
  ASSERT_NE(state, nullptr);
  ASSERT_TRUE(state->Recall(answered).has_value());
  EXPECT_EQ(state->Recall(answered)->answer, "<mos>answer</mos>");
  const auto applied = state->Recall(lost);
  ASSERT_TRUE(applied.has_value()) << "known as applied";
  EXPECT_FALSE(applied->answer.has_value());
  EXPECT_TRUE(state->Recall(MessageKey{"10.0.0.7", 1, "43", 8}).has_value())
      << "the posted change's message, written with it";
  EXPECT_FALSE(state->Recall(MessageKey{"10.0.0.7", 1, "0x1F", 100}).has_value())
      << "the same messageID with another body is another message";
  EXPECT_FALSE(state->Recall(MessageKey{"10.0.0.8", 1, "0x1F", 99}).has_value());
  clock->Advance(std::chrono::minutes(11));
  EXPECT_FALSE(state->Recall(answered).has_value()) << "ten minutes at most";
}

TEST_F(Sqlite, FilesItCannotUseAreRefusedAndLeftAsTheyWere) {
  std::filesystem::create_directories(std::filesystem::path(Path()).parent_path());
  const auto refused = [&](const std::string& expected) {
    const std::string before = ReadAll(Path());
    std::string error;
    EXPECT_EQ(Open(error), nullptr);
    EXPECT_EQ(error, "the state database " + Path() + " " + expected);
    EXPECT_EQ(ReadAll(Path()), before) << expected;
  };
  std::ofstream(Path(), std::ios::binary) << std::string(3000, '\x7f');
  refused("is not an SQLite database (file is not a database)");

  std::filesystem::remove(Path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE other (x); PRAGMA user_version = 0", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  refused("holds tables of another program");

  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  refused("was written by a newer server (schema 7; this one reads up to 4)");
}

// A database of the first schema, which kept no NRCS host with a running order, is brought
// up to date when it is opened: what it held is there, the host unknown (0), and from then on
// the host is kept.
TEST_F(Sqlite, AnOlderSchemaIsBroughtUpToDateAndKeepsWhatItHeld) {
  std::filesystem::create_directories(std::filesystem::path(Path()).parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(
          db,
          "CREATE TABLE running_order (ro_key INTEGER PRIMARY KEY, channel INTEGER NOT NULL,"
          " position INTEGER NOT NULL, ro_id TEXT NOT NULL, header BLOB NOT NULL,"
          " control BLOB NOT NULL);"
          "CREATE TABLE item (item_key INTEGER PRIMARY KEY, ro_key INTEGER NOT NULL,"
          " body BLOB NOT NULL, state INTEGER NOT NULL, state_time INTEGER NOT NULL,"
          " play_ticks INTEGER NOT NULL, mark_in REAL NOT NULL, play_duration REAL NOT NULL,"
          " timed INTEGER NOT NULL);"
          "CREATE INDEX item_by_running_order ON item (ro_key);"
          "CREATE TABLE answer (host TEXT NOT NULL, port INTEGER NOT NULL, message_id TEXT NOT"
          " NULL, digest INTEGER NOT NULL, at INTEGER NOT NULL, answer BLOB,"
          " PRIMARY KEY (host, port, message_id, digest));"
          "INSERT INTO running_order VALUES (5, 1, 2, 'OLD', x'01', x'02');"
          "PRAGMA user_version = 1",
          nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  {
    auto state = Open();
    ASSERT_NE(state, nullptr);
    EXPECT_TRUE(log.HasInOrder(
        {"VIDRA - the state database " + Path() + " was brought from schema 1 to 2",
         "VIDRA - the state database " + Path() + " was brought from schema 2 to 3",
         "VIDRA - the state database " + Path() + " was brought from schema 3 to 4"}));
    EXPECT_EQ(state->Epoch(), 0u) << "no pair's epoch in an older file";
    StoredState loaded;
    std::string error;
    ASSERT_TRUE(state->Load(loaded, error)) << error;
    ASSERT_EQ(loaded.ros.size(), 1u);
    EXPECT_EQ(loaded.ros[0].roID, "OLD");
    EXPECT_EQ(loaded.ros[0].header, std::string("\x01"));
    EXPECT_EQ(loaded.ros[0].nrcsHost, 0u);
    ASSERT_TRUE(state->Commit(Create(), error)) << error;
    ASSERT_TRUE(state->SaveEpoch(4, error)) << error;
    ASSERT_TRUE(state->SaveEpoch(5, error)) << error;
    EXPECT_EQ(state->Epoch(), 5u);
  }
  auto state = Open();
  ASSERT_NE(state, nullptr);
  StoredState loaded;
  std::string error;
  ASSERT_TRUE(state->Load(loaded, error)) << error;
  ASSERT_EQ(loaded.ros.size(), 2u);
  EXPECT_EQ(loaded.ros[1].nrcsHost, 0x0100007fu);
  EXPECT_EQ(state->Epoch(), 5u) << "the last epoch saved, kept over a reopen";
  EXPECT_EQ(log.CountStartingWith("VIDRA - the state database"), 3u) << "upgraded once";
}

TEST_F(Sqlite, ADamagedDatabaseIsRefused) {
  {
    auto state = Open();
    ASSERT_NE(state, nullptr);
    std::string error;
    for (std::uint64_t key = 1; key <= 200; ++key) {
      RoChange change = Create();
      change.roKey = key * 100;
      change.row->key = key * 100;
      change.row->header = std::string(2000, 'h');
      change.items.clear();
      ASSERT_TRUE(state->Commit(change, error));
    }
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  // Pages in the middle of the table overwritten, as a failing disk would.
  std::fstream file(Path(), std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(4096 * 20);
  file << std::string(4096 * 10, '\x55');
  file.close();
  std::string error;
  EXPECT_EQ(Open(error), nullptr);
  EXPECT_EQ(error.rfind("the state database " + Path() + " is damaged (", 0), 0u) << error;
}

// Checkpoints run beside the commits: while the server keeps committing, what it committed
// reaches the database file itself (a copy of it without its log holds the first running
// orders), and the log does not grow without end.
TEST_F(Sqlite, TheLogIsCopiedIntoTheDatabaseWhileCommitsGoOn) {
  auto state = Open();
  ASSERT_NE(state, nullptr);
  const std::string big(64 * 1024, 'x');
  std::string error;
  for (std::uint64_t n = 1; n <= 400; ++n) {
    RoChange change = Create();
    change.roKey = 1000 + n;
    change.row->key = change.roKey;
    change.row->header = big;
    for (StoredItem& i : change.items) {
      i.state.key = 100'000 + n * 10 + i.state.key;
      i.roKey = change.roKey;
    }
    ASSERT_TRUE(state->Commit(std::move(change), error)) << error;
  }
  const std::string copy = Path() + ".copy";
  const auto rowsInFile = [&] {
    std::filesystem::copy_file(Path(), copy, std::filesystem::copy_options::overwrite_existing);
    sqlite3* db = nullptr;
    int rows = 0;
    if (sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* count = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT count(*) FROM running_order", -1, &count, nullptr) ==
              SQLITE_OK &&
          sqlite3_step(count) == SQLITE_ROW) {
        rows = sqlite3_column_int(count, 0);
      }
      sqlite3_finalize(count);
    }
    sqlite3_close(db);
    std::filesystem::remove(copy);
    return rows;
  };
  EXPECT_TRUE(test::WaitUntil([&] { return rowsInFile() > 0; }))
      << "nothing reached the database file";
  // 400 commits of 64 KiB without a pause: some 26 MB went through the log, which starts
  // again from its beginning once it passes 16 MB.
  EXPECT_LT(std::filesystem::file_size(Path() + "-wal"), 20u << 20);
  EXPECT_EQ(log.CountStartingWith("VIDRA - a checkpoint"), 0u);
}

}  // namespace
}  // namespace vidra

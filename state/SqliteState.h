// The durable store of running orders and of the answers to the messages that changed them,
// in one SQLite database file (WAL journal). One writer thread owns the connection: commits
// from connection threads wait for it, posts from playout do not; both are written in the
// order they came, in batches of one transaction each. The host opens it at InitMOSSrv and
// destroys it at DeInitMOSSrv, after every thread that uses it has ended. The only code of
// the server that speaks SQL.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/Clock.h"
#include "common/Metrics.h"
#include "common/ThreadPriority.h"
#include "rundown/AnswerMemory.h"
#include "rundown/RoPersistence.h"

namespace vidra {

struct StateSettings {
  std::string path;
  // Sync = full: every commit reaches the disk before it is answered (a power loss loses
  // nothing answered); normal: a process crash loses nothing, a power loss the last commits.
  bool fullSync = false;
};

// What the status page shows of the store.
struct StateStatus {
  std::string path;
  std::uint64_t fileBytes = 0;  // the database and its WAL
  FileTime lastCommit = 0;      // UTC; 0 before the first
  std::uint64_t commits = 0;
};

class SqliteState final : public RoPersistence, public AnswerMemory {
 public:
  // Opens (and creates when needed) the database, checks it, reads what it holds and starts
  // the writer. Null, with one sentence naming the file and what is wrong in error, when
  // the file is no SQLite database, is damaged, is of a newer schema, or is used by another
  // server; the file is then left as it was.
  static std::unique_ptr<SqliteState> Open(const StateSettings& settings,
                                           std::shared_ptr<Clock> clock, Metrics* metrics,
                                           std::string& error);
  ~SqliteState() override;
  SqliteState(const SqliteState&) = delete;
  SqliteState& operator=(const SqliteState&) = delete;

  bool Commit(RoChange change, std::string& error) override;
  void Post(RoChange change) override;
  // What the database held when it was opened; handed out once.
  bool Load(StoredState& out, std::string& error) override;

  std::optional<RememberedAnswer> Recall(const MessageKey& key) override;
  void Remember(const MessageKey& key, std::string answer) override;

  StateStatus Status() const;

  // The epoch of a main/backup pair kept here: 0 until one is saved. SaveEpoch returns once
  // it is on disk; false, with what went wrong in error, when it could not be written.
  std::uint64_t Epoch() const { return epoch_.load(); }
  bool SaveEpoch(std::uint64_t epoch, std::string& error);

  // A backup's writer gives way to the thread that acknowledges the main's changes; a main's
  // commits are waited for, so its writer runs as the rest. False when the system would not
  // let the writer's priority be given back, and it is then left as it runs.
  bool SetBackground(bool background) { return writerPriority_.SetBackground(background); }

  static constexpr int kSchemaVersion = 4;

 private:
  struct Job {
    RoChange change;
    std::optional<std::pair<MessageKey, std::string>> answer;  // an answer to keep
    std::optional<std::uint64_t> epoch;                        // an epoch to keep
    std::promise<std::string> done;                            // the error text, empty when saved
    bool waited = false;
  };
  struct Statements;

  SqliteState(StateSettings settings, std::shared_ptr<Clock> clock, Metrics* metrics);
  bool OpenDatabase(std::string& error);
  bool ReadAll(std::string& error);
  void Enqueue(Job job);
  void Run();
  // Writes the batch in one transaction; the error text, empty when it was committed.
  std::string WriteBatch(std::deque<Job>& batch);
  bool Apply(const RoChange& change);
  bool KeepAnswer(const MessageKey& key, const std::string* answer, FileTime at);
  std::string LastError() const;
  // Called by SQLite after each commit of the writer's connection with the pages the log
  // holds: past kCheckpointPages, the checkpoint thread is woken.
  static int LogGrew(void* self, sqlite3* db, const char* name, int pages);
  void Checkpoints();

  const StateSettings settings_;
  const std::shared_ptr<Clock> clock_;
  Metrics* metrics_;
  int lockFile_ = -1;
  sqlite3* db_ = nullptr;  // used by the opening thread, then only by the writer thread
  std::unique_ptr<Statements> statements_;
  StoredState loaded_;
  bool loadedTaken_ = false;
  AnswerWindow answers_;
  std::atomic<std::uint64_t> epoch_{0};

  mutable std::mutex queueLock_;  // guards queue_, stopping_ and the status fields below
  std::condition_variable queued_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  FileTime lastCommit_ = 0;
  std::uint64_t commits_ = 0;
  bool failing_ = false;      // written by the writer only: one log line per burst of failures
  int answersSinceTrim_ = 0;  // the writer's only
  bool restartLog_ = false;   // the writer's only: the log passed kRestartPages
  SwitchablePriority writerPriority_{"state database writer"};
  std::thread writer_;

  // The write-ahead log is copied into the database (a checkpoint, with its fsync) by a
  // thread of its own on a connection of its own, so that no commit, and no answer to the
  // NRCS, waits for one.
  sqlite3* checkpointDb_ = nullptr;  // the checkpoint thread's only, once it runs
  std::mutex checkpointLock_;        // guards logPages_, restartWanted_ and checkpointStop_
  std::condition_variable checkpointWanted_;
  std::condition_variable restarted_;
  int logPages_ = 0;
  bool restartWanted_ = false;  // the writer waits for a checkpoint that restarts the log
  bool checkpointStop_ = false;
  std::thread checkpointer_;
};

}  // namespace vidra

// Tables: running_order (a row per running order: its header and control blobs, its channel
// and place), item (a row per item: its MOS fields and, in columns of their own, the state,
// start stamp and timing that playout changes often), answer (the answers kept for messages
// sent again). A change touches only the rows it changes: an edit of a running order of
// 500 items writes its header and the items it added, a state change one item's columns.
#include "state/SqliteState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE running_order (ro_key INTEGER PRIMARY KEY, channel INTEGER NOT NULL,"
    " position INTEGER NOT NULL, ro_id TEXT NOT NULL, header BLOB NOT NULL,"
    " control BLOB NOT NULL, nrcs_host INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE item (item_key INTEGER PRIMARY KEY, ro_key INTEGER NOT NULL,"
    " body BLOB NOT NULL, state INTEGER NOT NULL, state_time INTEGER NOT NULL,"
    " play_ticks INTEGER NOT NULL, mark_in REAL NOT NULL, play_duration REAL NOT NULL,"
    " timed INTEGER NOT NULL);"
    "CREATE INDEX item_by_running_order ON item (ro_key);"
    "CREATE TABLE answer (host TEXT NOT NULL, port INTEGER NOT NULL, message_id TEXT NOT NULL,"
    " digest INTEGER NOT NULL, at INTEGER NOT NULL, answer BLOB,"
    " PRIMARY KEY (host, port, message_id, digest));"
    "CREATE TABLE pair (epoch INTEGER NOT NULL);";

// The steps from each older schema to the next, in order: kUpgrades[v - 1] takes version v
// to v + 1. Version 1 kept no NRCS host with a running order (its notices went to whichever
// NRCS took them first after a restart). Version 3 changes no table: its rows may hold items
// in the codec's second format, which a server of version 2 would call damaged; the number
// makes such a server refuse the file as newer instead. Version 4 keeps the epoch of a
// main/backup pair.
constexpr const char* kUpgrades[] = {
    "ALTER TABLE running_order ADD COLUMN nrcs_host INTEGER NOT NULL DEFAULT 0;",
    "SELECT 1;",
    "CREATE TABLE pair (epoch INTEGER NOT NULL);",
};

// Pages of the write-ahead log (4 KiB each) past which a checkpoint is started, and past
// which it makes the writer wait so that the log starts again from its beginning: under
// commits without a pause the log would otherwise grow without end.
constexpr int kCheckpointPages = 1000;
constexpr int kRestartPages = 4000;
// Changes in a batch at most: the commits waiting behind them wait no longer than it takes.
constexpr std::size_t kBatchJobs = 256;
// Answers kept between two trims of the answer table.
constexpr int kTrimEvery = 32;

// SQLite integers are signed; keys, stamps and digests are kept bit for bit.
sqlite3_int64 Int(std::uint64_t v) {
  return static_cast<sqlite3_int64>(v);
}

std::uint64_t Unsigned(sqlite3_stmt* statement, int column) {
  return static_cast<std::uint64_t>(sqlite3_column_int64(statement, column));
}

std::string Blob(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), size);
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
        SQLITE_OK) {
      statement_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return statement_ != nullptr; }
  Statement& Bind(int at, std::uint64_t v) {
    sqlite3_bind_int64(statement_, at, Int(v));
    return *this;
  }
  Statement& Bind(int at, std::int64_t v) {
    sqlite3_bind_int64(statement_, at, v);
    return *this;
  }
  Statement& Bind(int at, double v) {
    sqlite3_bind_double(statement_, at, v);
    return *this;
  }
  Statement& Bind(int at, const std::string& v, bool blob = false) {
    if (blob) {
      sqlite3_bind_blob(statement_, at, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    } else {
      sqlite3_bind_text(statement_, at, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    }
    return *this;
  }
  Statement& BindNull(int at) {
    sqlite3_bind_null(statement_, at);
    return *this;
  }
  // Runs it to its end; false on an error.
  bool Run() {
    const int rc = sqlite3_step(statement_);
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
  }
  sqlite3_stmt* Raw() { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The first value of a query, or none on an error.
std::optional<std::string> Single(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    return std::nullopt;
  }
  std::optional<std::string> value;
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(statement, 0);
    value = text == nullptr ? "" : reinterpret_cast<const char*>(text);
  } else if (rc == SQLITE_DONE) {
    value = "";
  }
  sqlite3_finalize(statement);
  return value;
}

std::uint64_t FileBytes(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// Takes the lock file beside the database: a second server on the same file is told which
// process holds it. POSIX record locks end with the process, so a crashed server leaves no
// stale lock behind.
int LockBeside(const std::string& path, std::string& error) {
  const std::string lockPath = path + ".lock";
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error =
        "the state database " + path + " cannot be locked: " + lockPath + ": " + ErrorText(errno);
    return -1;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_SETLK, &lock) != 0) {
    struct flock holder {};
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    const bool known = ::fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
    error = "the state database " + path + " is in use by another server (process " +
            (known ? std::to_string(holder.l_pid) : std::string("unknown")) + ")";
    ::close(fd);
    return -1;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::write(fd, pid.data(), pid.size()) < 0) {
    // The lock is what counts; the number in the file only helps a person looking at it.
  }
  return fd;
}

}  // namespace

struct SqliteState::Statements {
  explicit Statements(sqlite3* db)
      : putRo(db,
              "INSERT OR REPLACE INTO running_order (ro_key, channel, position, ro_id, header,"
              " control, nrcs_host) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
        putControl(db, "UPDATE running_order SET control = ?2 WHERE ro_key = ?1"),
        removeRo(db, "DELETE FROM running_order WHERE ro_key = ?1"),
        removeItemsOf(db, "DELETE FROM item WHERE ro_key = ?1"),
        putItem(db,
                "INSERT OR REPLACE INTO item (item_key, ro_key, body, state, state_time,"
                " play_ticks, mark_in, play_duration, timed)"
                " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
        putState(db,
                 "UPDATE item SET state = ?2, state_time = ?3, play_ticks = ?4, mark_in = ?5,"
                 " play_duration = ?6, timed = ?7 WHERE item_key = ?1"),
        removeItem(db, "DELETE FROM item WHERE item_key = ?1"),
        putAnswer(db,
                  "INSERT OR REPLACE INTO answer (host, port, message_id, digest, at, answer)"
                  " VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
        dropOldAnswers(db, "DELETE FROM answer WHERE at < ?1"),
        trimAnswers(db,
                    "DELETE FROM answer WHERE host = ?1 AND port = ?2 AND rowid NOT IN"
                    " (SELECT rowid FROM answer WHERE host = ?1 AND port = ?2"
                    " ORDER BY at DESC LIMIT ?3)") {}

  bool Ok() const {
    for (const Statement* s : {&putRo, &putControl, &removeRo, &removeItemsOf, &putItem, &putState,
                               &removeItem, &putAnswer, &dropOldAnswers, &trimAnswers}) {
      if (!s->Ok()) {
        return false;
      }
    }
    return true;
  }

  Statement putRo;
  Statement putControl;
  Statement removeRo;
  Statement removeItemsOf;
  Statement putItem;
  Statement putState;
  Statement removeItem;
  Statement putAnswer;
  Statement dropOldAnswers;
  Statement trimAnswers;
};

SqliteState::SqliteState(StateSettings settings, std::shared_ptr<Clock> clock, Metrics* metrics)
    : settings_(std::move(settings)), clock_(std::move(clock)), metrics_(metrics) {}

std::unique_ptr<SqliteState> SqliteState::Open(const StateSettings& settings,
                                               std::shared_ptr<Clock> clock, Metrics* metrics,
                                               std::string& error) {
  std::unique_ptr<SqliteState> state(new SqliteState(settings, std::move(clock), metrics));
  if (!state->OpenDatabase(error) || !state->ReadAll(error)) {
    return nullptr;
  }
  state->writer_ = std::thread([raw = state.get()] { raw->Run(); });
  state->checkpointer_ = std::thread([raw = state.get()] { raw->Checkpoints(); });
  return state;
}

SqliteState::~SqliteState() {
  {
    std::lock_guard guard(queueLock_);  // the queue
    stopping_ = true;
  }
  queued_.notify_all();
  if (writer_.joinable()) {
    writer_.join();  // what was queued is written first
  }
  {
    std::lock_guard guard(checkpointLock_);  // checkpointStop_
    checkpointStop_ = true;
  }
  checkpointWanted_.notify_all();
  restarted_.notify_all();
  if (checkpointer_.joinable()) {
    checkpointer_.join();
  }
  if (checkpointDb_ != nullptr) {
    sqlite3_close(checkpointDb_);
  }
  statements_.reset();
  if (db_ != nullptr) {
    sqlite3_close(db_);
  }
  if (lockFile_ >= 0) {
    ::close(lockFile_);
  }
}

std::string SqliteState::LastError() const {
  return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

bool SqliteState::OpenDatabase(std::string& error) {
  const std::string& path = settings_.path;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code ignored;
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, ignored);
  }
  lockFile_ = LockBeside(path, error);
  if (lockFile_ < 0) {
    return false;
  }
  // Each connection is used by one thread at a time (this one, then the writer; the
  // checkpoint thread its own): without SQLite's lock on every call.
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    error = "the state database " + path + " cannot be opened: " + LastError();
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  const auto version = Single(db_, "PRAGMA user_version");
  if (!version) {
    error = "the state database " + path + " is not an SQLite database (" + LastError() + ")";
    return false;
  }
  const int schema = std::atoi(version->c_str());
  if (schema > kSchemaVersion) {
    error = "the state database " + path + " was written by a newer server (schema " + *version +
            "; this one reads up to " + std::to_string(kSchemaVersion) + ")";
    return false;
  }
  const auto check = Single(db_, "PRAGMA quick_check");
  if (!check || *check != "ok") {
    error = "the state database " + path + " is damaged (" + (check ? *check : LastError()) + ")";
    return false;
  }
  if (schema == 0) {
    const auto tables = Single(db_, "SELECT count(*) FROM sqlite_master");
    if (!tables || *tables != "0") {
      error = "the state database " + path + " holds tables of another program";
      return false;
    }
    const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (!Exec(db_, "BEGIN") || !Exec(db_, kSchema) || !Exec(db_, setVersion.c_str()) ||
        !Exec(db_, "COMMIT")) {
      error = "the state database " + path + " cannot be set up: " + LastError();
      return false;
    }
  }
  // An older schema is brought up one version after the other, each step in a transaction
  // of its own, so a stop between two leaves a database of a version this server reads.
  for (int from = std::max(schema, 1); schema != 0 && from < kSchemaVersion; ++from) {
    const std::string setVersion = "PRAGMA user_version = " + std::to_string(from + 1);
    if (!Exec(db_, "BEGIN") || !Exec(db_, kUpgrades[from - 1]) || !Exec(db_, setVersion.c_str()) ||
        !Exec(db_, "COMMIT")) {
      error = "the state database " + path + " cannot be brought from schema " +
              std::to_string(from) + " to " + std::to_string(from + 1) + ": " + LastError();
      Exec(db_, "ROLLBACK");
      return false;
    }
    Log("VIDRA - the state database %s was brought from schema %d to %d", path.c_str(), from,
        from + 1);
  }
  const auto mode = Single(db_, "PRAGMA journal_mode = WAL");
  if (!mode || *mode != "wal" ||
      !Exec(db_,
            settings_.fullSync ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL")) {
    error = "the state database " + path + " cannot use a write-ahead log: " + LastError();
    return false;
  }
  // Checkpoints leave the commits' path: SQLite's own, every 1,000 pages, would run inside
  // the commit that crosses the mark and hold up its answer by milliseconds.
  if (!Exec(db_, "PRAGMA wal_autocheckpoint = 0") ||
      sqlite3_open_v2(path.c_str(), &checkpointDb_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    error = "the state database " + path + " cannot be opened for checkpoints: " + LastError();
    return false;
  }
  sqlite3_busy_timeout(checkpointDb_, 2000);
  // A connection knows the file is in WAL mode only once it has read it; before, its
  // checkpoints do nothing.
  if (Single(checkpointDb_, "PRAGMA journal_mode") != std::optional<std::string>("wal")) {
    error = "the state database " + path +
            " cannot be opened for checkpoints: " + sqlite3_errmsg(checkpointDb_);
    return false;
  }
  sqlite3_wal_hook(db_, &SqliteState::LogGrew, this);
  statements_ = std::make_unique<Statements>(db_);
  if (!statements_->Ok()) {
    error = "the state database " + path +
            " does not have the tables this server expects: " + LastError();
    return false;
  }
  return true;
}

bool SqliteState::ReadAll(std::string& error) {
  const auto fail = [&] {
    error = "the state database " + settings_.path + " cannot be read: " + LastError();
    return false;
  };
  Statement ros(db_,
                "SELECT ro_key, channel, position, ro_id, header, control, nrcs_host"
                " FROM running_order ORDER BY channel, position");
  Statement items(db_,
                  "SELECT item_key, ro_key, body, state, state_time, play_ticks, mark_in,"
                  " play_duration, timed FROM item");
  Statement answers(db_,
                    "SELECT host, port, message_id, digest, at, answer FROM answer"
                    " WHERE at >= ?1 ORDER BY at");
  if (!ros.Ok() || !items.Ok() || !answers.Ok()) {
    return fail();
  }
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(ros.Raw())) == SQLITE_ROW) {
    StoredRo row;
    row.key = Unsigned(ros.Raw(), 0);
    row.channel = sqlite3_column_int(ros.Raw(), 1);
    row.position = sqlite3_column_int64(ros.Raw(), 2);
    row.roID = Blob(ros.Raw(), 3);
    row.header = Blob(ros.Raw(), 4);
    row.control = Blob(ros.Raw(), 5);
    row.nrcsHost = static_cast<std::uint32_t>(sqlite3_column_int64(ros.Raw(), 6));
    loaded_.maxKey = std::max(loaded_.maxKey, row.key);
    loaded_.ros.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    return fail();
  }
  while ((rc = sqlite3_step(items.Raw())) == SQLITE_ROW) {
    StoredItem i;
    i.state.key = Unsigned(items.Raw(), 0);
    i.roKey = Unsigned(items.Raw(), 1);
    i.body = Blob(items.Raw(), 2);
    i.state.state = sqlite3_column_int(items.Raw(), 3);
    i.state.stateTime = Unsigned(items.Raw(), 4);
    i.state.playTicks = Unsigned(items.Raw(), 5);
    i.state.markIn = sqlite3_column_double(items.Raw(), 6);
    i.state.playDuration = sqlite3_column_double(items.Raw(), 7);
    i.state.timed = sqlite3_column_int(items.Raw(), 8) != 0;
    loaded_.maxKey = std::max(loaded_.maxKey, i.state.key);
    loaded_.items.push_back(std::move(i));
  }
  if (rc != SQLITE_DONE) {
    return fail();
  }
  if (const auto epoch = Single(db_, "SELECT coalesce(max(epoch), 0) FROM pair")) {
    epoch_ = std::strtoull(epoch->c_str(), nullptr, 10);
  } else {
    return fail();
  }
  const FileTime now = clock_->UtcNow();
  answers.Bind(1, now > kRememberedFor ? now - kRememberedFor : 0);
  while ((rc = sqlite3_step(answers.Raw())) == SQLITE_ROW) {
    MessageKey key{Blob(answers.Raw(), 0), sqlite3_column_int(answers.Raw(), 1),
                   Blob(answers.Raw(), 2), Unsigned(answers.Raw(), 3)};
    std::optional<std::string> text;
    if (sqlite3_column_type(answers.Raw(), 5) != SQLITE_NULL) {
      text = Blob(answers.Raw(), 5);
    }
    answers_.Keep(key, std::move(text), Unsigned(answers.Raw(), 4));
  }
  return rc == SQLITE_DONE || fail();
}

bool SqliteState::Load(StoredState& out, std::string& error) {
  if (loadedTaken_) {
    error = "the state database " + settings_.path + " was read already";
    return false;
  }
  out = std::move(loaded_);
  loadedTaken_ = true;
  return true;
}

void SqliteState::Enqueue(Job job) {
  {
    std::lock_guard guard(queueLock_);  // the queue
    queue_.push_back(std::move(job));
  }
  queued_.notify_one();
}

bool SqliteState::Commit(RoChange change, std::string& error) {
  Job job;
  job.change = std::move(change);
  job.waited = true;
  std::future<std::string> done = job.done.get_future();
  const std::optional<MessageKey> message = job.change.message;
  Enqueue(std::move(job));
  error = done.get();
  if (error.empty() && message) {
    // Known as applied from now on, also before its answer is kept.
    answers_.Keep(*message, std::nullopt, clock_->UtcNow());
  }
  return error.empty();
}

bool SqliteState::SaveEpoch(std::uint64_t epoch, std::string& error) {
  Job job;
  job.epoch = epoch;
  job.waited = true;
  std::future<std::string> done = job.done.get_future();
  Enqueue(std::move(job));
  error = done.get();
  if (error.empty()) {
    epoch_ = epoch;
  }
  return error.empty();
}

void SqliteState::Post(RoChange change) {
  // A change posted with its message (the backup of a pair takes the main's edits so) is
  // known as applied from now on, as a commit's is once written.
  if (change.message) {
    answers_.Keep(*change.message, std::nullopt, clock_->UtcNow());
  }
  Job job;
  job.change = std::move(change);
  Enqueue(std::move(job));
}

std::optional<RememberedAnswer> SqliteState::Recall(const MessageKey& key) {
  return answers_.Find(key, clock_->UtcNow());
}

void SqliteState::Remember(const MessageKey& key, std::string answer) {
  answers_.Keep(key, answer, clock_->UtcNow());
  Job job;
  job.answer = std::make_pair(key, std::move(answer));
  Enqueue(std::move(job));
}

StateStatus SqliteState::Status() const {
  StateStatus status;
  status.path = settings_.path;
  status.fileBytes = FileBytes(settings_.path) + FileBytes(settings_.path + "-wal");
  std::lock_guard guard(queueLock_);  // the status fields
  status.lastCommit = lastCommit_;
  status.commits = commits_;
  return status;
}

void SqliteState::Run() {
  writerPriority_.Attach();
  for (;;) {
    std::deque<Job> batch;
    {
      std::unique_lock guard(queueLock_);  // the queue
      queued_.wait(guard, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) {
        return;  // stopping, and everything is written
      }
      while (!queue_.empty() && batch.size() < kBatchJobs) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    const auto started = std::chrono::steady_clock::now();
    const std::string error = WriteBatch(batch);
    if (restartLog_) {
      // Commits without a pause never let a passive checkpoint finish: the writer waits,
      // holding no lock, while the checkpoint thread copies the whole log, and the next
      // commit writes the log from its beginning.
      restartLog_ = false;
      std::unique_lock guard(checkpointLock_);  // the restart's flags
      restartWanted_ = true;
      checkpointWanted_.notify_one();
      restarted_.wait(guard, [this] { return !restartWanted_ || checkpointStop_; });
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    if (error.empty()) {
      if (metrics_ != nullptr) {
        metrics_->Observe("vidra_store_commit_seconds", took.count());
      }
      std::lock_guard guard(queueLock_);  // the status fields
      lastCommit_ = clock_->UtcNow();
      ++commits_;
    }
    if (!error.empty() && !failing_) {
      Log("VIDRA - the state database %s cannot be written: %s; changes are refused until it "
          "can",
          settings_.path.c_str(), error.c_str());
    } else if (error.empty() && failing_) {
      Log("VIDRA - the state database %s is written again", settings_.path.c_str());
    }
    failing_ = !error.empty();
    for (Job& job : batch) {
      if (job.waited) {
        job.done.set_value(error);
      }
    }
  }
}

std::string SqliteState::WriteBatch(std::deque<Job>& batch) {
  if (!Exec(db_, "BEGIN IMMEDIATE")) {
    return LastError();
  }
  const FileTime now = clock_->UtcNow();
  bool written = true;
  for (const Job& job : batch) {
    if (job.epoch) {
      written = Exec(db_, "DELETE FROM pair") &&
                Exec(db_, ("INSERT INTO pair VALUES (" + std::to_string(*job.epoch) + ")").c_str());
    } else {
      written =
          job.answer ? KeepAnswer(job.answer->first, &job.answer->second, now) : Apply(job.change);
    }
    if (!written) {
      break;
    }
  }
  if (written && Exec(db_, "COMMIT")) {
    return "";
  }
  std::string error = LastError();
  Exec(db_, "ROLLBACK");
  return error.empty() ? "unknown error" : error;
}

int SqliteState::LogGrew(void* self, sqlite3* /*db*/, const char* /*name*/, int pages) {
  auto* state = static_cast<SqliteState*>(self);
  state->restartLog_ = pages >= kRestartPages;  // on the writer's thread, like the commit
  if (pages >= kCheckpointPages) {
    {
      std::lock_guard guard(state->checkpointLock_);  // logPages_
      state->logPages_ = pages;
    }
    state->checkpointWanted_.notify_one();
  }
  return SQLITE_OK;
}

void SqliteState::Checkpoints() {
  for (;;) {
    bool restart = false;
    {
      std::unique_lock guard(checkpointLock_);  // logPages_, the restart and checkpointStop_
      checkpointWanted_.wait(guard,
                             [this] { return logPages_ > 0 || restartWanted_ || checkpointStop_; });
      if (checkpointStop_) {
        return;  // the last connection's close checkpoints what is left
      }
      logPages_ = 0;
      restart = restartWanted_;
    }
    // Passive: copies what is committed without holding up the writer; the log starts
    // again from its beginning at the writer's next commit once all of it is copied.
    int logged = 0;
    int copied = 0;
    const auto started = std::chrono::steady_clock::now();
    const int rc = sqlite3_wal_checkpoint_v2(
        checkpointDb_, nullptr, restart ? SQLITE_CHECKPOINT_RESTART : SQLITE_CHECKPOINT_PASSIVE,
        &logged, &copied);
    if (restart) {
      {
        std::lock_guard guard(checkpointLock_);  // the restart's flags
        restartWanted_ = false;
      }
      restarted_.notify_all();
    }
    if (rc != SQLITE_OK && rc != SQLITE_BUSY) {
      Log("VIDRA - a checkpoint of the state database %s failed: %s", settings_.path.c_str(),
          sqlite3_errmsg(checkpointDb_));
    } else if (metrics_ != nullptr) {
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
      metrics_->Observe("vidra_store_checkpoint_seconds", took.count());
    }
  }
}

bool SqliteState::Apply(const RoChange& c) {
  Statements& s = *statements_;
  const std::uint64_t roKey = c.roKey;
  if (c.removeRo) {
    if (!s.removeItemsOf.Bind(1, roKey).Run() || !s.removeRo.Bind(1, roKey).Run()) {
      return false;
    }
  }
  if (c.row) {
    const StoredRo& row = *c.row;
    if (!s.putRo.Bind(1, roKey)
             .Bind(2, std::int64_t{row.channel})
             .Bind(3, row.position)
             .Bind(4, row.roID)
             .Bind(5, row.header, true)
             .Bind(6, row.control, true)
             .Bind(7, static_cast<std::int64_t>(row.nrcsHost))
             .Run()) {
      return false;
    }
  } else if (c.control && !s.putControl.Bind(1, roKey).Bind(2, *c.control, true).Run()) {
    return false;
  }
  if (c.replaceItems && !s.removeItemsOf.Bind(1, roKey).Run()) {
    return false;
  }
  for (const StoredItem& i : c.items) {
    const StoredItemState& st = i.state;
    if (!s.putItem.Bind(1, st.key)
             .Bind(2, roKey)
             .Bind(3, i.body, true)
             .Bind(4, std::int64_t{st.state})
             .Bind(5, st.stateTime)
             .Bind(6, st.playTicks)
             .Bind(7, st.markIn)
             .Bind(8, st.playDuration)
             .Bind(9, std::int64_t{st.timed ? 1 : 0})
             .Run()) {
      return false;
    }
  }
  for (const std::uint64_t key : c.removedItems) {
    if (!s.removeItem.Bind(1, key).Run()) {
      return false;
    }
  }
  for (const StoredItemState& st : c.states) {
    if (!s.putState.Bind(1, st.key)
             .Bind(2, std::int64_t{st.state})
             .Bind(3, st.stateTime)
             .Bind(4, st.playTicks)
             .Bind(5, st.markIn)
             .Bind(6, st.playDuration)
             .Bind(7, std::int64_t{st.timed ? 1 : 0})
             .Run()) {
      return false;
    }
  }
  return !c.message || KeepAnswer(*c.message, nullptr, clock_->UtcNow());
}

// An answer row, or with no answer the mark of a message whose change was committed; old
// rows and those beyond the last 1,000 of the host's port leave in the same transaction.
bool SqliteState::KeepAnswer(const MessageKey& key, const std::string* answer, FileTime at) {
  Statements& s = *statements_;
  s.putAnswer.Bind(1, key.host)
      .Bind(2, std::int64_t{key.port})
      .Bind(3, key.messageID)
      .Bind(4, key.digest)
      .Bind(5, at);
  if (answer != nullptr) {
    s.putAnswer.Bind(6, *answer, true);
  } else {
    s.putAnswer.BindNull(6);
  }
  if (!s.putAnswer.Run()) {
    return false;
  }
  // Trimming costs a sort of up to a thousand rows: it is done now and then, which leaves
  // at most a few dozen rows beyond the window on the disk (the window in memory is exact).
  if (++answersSinceTrim_ < kTrimEvery) {
    return true;
  }
  answersSinceTrim_ = 0;
  return s.dropOldAnswers.Bind(1, at > kRememberedFor ? at - kRememberedFor : 0).Run() &&
         s.trimAnswers.Bind(1, key.host)
             .Bind(2, std::int64_t{key.port})
             .Bind(3, static_cast<std::int64_t>(kRememberedPerPort))
             .Run();
}

}  // namespace vidra

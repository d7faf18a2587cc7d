// The server's running log: one record per call, written whole to standard error (systemd's
// journal takes it from there). There are no levels: the texts are the system's own and are
// written exactly as given. Any thread may log; tests capture records with LogCapture.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vidra {

// Formatted records are cut to this many characters, as controlling tools expect.
constexpr std::size_t kLogRecordCharacters = 2048;

// A plain record, written as it is.
void LogText(std::string_view text);
// A printf-style record, cut to kLogRecordCharacters characters (never inside a UTF-8
// sequence).
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A record of 16-bit text, cut as Log cuts it; only the part the record keeps is converted,
// so a message of megabytes costs no more to log than its first line.
void LogUtf16(std::u16string_view text);

// Returns once every record logged before the call is on standard error; for those who
// write there directly, and for the end of the process.
void FlushLog();

// Gathers the records its thread logs while it lives and hands them to the log together, at
// FlushLogBatch or at its end, so that a thread logging several records per message takes
// the log's lock once instead of once per record. The thread flushes before anything that
// may make it wait (a receive, a send): records are never held back while it is idle, and
// whatever it logged before a send is in the log by the time the peer has the bytes.
// Records keep their order and stay whole. One per thread at a time.
class LogBatch {
 public:
  LogBatch();
  ~LogBatch();
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;
  void Flush();
  // A batch this big is handed on at once.
  static constexpr std::size_t kFlushBytes = 64u << 10;

 private:
  friend void AddToBatch(LogBatch& batch, std::string_view record);
  std::string text_;  // the records, each ending in a newline
  // Where each record stands in text_, without the newline the batch added: what a sink gets.
  std::vector<std::pair<std::size_t, std::size_t>> records_;
  LogBatch* previous_;
};

// Flushes the calling thread's LogBatch, if it has one.
void FlushLogBatch();

// Receives every record instead of standard error while installed.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(std::string_view record) = 0;
};

// Installs a sink for its lifetime and restores the previous one after.
class ScopedLogSink {
 public:
  explicit ScopedLogSink(LogSink& sink);
  ~ScopedLogSink();
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;

 private:
  LogSink* previous_;
};

// Collects records in memory, for tests that check log lines and their order.
class LogCapture final : public LogSink {
 public:
  LogCapture() : installed_(*this) {}
  void Write(std::string_view record) override;
  std::vector<std::string> Records() const;
  // True when the given records appear in this order (others may stand between them).
  bool HasInOrder(const std::vector<std::string>& expected) const;
  std::size_t CountOf(std::string_view record) const;
  std::size_t CountStartingWith(std::string_view prefix) const;

 private:
  mutable std::mutex mutex_;  // guards records_
  std::vector<std::string> records_;
  ScopedLogSink installed_;
};

}  // namespace vidra

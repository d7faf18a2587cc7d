// Writes the log's records to standard error from one thread of its own, many records per
// write(2): a connection thread logs five or six records per message, and a system call for
// each would cost more than serving the message. Records keep their order and stay whole.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace vidra {

class LogWriter {
 public:
  explicit LogWriter(int fd) : fd_(fd) {}
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Queues one record. Waits while kMaxPending bytes are queued already, so that a stalled
  // standard error slows the loggers down instead of losing records or memory.
  void Append(std::string_view record, bool addNewline = false);
  // Returns once every record queued before the call is written.
  void Flush();

  // A batch collects for at most this long after its first record.
  static constexpr auto kBatchDelay = std::chrono::milliseconds(1);
  static constexpr std::size_t kBatchBytes = 64u << 10;
  static constexpr std::size_t kMaxPending = 4u << 20;

 private:
  void Run();
  void StartLocked();

  const int fd_;
  std::mutex mutex_;  // guards every field below
  std::condition_variable queued_;
  std::condition_variable written_;
  std::string pending_;
  std::size_t queuedTotal_ = 0;   // bytes ever queued
  std::size_t writtenTotal_ = 0;  // bytes ever written (or given up on)
  int flushWaiters_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vidra

#include "common/LogWriter.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace vidra {

namespace {

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;  // nowhere left to report a failing log
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

LogWriter::~LogWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
  WriteAll(fd_, pending_.data(), pending_.size());  // queued by nobody once joined
}

void LogWriter::Append(std::string_view record, bool addNewline) {
  std::unique_lock lock(mutex_);
  if (stopping_) {
    lock.unlock();
    WriteAll(fd_, record.data(), record.size());
    if (addNewline) {
      WriteAll(fd_, "\n", 1);
    }
    return;
  }
  written_.wait(lock, [&] { return pending_.size() < kMaxPending || stopping_; });
  StartLocked();
  const bool wasEmpty = pending_.empty();
  pending_.append(record);
  if (addNewline) {
    pending_ += '\n';
  }
  queuedTotal_ += record.size() + (addNewline ? 1 : 0);
  if (wasEmpty || pending_.size() >= kBatchBytes) {
    queued_.notify_one();
  }
}

void LogWriter::Flush() {
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) {
    return;
  }
  const std::size_t target = queuedTotal_;
  ++flushWaiters_;
  queued_.notify_one();
  written_.wait(lock, [&] { return writtenTotal_ >= target; });
  --flushWaiters_;
}

void LogWriter::StartLocked() {
  if (thread_.joinable()) {
    return;
  }
  // The writer takes no signals: the host blocks its stop signals to read them from a
  // signalfd, and a thread that could take SIGTERM would end the process unflushed.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  thread_ = std::thread([this] { Run(); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void LogWriter::Run() {
  std::string batch;
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [&] { return !pending_.empty() || stopping_; });
    if (pending_.empty()) {
      return;  // stopping, nothing left
    }
    // Let the batch grow a little unless it is big already or someone waits for it.
    queued_.wait_for(lock, kBatchDelay, [&] {
      return pending_.size() >= kBatchBytes || flushWaiters_ > 0 || stopping_;
    });
    batch.swap(pending_);
    pending_.clear();
    lock.unlock();
    WriteAll(fd_, batch.data(), batch.size());
    lock.lock();
    writtenTotal_ += batch.size();
    batch.clear();
    if (batch.capacity() > kBatchBytes * 4) {
      batch.shrink_to_fit();
    }
    written_.notify_all();
  }
}

}  // namespace vidra

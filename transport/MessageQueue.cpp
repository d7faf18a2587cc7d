// The readers run on the control thread and must not stall it behind a busy writer for
// long: they try the lock, then wait for it once for at most 500 ms, then give up.
#include "transport/MessageQueue.h"

#include <thread>

#include "common/Log.h"

namespace vidra {

namespace {

constexpr auto kReaderWait = std::chrono::milliseconds(500);
constexpr auto kReaderRetry = std::chrono::milliseconds(1);

// A bounded wait by polling try_lock on the steady clock. A timed mutex would wait in
// pthread_mutex_clocklock, which the thread sanitizer does not see, so every read after
// such a wait would look unguarded to it; polling a contended reader is cheap.
bool TryLockFor(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kReaderRetry);
  }
  return true;
}

}  // namespace

void MessageQueue::Init(std::size_t maxTextBytes) {
  std::lock_guard lock(lock_);
  records_.clear();
  textBytes_ = 0;
  maxTextBytes_ = maxTextBytes;
  initialized_ = true;
  droppingOverCap_ = false;
}

void MessageQueue::Append(MessageRecord record) {
  const FileTime now = clock_.UtcNow();
  std::lock_guard lock(lock_);
  if (!initialized_) {
    return;
  }
  textBytes_ += record.text.size();
  records_.push_back(std::move(record));
  DropAged(now);
  DropOverCap();
}

std::size_t MessageQueue::Count() const {
  std::lock_guard lock(lock_);
  return initialized_ ? records_.size() : 0;
}

std::size_t MessageQueue::Sweep() {
  std::lock_guard lock(lock_);
  if (records_.empty()) {
    return 0;
  }
  return DropAged(clock_.UtcNow());
}

FileTime MessageQueue::GetLastTime() const {
  std::unique_lock<std::mutex> lock;
  const ReadLock how = LockForReading(lock, "locked for getting Time");
  if (how == ReadLock::Busy) {
    return 0;
  }
  const FileTime last = records_.empty() ? 0 : records_.back().time;
  if (how == ReadLock::TakenAfterWait) {
    LogText("the time is getted, try to unlock");
    lock.unlock();
    LogText("unlocked, go from GetLastMessTime");
  }
  return last;
}

HResult MessageQueue::GetByNumber(std::int64_t n, MessageRecord& out) const {
  std::unique_lock<std::mutex> lock;
  const ReadLock how = LockForReading(lock, "locked for getting message ");
  if (how == ReadLock::Busy) {
    return HResult::E_FAIL;
  }
  const bool found = initialized_ && n >= 0 && static_cast<std::size_t>(n) < records_.size();
  if (found) {
    out = records_[static_cast<std::size_t>(n)];
  }
  if (how == ReadLock::TakenAfterWait) {
    LogText("the mess is getted, try to unlock");
    lock.unlock();
    LogText("unlocked, go from GetMessage");
  }
  return found ? HResult::S_OK : HResult::E_FAIL;
}

void MessageQueue::Release() {
  std::lock_guard lock(lock_);
  records_.clear();
  records_.shrink_to_fit();
  textBytes_ = 0;
  initialized_ = false;
}

bool MessageQueue::IsInitialized() const {
  std::lock_guard lock(lock_);
  return initialized_;
}

std::size_t MessageQueue::TextBytes() const {
  std::lock_guard lock(lock_);
  return textBytes_;
}

MessageQueue::ReadLock MessageQueue::LockForReading(std::unique_lock<std::mutex>& lock,
                                                    const char* lockedLine) const {
  lock = std::unique_lock(lock_, std::try_to_lock);
  if (lock.owns_lock()) {
    return ReadLock::Taken;
  }
  LogText("can't enter to cs, wait event");
  const bool locked = TryLockFor(lock, kReaderWait);
  LogText("2nd try to enter CS for getting message");
  if (!locked) {
    LogText("still can't enter to cs, go away");
    return ReadLock::Busy;
  }
  LogText(lockedLine);
  return ReadLock::TakenAfterWait;
}

std::size_t MessageQueue::DropAged(FileTime now) {
  std::size_t dropped = 0;
  // Unsigned difference: an entry stamped in the future (clock set back) counts as old.
  while (!records_.empty() && now - records_.front().time >= kJournalAge) {
    textBytes_ -= records_.front().text.size();
    records_.pop_front();
    ++dropped;
  }
  return dropped;
}

void MessageQueue::DropOverCap() {
  bool dropped = false;
  while (textBytes_ > maxTextBytes_ && records_.size() > 1) {
    textBytes_ -= records_.front().text.size();
    records_.pop_front();
    dropped = true;
  }
  if (dropped && !droppingOverCap_) {
    Log("VIDRA - mesQ holds more than %zu bytes of text, the oldest entries are dropped",
        maxTextBytes_);
  }
  droppingOverCap_ = dropped;
}

}  // namespace vidra

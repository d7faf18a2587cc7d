// The real clock reads the system; the manual clock is the test double behind the same
// interface.
#include "common/Clock.h"

#include <algorithm>
#include <thread>

namespace vidra {

FileTime SystemClock::UtcNow() const {
  return FileTimeFromSystem(std::chrono::system_clock::now());
}

FileTime SystemClock::LocalNow() const {
  return UtcToLocal(UtcNow());
}

std::chrono::nanoseconds SystemClock::Monotonic() const {
  return std::chrono::steady_clock::now().time_since_epoch();
}

void SystemClock::SleepFor(std::chrono::nanoseconds duration) {
  std::this_thread::sleep_for(duration);
}

void SystemClock::SleepWhile(std::chrono::nanoseconds duration, const KeepRunning& keepRunning) {
  constexpr std::chrono::nanoseconds kSlice = std::chrono::milliseconds(20);
  const auto end = std::chrono::steady_clock::now() + duration;
  while (keepRunning()) {
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds(0)) {
      return;
    }
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(left, kSlice));
  }
}

ManualClock::ManualClock(FileTime utc, Mode mode, std::chrono::seconds localOffset)
    : utc_(utc), localOffset_(localOffset), mode_(mode) {}

FileTime ManualClock::UtcNow() const {
  std::lock_guard lock(mutex_);
  return utc_;
}

FileTime ManualClock::LocalNow() const {
  std::lock_guard lock(mutex_);
  return utc_ + static_cast<FileTime>(localOffset_.count()) * kTicksPerSecond;
}

std::chrono::nanoseconds ManualClock::Monotonic() const {
  std::lock_guard lock(mutex_);
  return monotonic_;
}

void ManualClock::SleepFor(std::chrono::nanoseconds duration) {
  std::unique_lock lock(mutex_);
  if (mode_ == Mode::AutoAdvance) {
    monotonic_ += duration;
    utc_ += static_cast<FileTime>(duration.count() / 100);
    advanced_.notify_all();
    return;
  }
  const auto deadline = monotonic_ + duration;
  ++sleepers_;
  advanced_.notify_all();
  advanced_.wait(lock, [&] { return woken_ || monotonic_ >= deadline; });
  --sleepers_;
}

void ManualClock::SleepWhile(std::chrono::nanoseconds duration, const KeepRunning& keepRunning) {
  std::unique_lock lock(mutex_);
  if (mode_ == Mode::AutoAdvance) {
    lock.unlock();
    SleepFor(duration);
    return;
  }
  const auto deadline = monotonic_ + duration;
  ++sleepers_;
  advanced_.notify_all();
  // The flag or token has no one to notify this clock, so it is looked at every few milliseconds.
  while (!woken_ && monotonic_ < deadline && keepRunning()) {
    advanced_.wait_for(lock, std::chrono::milliseconds(2));
  }
  --sleepers_;
}

void ManualClock::Advance(std::chrono::nanoseconds duration) {
  std::lock_guard lock(mutex_);
  monotonic_ += duration;
  utc_ += static_cast<FileTime>(duration.count() / 100);
  advanced_.notify_all();
}

void ManualClock::SetUtc(FileTime utc) {
  std::lock_guard lock(mutex_);
  utc_ = utc;
}

void ManualClock::WakeAll() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  advanced_.notify_all();
}

int ManualClock::Sleepers() const {
  std::lock_guard lock(mutex_);
  return sleepers_;
}

}  // namespace vidra

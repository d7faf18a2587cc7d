// The one source of time for the server: wall time as FileTime (UTC and local), a
// monotonic time, and sleeping. Production uses SystemClock; tests use ManualClock and
// advance it, so waits of minutes run in milliseconds. Safe to use from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

#include "common/FileTime.h"

namespace vidra {

// What a sleep watches to end early: a running flag (the playout's), or a stop token (the
// server's threads).
class KeepRunning {
 public:
  // Implicit, so a flag or a token can be given where a sleep or a wait asks for this.
  KeepRunning(const std::atomic<bool>& flag) : flag_(&flag) {}
  KeepRunning(std::stop_token stop) : stop_(std::move(stop)) {}
  // While flag holds and wake does not: a sleeper that others can wake early.
  KeepRunning(const std::atomic<bool>& flag, const std::atomic<bool>& wake)
      : flag_(&flag), wake_(&wake) {}
  bool operator()() const {
    if (wake_ != nullptr && wake_->load()) {
      return false;
    }
    return flag_ != nullptr ? flag_->load() : !stop_.stop_requested();
  }

 private:
  const std::atomic<bool>* flag_ = nullptr;
  const std::atomic<bool>* wake_ = nullptr;
  std::stop_token stop_;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual FileTime UtcNow() const = 0;
  virtual FileTime LocalNow() const = 0;
  virtual std::chrono::nanoseconds Monotonic() const = 0;
  virtual void SleepFor(std::chrono::nanoseconds duration) = 0;
  // Like SleepFor, but returns early (within a few milliseconds of real time) once
  // keepRunning is false, so that a stopping owner never waits for a worker's sleep.
  virtual void SleepWhile(std::chrono::nanoseconds duration, const KeepRunning& keepRunning) = 0;
};

class SystemClock final : public Clock {
 public:
  FileTime UtcNow() const override;
  FileTime LocalNow() const override;
  std::chrono::nanoseconds Monotonic() const override;
  void SleepFor(std::chrono::nanoseconds duration) override;
  void SleepWhile(std::chrono::nanoseconds duration, const KeepRunning& keepRunning) override;
};

// A clock that moves only when told. In Blocking mode SleepFor waits until another thread
// has advanced the clock past the sleeper's deadline (or WakeAll was called); in
// AutoAdvance mode SleepFor moves the clock forward itself and returns at once.
class ManualClock final : public Clock {
 public:
  enum class Mode { Blocking, AutoAdvance };

  explicit ManualClock(FileTime utc, Mode mode = Mode::Blocking,
                       std::chrono::seconds localOffset = std::chrono::seconds(0));

  FileTime UtcNow() const override;
  FileTime LocalNow() const override;
  std::chrono::nanoseconds Monotonic() const override;
  void SleepFor(std::chrono::nanoseconds duration) override;
  void SleepWhile(std::chrono::nanoseconds duration, const KeepRunning& keepRunning) override;

  // Moves wall and monotonic time forward together and wakes sleepers that are due.
  void Advance(std::chrono::nanoseconds duration);
  // Sets the wall time alone (a clock set forward or back); monotonic time is unchanged.
  void SetUtc(FileTime utc);
  // Ends every current and future sleep at once, so owners can join their threads.
  void WakeAll();
  // Number of threads inside SleepFor now; tests wait for a worker to reach its sleep.
  int Sleepers() const;

 private:
  mutable std::mutex mutex_;  // guards every field below
  std::condition_variable advanced_;
  FileTime utc_;
  std::chrono::nanoseconds monotonic_{0};
  std::chrono::seconds localOffset_;
  Mode mode_;
  bool woken_ = false;
  int sleepers_ = 0;
};

}  // namespace vidra

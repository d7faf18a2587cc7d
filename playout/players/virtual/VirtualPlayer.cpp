// Player time is the injected clock's monotonic time in seconds, so tests that advance a
// manual clock drive the clips exactly.
#include "playout/players/virtual/VirtualPlayer.h"

#include <algorithm>

namespace vidra {

VirtualPlayer::VirtualPlayer(std::shared_ptr<Clock> clock, double frameRate)
    : clock_(std::move(clock)), frameRate_(frameRate) {}

double VirtualPlayer::Now() const {
  return std::chrono::duration<double>(clock_->Monotonic()).count();
}

void VirtualPlayer::Advance(double now) {
  if (prepared_ && prepared_->startAt && now >= *prepared_->startAt) {
    startedAt_ = *prepared_->startAt;
    endAt_ = startedAt_ + prepared_->length;
    current_ = std::move(prepared_);
    prepared_.reset();
    pausedLeft_.reset();
  }
  if (emptyAt_ && now >= *emptyAt_) {
    endAt_ = std::min(endAt_, *emptyAt_);
    pausedLeft_.reset();
    emptyAt_.reset();
  }
}

HResult VirtualPlayer::GetFormat(std::int32_t& width, std::int32_t& height, double& frameRate) {
  width = 1920;
  height = 1080;
  frameRate = frameRate_;
  return HResult::S_OK;
}

HResult VirtualPlayer::PlayEmpty(double time, double /*second*/) {
  std::lock_guard lock(mutex_);
  const double now = Now();
  emptyAt_ = std::max(time, now);
  Advance(now);
  return HResult::S_OK;
}

HResult VirtualPlayer::Prepare(const std::string& file, double in, double out,
                               std::int32_t /*preload*/, double& duration) {
  std::lock_guard lock(mutex_);
  if (file.empty()) {
    lastError_ = "no media file given";
    return HResult::E_INVALIDARG;
  }
  const double now = Now();
  Advance(now);
  Clip clip;
  clip.file = file;
  clip.length = std::max(0.0, out - in);
  clip.loadedAt = now + kLoadSeconds;
  duration = clip.length;
  prepared_ = clip;
  lastError_.clear();
  return HResult::S_OK;
}

HResult VirtualPlayer::Unprepare() {
  std::lock_guard lock(mutex_);
  prepared_.reset();
  return HResult::S_OK;
}

HResult VirtualPlayer::Cue() {
  std::lock_guard lock(mutex_);
  if (!prepared_ || Now() < prepared_->loadedAt) {
    lastError_ = "no clip is prepared";
    return HResult::E_UNEXPECTED;
  }
  return HResult::S_OK;
}

HResult VirtualPlayer::Play(double time, double /*second*/) {
  return Start(time, false);
}

HResult VirtualPlayer::Join(double time) {
  return Start(time, true);
}

HResult VirtualPlayer::Start(double time, bool join) {
  std::lock_guard lock(mutex_);
  const double now = Now();
  Advance(now);
  if (!prepared_ || now < prepared_->loadedAt || prepared_->startAt) {
    lastError_ = "no clip is prepared";
    return HResult::E_UNEXPECTED;
  }
  // A time already past starts at once, or, joined, is on air as far in as it would be by now.
  prepared_->startAt = join ? time : std::max(time, now);
  Advance(now);
  return HResult::S_OK;
}

HResult VirtualPlayer::Pause() {
  std::lock_guard lock(mutex_);
  const double now = Now();
  Advance(now);
  if (current_ && !pausedLeft_ && now < endAt_) {
    pausedLeft_ = endAt_ - now;
  }
  return HResult::S_OK;
}

HResult VirtualPlayer::Resume() {
  std::lock_guard lock(mutex_);
  const double now = Now();
  Advance(now);
  if (pausedLeft_) {
    endAt_ = now + *pausedLeft_;
    pausedLeft_.reset();
  }
  return HResult::S_OK;
}

HResult VirtualPlayer::GetTimes(double& startedAt, double& remaining) {
  std::lock_guard lock(mutex_);
  const double now = Now();
  Advance(now);
  if (!current_) {
    startedAt = 0.0;
    remaining = 0.0;
    return HResult::S_OK;
  }
  startedAt = startedAt_;
  remaining = pausedLeft_ ? *pausedLeft_ : endAt_ - now;
  return HResult::S_OK;
}

HResult VirtualPlayer::GetState(std::int32_t& state) {
  std::lock_guard lock(mutex_);
  const double now = Now();
  Advance(now);
  if (!prepared_) {
    state = kPlayerStarted;
  } else if (prepared_->startAt) {
    state = kPlayerStarting;
  } else {
    state = now < prepared_->loadedAt ? kPlayerLoading : kPlayerPrepared;
  }
  return HResult::S_OK;
}

HResult VirtualPlayer::GetLastError(std::string& text) {
  std::lock_guard lock(mutex_);
  text = lastError_;
  return HResult::S_OK;
}

HResult VirtualPlayer::GetMode(std::int32_t& mode) {
  mode = 0;
  return HResult::S_OK;
}

HResult VirtualPlayer::GetClock(double& clock) {
  clock = Now();
  return HResult::S_OK;
}

std::string VirtualPlayer::OnAir() {
  std::lock_guard lock(mutex_);
  const double now = Now();
  Advance(now);
  return current_ && !pausedLeft_ && now < endAt_ ? current_->file : std::string();
}

}  // namespace vidra

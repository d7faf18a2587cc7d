// Player time and local time meet at the anchor. Waits poll every 100 ms (a join's load every
// 5 ms) and, unlike a wait without end, give up after 10 s so that a stuck player cannot block
// its channel for ever.
#include "playout/ChannelActions.h"

#include <cstdlib>

#include "common/Log.h"

namespace vidra {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(100);
constexpr auto kJoinPoll = std::chrono::milliseconds(5);
constexpr std::int64_t kDriftLimit = 2'000'000;  // 0.2 s in 100-ns units

double Single(double value) {
  return static_cast<double>(static_cast<float>(value));
}

}  // namespace

HResult ChannelActions::TimeSync() {
  double playerClock = 0;
  const HResult read = player_.GetClock(playerClock);
  const FileTime now = clock_.LocalNow();
  if (read != HResult::S_OK) {
    return read;
  }
  if (anchorTime == 0) {
    anchorTime = now;
    anchorClock = playerClock;
    return HResult::S_OK;
  }
  if (playerClock > anchorClock + 100.0) {
    const auto elapsed = static_cast<std::int64_t>(now - anchorTime);
    const auto expected = static_cast<std::int64_t>((playerClock - anchorClock) * 10'000'000 + 0.1);
    if (std::llabs(expected - elapsed) > kDriftLimit) {
      anchorTime = now;
      anchorClock = playerClock;
    }
  }
  return HResult::S_OK;
}

double ChannelActions::PlayerTimeOf(FileTime local) const {
  return static_cast<double>(static_cast<std::int64_t>(local - anchorTime)) / 10'000'000.0 +
         anchorClock;
}

FileTime ChannelActions::LocalTimeOf(double playerTime) const {
  return anchorTime + static_cast<FileTime>(
                          static_cast<std::int64_t>((playerTime - anchorClock) * 10'000'000 + 0.1));
}

HResult ChannelActions::PrepareVideo(const PrepareRequest& request) {
  std::int32_t mode = 5;
  if (const HResult hr = player_.GetMode(mode); hr != HResult::S_OK) {
    return hr;
  }
  double duration = 0.0;
  const double out = request.markIn + request.playDuration;
  const HResult result =
      player_.Prepare(std::string(request.objPath.Str()), request.markIn, out, 10, duration);
  std::string error;
  static_cast<void>(player_.GetLastError(error));
  Log("\nVIDRA[%d] - PrepareVideo(%s): <%.3f/%.3f> [%s/%s] duration=%.3f, hres=0x%X, err=%s\n",
      channel_, request.objPath.CStr(), Single(request.markIn), Single(out),
      request.itemEdStart.CStr(), request.itemUserTimingDur.CStr(), Single(duration), Code(result),
      error.c_str());
  return result;
}

HResult ChannelActions::PlayVideo(FileTime& start, bool join) {
  std::int32_t mode = 5;
  static_cast<void>(player_.GetMode(mode));
  static_cast<void>(TimeSync());
  const double t = PlayerTimeOf(start);
  double startedAt = 0.0;
  if (mode == 0 || mode == 3 || mode == 4) {
    // A join waits for the load in short steps: every moment waited is a frame of the clip
    // skipped, with the output still on what it showed before.
    static_cast<void>(WaitFor(kPlayerPrepared, kPlayerLoading, join ? kJoinPoll : kPoll));
    const HResult played = join ? player_.Join(t) : player_.Play(t, 0.0);
    Log("\nVIDRA - PlayVideo at %.3f/%.3f, hres=0x%X\n", Single(t), 0.0, Code(played));
    static_cast<void>(WaitPlaying());
    double remaining = 0.0;
    if (const HResult times = player_.GetTimes(startedAt, remaining); times != HResult::S_OK) {
      return times;
    }
  } else if (mode == 5) {
    static_cast<void>(player_.PlayEmpty(0.0, 0.1));
    static_cast<void>(WaitPlaying());
    if (player_.GetClock(startedAt) != HResult::S_OK) {
      startedAt = 0.0;
    }
  } else {
    return HResult::E_UNEXPECTED;
  }
  start = LocalTimeOf(startedAt);
  return HResult::S_OK;
}

bool ChannelActions::IsPrepared() {
  std::int32_t state = kPlayerStarted;
  return player_.GetState(state) == HResult::S_OK && state == kPlayerPrepared;
}

HResult ChannelActions::WaitPrepared() {
  return WaitFor(kPlayerPrepared, kPlayerLoading, kPoll);
}

HResult ChannelActions::WaitPlaying() {
  return WaitFor(kPlayerStarted, kPlayerStarting, kPoll);
}

HResult ChannelActions::WaitFor(std::int32_t awaited, std::int32_t passing,
                                std::chrono::milliseconds poll) {
  const auto deadline = clock_.Monotonic() + kWaitLimit;
  for (;;) {
    std::int32_t state = 0;
    if (const HResult hr = player_.GetState(state); Failed(hr)) {
      return hr;
    }
    if (state == awaited) {
      return HResult::S_OK;
    }
    if (state == kPlayerFailed) {
      return HResult::E_INVALIDARG;
    }
    if (state != passing) {
      return HResult::E_UNEXPECTED;
    }
    if (clock_.Monotonic() >= deadline) {
      Log("VIDRA[%d] - the player stayed in state %d for 10 s; the wait for state %d is given up",
          channel_, passing, awaited);
      return HResult::E_UNEXPECTED;
    }
    if (keepRunning_ != nullptr) {
      if (!*keepRunning_) {
        return HResult::E_UNEXPECTED;  // the channel is stopping
      }
      clock_.SleepWhile(poll, *keepRunning_);
    } else {
      clock_.SleepFor(poll);
    }
  }
}

}  // namespace vidra

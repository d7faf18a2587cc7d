// One channel's player clock anchor and the player operations that take more than one
// call: prepare an item's clip, start it at a local time, wait for a player state. Used
// only by the channel's playback thread (and by InitPlayout for the first anchor).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/Clock.h"
#include "common/FileTime.h"
#include "common/HResult.h"
#include "common/MosText.h"
#include "playout/ChannelPlayer.h"

namespace vidra {

// What preparing an item needs, copied from the item under its running order's lock.
struct PrepareRequest {
  MosText objPath;
  double markIn = 0;
  double playDuration = 0;
  MosText itemEdStart;
  MosText itemUserTimingDur;
};

class ChannelActions {
 public:
  // A wait for a player state gives up after this long on the injected clock.
  static constexpr std::chrono::seconds kWaitLimit{10};

  // A wait also ends once keepRunning (the playout's running flag) is cleared.
  ChannelActions(std::int32_t channel, ChannelPlayer& player, Clock& clock,
                 const std::atomic<bool>* keepRunning = nullptr)
      : channel_(channel), player_(player), clock_(clock), keepRunning_(keepRunning) {}

  // Sets the anchor the first time; later moves it only once the player clock has run more
  // than 100 s past it and the two clocks differ by more than 0.2 s.
  HResult TimeSync();
  double PlayerTimeOf(FileTime local) const;
  FileTime LocalTimeOf(double playerTime) const;

  HResult PrepareVideo(const PrepareRequest& request);
  // Starts the prepared clip at local time start; start comes back as the actual start.
  // join: a start already past is joined where it is by now (ChannelPlayer::Join) instead
  // of being started late.
  HResult PlayVideo(FileTime& start, bool join = false);
  bool IsPrepared();
  HResult WaitPrepared();
  HResult WaitPlaying();

  FileTime anchorTime = 0;  // local time of the last synchronisation; 0: none yet
  double anchorClock = 0;   // the player clock at anchorTime, in seconds

 private:
  HResult WaitFor(std::int32_t awaited, std::int32_t passing, std::chrono::milliseconds poll);

  std::int32_t channel_;
  ChannelPlayer& player_;
  Clock& clock_;
  const std::atomic<bool>* keepRunning_;
};

}  // namespace vidra

// The player of one channel: prepares a clip, starts it at a time of the player's own clock,
// and reports its state and times. Each backend (players/<name>/) implements it; the
// channel's playback thread is its only user, apart from an immediate stop from roCtrl.
// Times are player-clock seconds; results are HResult codes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/HResult.h"
#include "media/MediaProbe.h"
#include "media/ProbeCache.h"

namespace vidra {

// GetState codes.
enum PlayerState : std::int32_t {
  kPlayerStarted = 1,   // a clip was started (or nothing is loaded)
  kPlayerLoading = 2,   // on the way to kPlayerPrepared
  kPlayerPrepared = 3,  // ready for Cue or Play
  kPlayerFailed = 4,
  kPlayerStarting = 5,  // a start is under way
};

class ChannelPlayer {
 public:
  virtual ~ChannelPlayer() = default;
  virtual HResult GetFormat(std::int32_t& width, std::int32_t& height, double& frameRate) = 0;
  virtual HResult SetFlagA(std::int32_t value) = 0;
  virtual HResult SetFlagB(std::int32_t value) = 0;
  // Ends the playing clip at player time `time`; (0.0, 0.1) ends it at once.
  virtual HResult PlayEmpty(double time, double second) = 0;
  // Loads file from `in` to `out` seconds; duration gets the length that will play.
  virtual HResult Prepare(const std::string& file, double in, double out, std::int32_t preload,
                          double& duration) = 0;
  virtual HResult Unprepare() = 0;
  virtual HResult Cue() = 0;
  // Starts the prepared clip at player time `time`.
  virtual HResult Play(double time, double second) = 0;
  // Starts the prepared clip as a player that started it at `time` shows it, even when that
  // has passed: the frames before now are skipped, so that a backup that learns of a start a
  // few milliseconds late shows the same frame as its main from the next frame on. A player
  // that cannot skip starts the clip from its first frame at once.
  virtual HResult Join(double time) { return Play(time, 0.0); }
  virtual HResult Pause() = 0;
  virtual HResult Resume() = 0;
  // When the current clip started and how many seconds of it are left (≤ 0: it has ended).
  virtual HResult GetTimes(double& startedAt, double& remaining) = 0;
  virtual HResult GetState(std::int32_t& state) = 0;
  virtual HResult GetLastError(std::string& text) = 0;
  virtual HResult GetMode(std::int32_t& mode) = 0;
  virtual HResult GetClock(double& clock) = 0;
};

// The backends a [Devices] entry can name in this build.
const std::vector<std::string>& PlayerBackends();

// Opens the player of a channel for a [Devices] backend and its parameter. E_INVALIDARG, with
// error naming the problem, for an unknown backend or a parameter it cannot take.
HResult CreateChannelPlayer(const std::string& backend, const std::string& parameter,
                            std::shared_ptr<Clock> clock, std::unique_ptr<ChannelPlayer>& player,
                            std::string& error);

// What says whether a channel of a backend can play a file, taking the container probe's
// answer first: GStreamer's own look at the file for a gstreamer channel; null for a backend
// that plays whatever the container probe passes (virtual).
std::unique_ptr<MediaProbe> CreateDecodeCheck(const std::string& backend, ProbeCache& container);

}  // namespace vidra

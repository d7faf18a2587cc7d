// The virtual player: an exact timing model of a channel's output with no picture and no
// sound, on the injected clock. It is the player of dry runs and of the tests: clips are
// prepared, started at their player time, paused, resumed and ended as a real output would.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "playout/ChannelPlayer.h"

namespace vidra {

class VirtualPlayer final : public ChannelPlayer {
 public:
  // Loading a clip takes this long on the player's clock.
  static constexpr double kLoadSeconds = 0.04;

  VirtualPlayer(std::shared_ptr<Clock> clock, double frameRate);

  HResult GetFormat(std::int32_t& width, std::int32_t& height, double& frameRate) override;
  HResult SetFlagA(std::int32_t /*value*/) override { return HResult::S_OK; }
  HResult SetFlagB(std::int32_t /*value*/) override { return HResult::S_OK; }
  HResult PlayEmpty(double time, double second) override;
  HResult Prepare(const std::string& file, double in, double out, std::int32_t preload,
                  double& duration) override;
  HResult Unprepare() override;
  HResult Cue() override;
  HResult Play(double time, double second) override;
  HResult Join(double time) override;
  HResult Pause() override;
  HResult Resume() override;
  HResult GetTimes(double& startedAt, double& remaining) override;
  HResult GetState(std::int32_t& state) override;
  HResult GetLastError(std::string& text) override;
  HResult GetMode(std::int32_t& mode) override;
  HResult GetClock(double& clock) override;

  // The file of the clip on air, for tests; empty when nothing plays.
  std::string OnAir();

 private:
  struct Clip {
    std::string file;
    double length = 0;    // seconds that play
    double loadedAt = 0;  // player time the load completes
    // Player time of the start, once Play was called; a join's may be before the clock's 0.
    std::optional<double> startAt;
  };

  double Now() const;
  HResult Start(double time, bool join);
  // Moves a clip whose start time has come to the air; call with mutex_ held.
  void Advance(double now);

  std::shared_ptr<Clock> clock_;
  double frameRate_;
  std::mutex mutex_;  // guards every field below: roCtrl's stop comes from another thread
  std::optional<Clip> prepared_;
  std::optional<Clip> current_;
  double startedAt_ = 0;
  double endAt_ = 0;                  // player time the clip on air ends
  std::optional<double> pausedLeft_;  // seconds left while paused
  std::optional<double> emptyAt_;     // a pending end of the clip on air
  std::string lastError_;
};

}  // namespace vidra

// The media check: one thread for all channels visits every running order, examines the
// media file of one unchecked item per visit, and marks the item READY (with its timing) or
// NOT READY; a running order with no unchecked item left is marked checked and scheduled.
// Started by StartPlayout; it ends when the manager's running flag is cleared.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/Clock.h"
#include "playout/MediaProbe.h"
#include "rundown/RoStore.h"

namespace vidra {

class MediaCheck {
 public:
  MediaCheck(RoStore* stores, std::size_t channels, MediaProbe& probe, Clock& clock,
             const double& frameRate, const std::atomic<bool>& running)
      : stores_(stores),
        channels_(channels),
        probe_(probe),
        clock_(clock),
        frameRate_(frameRate),
        running_(running) {}

  // The thread's loop, with its start and end lines.
  void Run();
  // One turn of the loop (a visit, or the sleep between channels and passes).
  void Turn();

 private:
  RoStore* stores_;
  std::size_t channels_;
  MediaProbe& probe_;
  Clock& clock_;
  const double& frameRate_;
  const std::atomic<bool>& running_;
  std::size_t channel_ = 0;
  std::int32_t position_ = 0;
};

}  // namespace vidra

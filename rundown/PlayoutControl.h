// What roCtrl needs of the playout side, which the playout manager provides: stopping a
// channel at once, queueing a status notice, numbering accepted commands, and the time.
// Declared here so that running orders never include the playout library.
#pragma once

#include <cstdint>

#include "common/FileTime.h"
#include "rundown/StatusNotice.h"

namespace vidra {

class PlayoutControl {
 public:
  virtual ~PlayoutControl() = default;
  virtual void StopNow(std::int32_t channel) = 0;
  // False when the queue is full and the notice was dropped.
  virtual bool PushNotice(StatusNotice notice) = 0;
  // Adds one to the count of accepted roCtrl commands and returns the new value, in one step.
  virtual std::int32_t NextCtrlActionId() = 0;
  // A command for the channel was just accepted: its playback acts on it now rather than at
  // its next turn.
  virtual void CommandPosted(std::int32_t channel) = 0;
  virtual FileTime UtcNow() const = 0;
};

}  // namespace vidra

// The playback of one channel: every 100 ms it looks at the channel's running orders, picks
// what to prepare, cue or start next (the newest roCtrl, a TIMED start that is due, or the
// next item of the chain) and drives the channel's player, reporting READY, CUE, PLAY and
// STOP as status notices. One thread per channel runs it; it alone uses the channel's player.
#pragma once

#include <cstdint>

#include "playout/PlayContext.h"

namespace vidra {

class PlayoutManager;

enum class PlaybackState { IDLE = 0, CUED = 1, PLAYING = 2, PAUSED = 3, STOPPED = 4 };

class ChannelPlayback {
 public:
  ChannelPlayback(PlayoutManager& manager, std::int32_t channel);

  // The thread's loop, with its start and end lines; ends when the manager stops.
  void Run();
  // One turn: the 100 ms sleep, then Step.
  void Turn();
  // One turn's work without the sleep.
  void Step();

  PlaybackState State() const { return state_; }

 private:
  void Dispatch(PlayContext& candidate, FileTime now, FileTime target);
  void PlayPath(PlayContext& candidate, FileTime now, FileTime target, bool fromPrepare);
  // Prepares the item in the player; false if the player refused it.
  bool Prepare(const PlayContext& candidate, const ItemPlace& place);
  // Prepares the first item of a TIMED running order that starts within a few seconds; true
  // when it is (or already was) prepared and nothing else should be this turn.
  bool PrepareAhead(FileTime now, FileTime expectedEnd);
  void ExecuteStep(const PlayContext& candidate, const ItemPlace& place, FileTime now,
                   FileTime target);
  void CueStep(const PlayContext& candidate, const ItemPlace& place, FileTime target);
  void EmptyStep(const PlayContext& candidate, FileTime now, FileTime target);
  void EndOfClip(const PlayContext& candidate);
  void Advance(const PlayContext& candidate, FileTime target);
  void FinishPrevious(FileTime time);
  void FinishItem(const PlayContext& context, FileTime time);
  void ReportState(const PlayContext& context, const char* word);
  // Sets the state (and, when given, the stateTime) of the item that place and context name.
  void SetItemState(const PlayContext& context, const ItemPlace* place, std::int32_t state,
                    const FileTime* stateTime);
  void Consume(std::int32_t actionId);

  PlayoutManager& manager_;
  std::int32_t channel_;
  PlaybackState state_ = PlaybackState::IDLE;
  std::int32_t lastActionId_ = 0;
  FileTime cursorTime_ = 0;
  PlayContext prepared_ = ResetContext();
  PlayContext current_ = ResetContext();
  PlayContext cued_ = ResetContext();
  PlayContext aheadTried_ = ClearContext();  // the last timed start prepared ahead
  Snapshot snapshot_;
};

}  // namespace vidra

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
  // A backup's turn: what the main's item states say it has on air is joined where it is
  // now, and what the main ended is ended; true when that was this turn's work. The rest of
  // the turn (a TIMED start, the next item of a chain) is decided as on the main, from the
  // same running orders and clock, so it falls on the same frame without waiting for word.
  bool FollowMain(FileTime now);
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
  // "VIDRA::Player[0] - S1/I1 on air from 2026-12-10T19:00:03.120": the start its output
  // made, to compare a pair's outputs by.
  void LogStart(const PlayContext& context, FileTime start);
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
  FileTime currentStart_ = 0;  // when current_ went to air here
  PlayContext cued_ = ResetContext();
  PlayContext aheadTried_ = ClearContext();   // the last timed start prepared ahead
  PlayContext followTried_ = ClearContext();  // the last of the main's items prepared to join
  Snapshot snapshot_;
};

}  // namespace vidra

// A command is consumed only when an action was tried (Advance) or by STOP, PAUSE, UNPAUSE
// and the end of a clip; one that waits for its time, for the player, or that names the item
// already playing stays pending and is found again next turn. Item records are changed only
// under their running order's lock, found again by place and IDs; no lock is held across a
// player call.
#include "playout/ChannelPlayback.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/Log.h"
#include "playout/PlayoutManager.h"

namespace vidra {

namespace {

std::int64_t Milliseconds(FileTime a, FileTime b) {
  return static_cast<std::int64_t>(a - b) / static_cast<std::int64_t>(kTicksPerMillisecond);
}

}  // namespace

ChannelPlayback::ChannelPlayback(PlayoutManager& manager, std::int32_t channel)
    : manager_(manager), channel_(channel) {}

void ChannelPlayback::Run() {
  Log("VIDRA::Player[%d] - Start playing thread\n", channel_);
  while (manager_.running) {
    Turn();
  }
  Log("\nVIDRA::Player[%d] - Finish playing thread\n", channel_);
}

void ChannelPlayback::Turn() {
  // A roCtrl wakes the turn early, so that an EXECUTE does not wait up to 100 ms for it.
  std::atomic<bool>& command = manager_.CommandWaiting(static_cast<std::size_t>(channel_));
  manager_.GetClock().SleepWhile(std::chrono::milliseconds(100),
                                 KeepRunning(manager_.running, command));
  command = false;
  Step();
}

void ChannelPlayback::Consume(std::int32_t actionId) {
  lastActionId_ = std::max(lastActionId_, actionId);
}

void ChannelPlayback::Step() {
  ChannelPlayer& player = manager_.Player(static_cast<std::size_t>(channel_));
  std::int32_t playerState = 0;
  if (player.GetState(playerState) != HResult::S_OK || playerState == kPlayerStarting) {
    return;
  }
  manager_.Store(channel_).CopyRoList(snapshot_);
  const FileTime now = manager_.GetClock().LocalNow();
  if (manager_.following && FollowMain(now)) {
    return;
  }
  FileTime expectedEnd = now;
  double startedAt = 0;
  double remaining = 0;
  if (player.GetTimes(startedAt, remaining) == HResult::S_OK && remaining > 0.001) {
    expectedEnd = now + static_cast<FileTime>(remaining * 10'000'000 + 0.1);
  }
  if (auto command = NewestCommand(snapshot_, lastActionId_)) {
    Dispatch(*command, now, now);
    return;
  }
  if (auto due = DueTimedRo(snapshot_, cursorTime_, now)) {
    PlayPath(due->context, now, due->startTime, false);
    if (!SameContext(current_, due->context) && SameContext(prepared_, due->context)) {
      // Still loading: a start first seen at or after its time would be behind the cursor
      // by the next turn and never due again. It is held, and taken late, until it is too
      // late to be found at all.
      cursorTime_ = std::min(cursorTime_, due->startTime);
    }
    return;
  }
  if (PrepareAhead(now, expectedEnd)) {
    return;  // a timed start comes first: its first frame must be ready on its frame
  }
  if (state_ == PlaybackState::PLAYING) {
    if (auto next = NextItem(snapshot_, current_)) {
      next->command = CtrlCommand::EXECUTE;
      PlayPath(*next, now, expectedEnd, true);
      return;
    }
    PlayContext none = ResetContext();
    EndOfClip(none);
    return;
  }
  if (state_ == PlaybackState::PAUSED) {
    return;
  }
  PlayContext candidate = state_ == PlaybackState::CUED ? cued_ : ResetContext();
  Dispatch(candidate, now, now);
}

bool ChannelPlayback::FollowMain(FileTime now) {
  ChannelPlayer& player = manager_.Player(static_cast<std::size_t>(channel_));
  // A pause and its end, a turn after the main's: what is left of the clip may differ by
  // that much until the main's next start.
  const bool holding = state_ == PlaybackState::PLAYING || state_ == PlaybackState::PAUSED;
  const ItemStateNow there = holding ? StateOfItem(snapshot_, current_) : ItemStateNow{};
  if ((state_ == PlaybackState::PLAYING && there.state == PAUSE) ||
      (state_ == PlaybackState::PAUSED && there.state == PLAY)) {
    const bool pause = there.state == PAUSE;
    const HResult done = pause ? player.Pause() : player.Resume();
    Log("\nVIDRA::Player[%d] - Following the main: %s/%s %s (hres=0x%X)\n", channel_,
        current_.storyID.CStr(), current_.itemID.CStr(), pause ? "paused" : "goes on", Code(done));
    state_ = pause ? PlaybackState::PAUSED : PlaybackState::PLAYING;
    return true;
  }
  const std::optional<MainOnAir> main = FindMainOnAir(snapshot_);
  if (!main) {
    // Nothing on air there: what plays here was ended on the main (a STOP). An item a roCtrl
    // ends for another is marked DONE before the other starts, with a stamp that is no
    // time; the main's output shows it until then, and so does this one.
    double startedAt = 0;
    double remaining = 0;
    if (!holding || there.state != DONE || there.stamp < currentStart_ ||
        player.GetTimes(startedAt, remaining) != HResult::S_OK ||
        remaining * 1000 <= 500.0 / manager_.frameRate) {
      return false;
    }
    Log("\nVIDRA::Player[%d] - Following the main: %s/%s was ended there\n", channel_,
        current_.storyID.CStr(), current_.itemID.CStr());
    manager_.StopNow(channel_);
    state_ = PlaybackState::STOPPED;
    current_ = ClearContext();
    return true;
  }
  if (SameContext(current_, main->context) ||
      (main->length > 0 && main->started + main->length <= now)) {
    return false;  // in step already, or a clip that has ended by now anyway
  }
  if (!SameContext(prepared_, main->context)) {
    if (SameContext(followTried_, main->context)) {
      return true;  // it did not prepare here: black until the main's next start
    }
    followTried_ = main->context;
    if (!Prepare(main->context, main->place)) {
      Log("\nVIDRA::Player[%d] - Following the main: %s/%s (%s) cannot be prepared here\n",
          channel_, main->context.storyID.CStr(), main->context.itemID.CStr(),
          main->context.objPath.CStr());
      // What played here is not what the main shows, nor is this server's own next item:
      // black, as the page warned ("backup would play black"), until the main's next start.
      if (holding) {
        manager_.StopNow(channel_);
        state_ = PlaybackState::STOPPED;
        current_ = ClearContext();
      }
      return true;
    }
  }
  // Joined in this turn, the load waited for: the clip is due already, and every moment
  // waited is a frame skipped, not a frame late.
  FileTime start = main->started;
  const HResult joined =
      manager_.Actions(static_cast<std::size_t>(channel_)).PlayVideo(start, true);
  Log("\nVIDRA::Player[%d] - Following the main: %s/%s joined %lld ms after its start "
      "(hres=0x%X)\n",
      channel_, main->context.storyID.CStr(), main->context.itemID.CStr(),
      static_cast<long long>(Milliseconds(manager_.GetClock().LocalNow(), main->started)),
      Code(joined));
  if (joined == HResult::S_OK) {
    LogStart(main->context, start);
    state_ = PlaybackState::PLAYING;
    current_ = main->context;
    currentStart_ = start;
    cued_ = ClearContext();
    prepared_ = ClearContext();
  }
  return true;
}

void ChannelPlayback::LogStart(const PlayContext& context, FileTime start) {
  Log("VIDRA::Player[%d] - %s/%s on air from %s", channel_, context.storyID.CStr(),
      context.itemID.CStr(), FormatFileTime(start, false).c_str());
}

void ChannelPlayback::Dispatch(PlayContext& candidate, FileTime now, FileTime target) {
  if (candidate.command == CtrlCommand::SIGNAL) {
    EndOfClip(candidate);
    return;
  }
  if (candidate.command == CtrlCommand::STOP) {
    Log("\nVIDRA::Player[%d] - Action = STOP\n", channel_);
    FinishPrevious(target);
    Consume(candidate.actionId);
    state_ = PlaybackState::STOPPED;
    current_ = ClearContext();
    cued_ = ClearContext();
    return;
  }
  if (candidate.command == CtrlCommand::PAUSE) {
    Log("\nVIDRA::Player[%d] - Action = PAUSE\n", channel_);
    if (state_ == PlaybackState::PLAYING) {
      static_cast<void>(manager_.Player(static_cast<std::size_t>(channel_)).Pause());
      state_ = PlaybackState::PAUSED;
      SetItemState(current_, nullptr, PAUSE, nullptr);
    }
    Consume(candidate.actionId);
    return;
  }
  PlayPath(candidate, now, target, false);
}

void ChannelPlayback::PlayPath(PlayContext& candidate, FileTime now, FileTime target,
                               bool fromPrepare) {
  if (!fromPrepare && state_ == PlaybackState::PAUSED) {
    Log("\nVIDRA::Player[%d] - Action = UNPAUSE\n", channel_);
    if (SameContext(current_, candidate)) {
      static_cast<void>(manager_.Player(static_cast<std::size_t>(channel_)).Resume());
      state_ = PlaybackState::PLAYING;
      SetItemState(current_, nullptr, PLAY, nullptr);
      Consume(candidate.actionId);
      return;
    }
  }
  const auto place =
      ItemAt(snapshot_, candidate.roIndex, candidate.storyIndex, candidate.itemIndex);
  if (SameContext(prepared_, candidate)) {
    prepared_ = candidate;
  } else if (place && !candidate.objPath.IsEmpty()) {
    static_cast<void>(Prepare(candidate, *place));
  } else if (!prepared_.objPath.IsEmpty()) {
    Log("\nVIDRA::Player[%d] - Reset old prepare context:\n\tfrom %s\n\tto %s\n", channel_,
        FormatContext(prepared_).c_str(), FormatContext(candidate).c_str());
    static_cast<void>(manager_.Player(static_cast<std::size_t>(channel_)).Unprepare());
    prepared_ = ClearContext();
  }
  if (!place) {
    EmptyStep(candidate, now, target);
  } else if (candidate.command == CtrlCommand::EXECUTE) {
    ExecuteStep(candidate, *place, now, target);
  } else {
    CueStep(candidate, *place, target);
  }
}

bool ChannelPlayback::Prepare(const PlayContext& candidate, const ItemPlace& place) {
  Log("\nVIDRA::Player[%d] - Change prepare context:\n\tfrom %s\n\tto %s\n", channel_,
      FormatContext(prepared_).c_str(), FormatContext(candidate).c_str());
  PrepareRequest request;
  {
    std::lock_guard guard(place.owner->lock);  // the ro lock, while the item is read
    if (const item* i = Resolve(place)) {
      request = PrepareRequest{i->PlayPath(), i->markIn.value_or(0.0),
                               i->playDuration.value_or(0.0), i->itemEdStart, i->itemUserTimingDur};
    }
  }
  if (manager_.Actions(static_cast<std::size_t>(channel_)).PrepareVideo(request) != HResult::S_OK) {
    return false;
  }
  prepared_ = candidate;
  ReportState(candidate, "READY");
  return true;
}

bool ChannelPlayback::PrepareAhead(FileTime now, FileTime expectedEnd) {
  std::optional<DueStart> upcoming = UpcomingTimedRo(snapshot_, cursorTime_, now);
  // Ahead only when the player has nothing else to start first: idle, cued, or playing an
  // item that the timed start will cut. A chain that ends before the start goes on.
  if (!upcoming || upcoming->context.objPath.IsEmpty() || state_ == PlaybackState::PAUSED ||
      (state_ == PlaybackState::PLAYING && expectedEnd <= upcoming->startTime)) {
    return false;
  }
  if (SameContext(prepared_, upcoming->context)) {
    return true;
  }
  if (SameContext(aheadTried_, upcoming->context)) {
    return false;  // its prepare failed once; the start itself tries again
  }
  aheadTried_ = upcoming->context;
  const auto place = ItemAt(snapshot_, upcoming->context.roIndex, upcoming->context.storyIndex,
                            upcoming->context.itemIndex);
  return place && Prepare(upcoming->context, *place);
}

void ChannelPlayback::ExecuteStep(const PlayContext& candidate, const ItemPlace& place,
                                  FileTime now, FileTime target) {
  const std::int64_t diff = Milliseconds(target, now);
  if (diff > 1100 || SameContext(current_, candidate)) {
    return;
  }
  Log("\nVIDRA::Player[%d] - Need start next playback: diff=%dms\n", channel_,
      static_cast<int>(diff));
  ChannelActions& actions = manager_.Actions(static_cast<std::size_t>(channel_));
  if (!actions.IsPrepared()) {
    return;
  }
  FileTime start = target;
  const HResult played = actions.PlayVideo(start);
  Log("\nVIDRA::Player[%d] - Action = PLAY (hres=0x%X)\n\tcurr = %s\n", channel_, Code(played),
      FormatContext(candidate).c_str());
  if (played == HResult::S_OK) {
    if (manager_.metrics != nullptr) {
      manager_.metrics->Observe("vidra_playout_start_error_ms",
                                static_cast<double>(std::llabs(Milliseconds(start, target))));
    }
    LogStart(candidate, start);
    currentStart_ = start;
    FinishPrevious(target);
    SetItemState(candidate, &place, PLAY, &start);
    ReportState(candidate, "PLAY");
    state_ = PlaybackState::PLAYING;
    current_ = candidate;
    cued_ = ClearContext();
    prepared_ = ClearContext();
  }
  Advance(candidate, target);
}

void ChannelPlayback::CueStep(const PlayContext& candidate, const ItemPlace& place,
                              FileTime target) {
  if (SameContext(cued_, candidate)) {
    return;
  }
  if (!manager_.Actions(static_cast<std::size_t>(channel_)).IsPrepared()) {
    return;
  }
  const HResult cued = manager_.Player(static_cast<std::size_t>(channel_)).Cue();
  Log("\nVIDRA::Player[%d] - Action = CUE (hres=0x%X)\n\tcurr = %s\n", channel_, Code(cued),
      FormatContext(candidate).c_str());
  if (cued == HResult::S_OK) {
    FinishPrevious(target);
    SetItemState(candidate, &place, CUE, nullptr);
    ReportState(candidate, "CUE");
    state_ = PlaybackState::CUED;
    cued_ = candidate;
    current_ = ClearContext();
  }
  Advance(candidate, target);
}

void ChannelPlayback::EmptyStep(const PlayContext& candidate, FileTime now, FileTime target) {
  if (state_ != PlaybackState::PLAYING || Milliseconds(target, now) > 1100 ||
      SameContext(current_, candidate)) {
    return;
  }
  ChannelActions& actions = manager_.Actions(static_cast<std::size_t>(channel_));
  static_cast<void>(actions.TimeSync());
  const HResult emptied = manager_.Player(static_cast<std::size_t>(channel_))
                              .PlayEmpty(actions.PlayerTimeOf(target), 0.0);
  Log("\nVIDRA::Player[%d] - Action = PLAY EMPTY task (hres=0x%X)\n\tcurr = %s\n", channel_,
      Code(emptied), FormatContext(candidate).c_str());
  if (emptied == HResult::S_OK) {
    FinishItem(current_, target);
    state_ = PlaybackState::STOPPED;
    current_ = candidate;
    cued_ = ClearContext();
  }
  Advance(candidate, target);
}

void ChannelPlayback::EndOfClip(const PlayContext& candidate) {
  Consume(candidate.actionId);
  if (state_ != PlaybackState::PLAYING) {
    return;
  }
  double startedAt = 0;
  double remaining = 10.0;
  if (manager_.Player(static_cast<std::size_t>(channel_)).GetTimes(startedAt, remaining) ==
          HResult::S_OK &&
      remaining <= 0) {
    Log("\nVIDRA::Player[%d] - Last movie was stopped now\n", channel_);
    // The last item of a chain ends DONE like every other, not PLAY until a restart, at
    // the instant its clip ended.
    const auto late = static_cast<FileTime>(std::llround(-remaining * 10'000'000));
    FinishItem(current_, manager_.GetClock().LocalNow() - late);
    state_ = PlaybackState::STOPPED;
    current_ = ClearContext();
    cued_ = ClearContext();
  }
}

void ChannelPlayback::Advance(const PlayContext& candidate, FileTime target) {
  // A timed start taken a turn late has its cursor past its own start already: the start
  // played is used up all the same.
  for (const auto& consumed :
       ConsumeTimedStarts(snapshot_, std::min(cursorTime_, target), target)) {
    std::lock_guard guard(consumed->lock);  // the ro lock, while its trigger is read
    manager_.Store(channel_).PostControl(*consumed);
  }
  cursorTime_ = target;
  Consume(candidate.actionId);
}

void ChannelPlayback::FinishPrevious(FileTime time) {
  if (state_ == PlaybackState::PLAYING || state_ == PlaybackState::PAUSED) {
    FinishItem(current_, time);
  } else if (state_ == PlaybackState::CUED) {
    FinishItem(cued_, time);
  }
}

void ChannelPlayback::FinishItem(const PlayContext& context, FileTime time) {
  if (context.objPath.IsEmpty()) {
    return;
  }
  SetItemState(context, nullptr, DONE, &time);
  ReportState(context, "STOP");
}

void ChannelPlayback::SetItemState(const PlayContext& context, const ItemPlace* place,
                                   std::int32_t state, const FileTime* stateTime) {
  if (manager_.following) {
    return;  // a backup's item states are its main's, as they come over the link
  }
  std::optional<ItemPlace> found;
  if (place != nullptr) {
    found = *place;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (found) {
      std::lock_guard guard(found->owner->lock);  // the ro lock, for the item's state
      item* i = Resolve(*found);
      // Applied only if the place still holds the same item; else it is found by its IDs.
      if (i != nullptr && i->itemID == context.itemID) {
        i->SetState(state);
        if (stateTime != nullptr) {
          i->SetStateTime(*stateTime);
          if (state == PLAY) {
            i->MarkAired(*stateTime);
          } else if (state == DONE) {
            i->MarkEnded(*stateTime);
          }
        }
        manager_.Store(channel_).PostItemState(*found->owner, *i);
        return;
      }
    }
    found = FindItemByIds(snapshot_, context.roID, context.storyID, context.itemID);
  }
}

void ChannelPlayback::ReportState(const PlayContext& context, const char* word) {
  StatusNotice notice;
  notice.channel = channel_;
  notice.roID = context.roID;
  notice.storyID = context.storyID;
  notice.itemID = context.itemID;
  notice.objID = context.objID;
  notice.status = word;
  notice.time = NoticeTime(manager_.GetClock().UtcNow());
  notice.mosID = context.mosID;
  notice.ncsID = context.ncsID;
  notice.host = context.nrcsHost;
  static_cast<void>(manager_.PushNotice(std::move(notice)));
}

}  // namespace vidra

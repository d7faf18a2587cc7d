// The file is probed with no lock held; the result is written back only if the running order
// was not edited meanwhile (an edit makes its items NEW again and they are checked anew).
#include "playout/MediaCheck.h"

#include "common/Log.h"

namespace vidra {

void MediaCheck::Run() {
  LogText("CheckFile thread was started");
  while (running_) {
    Turn();
  }
  LogText("CheckFile thread was finished");
  LogText("CheckFile event was setted");
}

void MediaCheck::Turn() {
  if (channel_ >= channels_) {
    clock_.SleepWhile(std::chrono::milliseconds(100), running_);
    channel_ = 0;
    return;
  }
  RoStore& store = stores_[channel_];
  if (position_ >= store.GetRoCount()) {
    ++channel_;
    position_ = 0;
    clock_.SleepWhile(std::chrono::milliseconds(10), running_);
    return;
  }
  const std::int32_t visited = position_++;
  if (const auto found = store.FindNewItem(visited)) {
    std::int32_t frames = 0;
    const bool opened = probe_.FrameCount(found->snapshot.paths.objPath.Str(), frameRate_, frames);
    // An item whose running order was edited meanwhile is found NEW again on a later visit.
    if (!store.CompleteItemCheck(*found, opened ? READY : NOT_READY, opened ? frames : 0,
                                 frameRate_)) {
      Log("VIDRA - the media check of %s is dropped: its running order changed meanwhile",
          found->snapshot.paths.objPath.Str().c_str());
    }
  } else if (const auto r = store.GetRoAt(visited)) {
    std::lock_guard guard(r->lock);  // the ro lock: checkState and the schedule together
    if (r->checkState != CheckState::Checked) {
      r->checkState = CheckState::Checked;
      r->RecomputeSchedule();
    }
  }
}

}  // namespace vidra

// roCtrl on a running order: the lookups and their refusals, the acceptance of the command
// for the item's state, the end of every other playing item, and the control fields that
// the channel's playback thread acts on. The ro lock is held throughout.
#include <cstdio>

#include "common/Log.h"
#include "rundown/Ro.h"

namespace vidra {

namespace {

// The stamp of an item ended by another item's roCtrl: both 32-bit halves 0x0022D010.
constexpr std::uint64_t kForcedStop = 0x0022D0100022D010ull;

bool Accepted(CtrlCommand command, std::int32_t state) {
  if (command == CtrlCommand::PAUSE) {
    return state == PLAY || state == DONE;
  }
  return state == READY || state == CUE || state == PLAY || state == PAUSE || state == DONE;
}

}  // namespace

EditResult ro::ExecuteCtrl(const MosText& storyID, const MosText& itemID, CtrlCommand command,
                           PlayoutControl& playout, std::int32_t channel) {
  const auto code = static_cast<int>(command);
  // The channel stops before anything is looked up, and outside the ro lock: a player call
  // may take its time, and the playback thread needs this lock meanwhile.
  if (command == CtrlCommand::STOP) {
    playout.StopNow(channel);
  }
  std::lock_guard guard(lock);  // the ro lock, for the whole command
  std::int32_t s = -1;
  std::int32_t i = -1;
  EditResult lookup = EditResult::Ok;
  if (!storyID.IsEmpty()) {
    s = FindStory(storyID);
    if (s < 0) {
      Log("VIDRA::roCtrl command=%d ERROR - Wrang StoryID = %s\n", code, storyID.CStr());
      lookup = EditResult::UnknownStory;
    } else if (!itemID.IsEmpty()) {
      i = FindItem(s, itemID);
      if (i < 0) {
        Log("VIDRA::roCtrl command=%d ERROR - Wrang StoryID=%s and ItemID=%s\n", code,
            storyID.CStr(), itemID.CStr());
        lookup = EditResult::UnknownItem;
      }
    }
  }
  if (lookup != EditResult::Ok && command != CtrlCommand::STOP) {
    return lookup;
  }
  if (command == CtrlCommand::SIGNAL) {
    return EditResult::Ok;
  }
  EditResult result = EditResult::Ok;
  if (command != CtrlCommand::STOP) {
    s = std::max(s, 0);
    i = std::max(i, 0);
    std::int32_t state = NOT_READY;
    if (static_cast<std::size_t>(s) < stories.size() &&
        static_cast<std::size_t>(i) < stories[static_cast<std::size_t>(s)].items.size()) {
      state = stories[static_cast<std::size_t>(s)].items[static_cast<std::size_t>(i)].state;
    }
    if (!Accepted(command, state)) {
      Log("VIDRA::roCtrl command=%d ERROR - Wrang state=%d for StoryID=%s and ItemID=%s\n", code,
          state, storyID.CStr(), itemID.CStr());
      result = EditResult::Refused;
    }
  }
  StopOthers(s, i, playout, channel);
  if (result == EditResult::Ok) {
    ConsumeTimedStart();
    ctrlItemIndex = i;
    ctrlCommand = command;
    ctrlStoryIndex = s;
    ctrlActionId = playout.NextCtrlActionId();
    playout.CommandPosted(channel);
  }
  return result;
}

void ro::StopOthers(std::int32_t s, std::int32_t i, PlayoutControl& playout, std::int32_t channel) {
  std::lock_guard guard(lock);
  for (std::size_t k = 0; k < stories.size(); ++k) {
    story& st = stories[k];
    for (std::size_t j = 0; j < st.items.size(); ++j) {
      if (static_cast<std::int32_t>(k) == s && static_cast<std::int32_t>(j) == i) {
        continue;
      }
      item& it = st.items[j];
      const std::int32_t state = it.state;
      if (state != PLAY && state != PAUSE) {
        continue;
      }
      it.SetState(DONE);
      it.SetStateTime(kForcedStop);
      StatusNotice notice;
      notice.channel = channel;
      notice.roID = roID;
      notice.storyID = st.storyID;
      notice.itemID = it.itemID;
      notice.objID = it.objID;
      notice.status = "STOP";
      notice.time = NoticeTime(playout.UtcNow());
      notice.mosID = mosID;
      notice.ncsID = ncsID;
      notice.host = nrcsHost;
      static_cast<void>(playout.PushNotice(std::move(notice)));
    }
  }
}

}  // namespace vidra

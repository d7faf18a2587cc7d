// Differences of local FileTimes are taken as signed milliseconds, truncated toward zero.
#include "playout/PlayContext.h"

#include <cstdlib>
#include <mutex>

namespace vidra {

namespace {

std::int64_t Milliseconds(FileTime a, FileTime b) {
  return static_cast<std::int64_t>(a - b) / static_cast<std::int64_t>(kTicksPerMillisecond);
}

bool InRange(std::int32_t index, std::size_t size) {
  return index >= 0 && static_cast<std::size_t>(index) < size;
}

void FillItem(PlayContext& context, const story& s, std::int32_t storyIndex,
              std::int32_t itemIndex) {
  const item& i = s.items[static_cast<std::size_t>(itemIndex)];
  context.storyID = s.storyID;
  context.storyIndex = storyIndex;
  context.itemID = i.itemID;
  context.objID = i.objID;
  context.objPath = i.PlayPath();
  context.itemEdStart = i.itemEdStart;
  context.itemUserTimingDur = i.itemUserTimingDur;
  context.itemIndex = itemIndex;
}

}  // namespace

PlayContext ResetContext() {
  PlayContext c;
  for (MosText* text : {&c.mosID, &c.ncsID, &c.roID, &c.storyID, &c.itemID, &c.objID, &c.objPath,
                        &c.itemEdStart, &c.itemUserTimingDur}) {
    *text = "";
  }
  return c;
}

PlayContext ClearContext() {
  return PlayContext{};
}

bool SameContext(const PlayContext& a, const PlayContext& b) {
  return a.mosID == b.mosID && a.ncsID == b.ncsID && a.roID == b.roID && a.storyID == b.storyID &&
         a.itemID == b.itemID && a.objID == b.objID && a.objPath == b.objPath &&
         a.itemEdStart == b.itemEdStart && a.itemUserTimingDur == b.itemUserTimingDur;
}

std::string FormatContext(const PlayContext& c) {
  std::string text = "roID=";
  text.append(c.roID.Str()).append(", storyID[").append(std::to_string(c.storyIndex));
  text.append("]=").append(c.storyID.Str()).append(", itemId[");
  text.append(std::to_string(c.itemIndex)).append("]=").append(c.itemID.Str());
  return text.append(", path='").append(c.objPath.Str()).append("'");
}

void FillContext(PlayContext& context, const ro& r, std::int32_t index, bool withCommand) {
  context = ClearContext();
  context.mosID = r.mosID;
  context.ncsID = r.ncsID;
  context.nrcsHost = r.nrcsHost;
  context.roID = r.roID;
  context.roIndex = index;
  context.command = CtrlCommand::EXECUTE;
  if (!withCommand) {
    return;
  }
  context.command = r.ctrlCommand;
  context.actionId = r.ctrlActionId;
  context.storyIndex = r.ctrlStoryIndex;
  context.itemIndex = r.ctrlItemIndex;
  if (!InRange(r.ctrlStoryIndex, r.stories.size())) {
    return;
  }
  const story& s = r.stories[static_cast<std::size_t>(r.ctrlStoryIndex)];
  context.storyID = s.storyID;
  if (InRange(r.ctrlItemIndex, s.items.size())) {
    FillItem(context, s, r.ctrlStoryIndex, r.ctrlItemIndex);
  }
}

bool NextPlayable(PlayContext& context, const ro& r, const MosText* storyID,
                  const MosText* itemID) {
  std::size_t k = 0;
  std::size_t j = 0;
  if (storyID != nullptr) {
    for (std::size_t s = 0; s < r.stories.size(); ++s) {
      if (r.stories[s].storyID == *storyID) {
        k = s;
        const auto& items = r.stories[s].items;
        for (std::size_t i = 0; itemID != nullptr && i < items.size(); ++i) {
          if (items[i].itemID == *itemID) {
            j = i + 1;
            break;
          }
        }
        break;
      }
    }
  }
  for (; k < r.stories.size(); ++k, j = 0) {
    const story& s = r.stories[k];
    for (; j < s.items.size(); ++j) {
      const item& i = s.items[j];
      if (i.trigger == MANUAL) {
        return false;
      }
      const std::int32_t state = i.state;
      if (state == NEW || state == NOT_READY) {
        continue;
      }
      FillItem(context, s, static_cast<std::int32_t>(k), static_cast<std::int32_t>(j));
      return true;
    }
  }
  return false;
}

std::optional<PlayContext> NewestCommand(const Snapshot& snapshot, std::int32_t bound) {
  std::int32_t best = -1;
  std::int32_t bestId = bound;
  for (std::size_t n = 0; n < snapshot.size(); ++n) {
    std::lock_guard guard(snapshot[n]->lock);  // the ro lock, for its control fields
    if (snapshot[n]->ctrlActionId > bestId) {
      bestId = snapshot[n]->ctrlActionId;
      best = static_cast<std::int32_t>(n);
    }
  }
  if (best < 0) {
    return std::nullopt;
  }
  const ro& r = *snapshot[static_cast<std::size_t>(best)];
  std::lock_guard guard(r.lock);
  PlayContext context;
  FillContext(context, r, best, true);
  return context;
}

namespace {

// The checked TIMED running order starting within aheadMs of now (and not before cursorTime)
// that is nearest to now.
std::optional<DueStart> TimedRoWithin(const Snapshot& snapshot, FileTime cursorTime, FileTime now,
                                      std::int64_t aheadMs, std::int64_t nearestMs) {
  std::int32_t best = -1;
  std::int64_t bestDistance = nearestMs;
  for (std::size_t n = 0; n < snapshot.size(); ++n) {
    const ro& r = *snapshot[n];
    std::lock_guard guard(r.lock);  // the ro lock, for checkState, trigger and startTime
    if (r.checkState != CheckState::Checked || r.trigger != TIMED) {
      continue;
    }
    const std::int64_t d = Milliseconds(r.startTime, now);
    const std::int64_t c = Milliseconds(r.startTime, cursorTime);
    if (c < 0 || d > aheadMs) {
      continue;
    }
    if (std::llabs(d) < bestDistance) {
      bestDistance = std::llabs(d);
      best = static_cast<std::int32_t>(n);
    }
  }
  if (best < 0) {
    return std::nullopt;
  }
  const ro& r = *snapshot[static_cast<std::size_t>(best)];
  std::lock_guard guard(r.lock);  // the ro lock, while its first playable item is found
  DueStart due;
  FillContext(due.context, r, best, false);
  static_cast<void>(NextPlayable(due.context, r, nullptr, nullptr));
  due.startTime = r.startTime;
  return due;
}

}  // namespace

std::optional<DueStart> DueTimedRo(const Snapshot& snapshot, FileTime& cursorTime, FileTime now) {
  std::optional<DueStart> due = TimedRoWithin(snapshot, cursorTime, now, 1000, 3600);
  cursorTime = now;
  return due;
}

std::optional<DueStart> UpcomingTimedRo(const Snapshot& snapshot, FileTime cursorTime,
                                        FileTime now) {
  return TimedRoWithin(snapshot, cursorTime, now, kTimedPrepareAheadMs, kTimedPrepareAheadMs + 1);
}

std::optional<PlayContext> NextItem(const Snapshot& snapshot, const PlayContext& current) {
  if (snapshot.empty()) {
    return std::nullopt;
  }
  for (std::size_t n = 0; n < snapshot.size(); ++n) {
    const ro& r = *snapshot[n];
    std::lock_guard guard(r.lock);
    if (!(r.roID == current.roID)) {
      continue;
    }
    PlayContext context;
    FillContext(context, r, static_cast<std::int32_t>(n), false);
    if (!NextPlayable(context, r, &current.storyID, &current.itemID)) {
      return std::nullopt;
    }
    return context;
  }
  // The running order is gone: a context that names no place in the snapshot.
  const ro& first = *snapshot.front();
  std::lock_guard guard(first.lock);
  PlayContext context;
  FillContext(context, first, -1, false);
  if (!NextPlayable(context, first, nullptr, nullptr)) {
    return std::nullopt;
  }
  return context;
}

item* Resolve(const ItemPlace& place) {
  if (!place.owner || !InRange(place.storyIndex, place.owner->stories.size())) {
    return nullptr;
  }
  auto& items = place.owner->stories[static_cast<std::size_t>(place.storyIndex)].items;
  return InRange(place.itemIndex, items.size()) ? &items[static_cast<std::size_t>(place.itemIndex)]
                                                : nullptr;
}

std::optional<ItemPlace> FindItemByIds(const Snapshot& snapshot, const MosText& roID,
                                       const MosText& storyID, const MosText& itemID) {
  for (auto n = static_cast<std::int32_t>(snapshot.size()) - 1; n >= 0; --n) {
    const auto& r = snapshot[static_cast<std::size_t>(n)];
    std::lock_guard guard(r->lock);
    if (!(r->roID == roID)) {
      continue;
    }
    const std::int32_t s = r->FindStory(storyID);
    const std::int32_t i = r->FindItem(s, itemID);
    if (i < 0) {
      return std::nullopt;
    }
    return ItemPlace{r, s, i};
  }
  return std::nullopt;
}

std::optional<ItemPlace> ItemAt(const Snapshot& snapshot, std::int32_t roIndex,
                                std::int32_t storyIndex, std::int32_t itemIndex) {
  if (!InRange(roIndex, snapshot.size())) {
    return std::nullopt;
  }
  ItemPlace place{snapshot[static_cast<std::size_t>(roIndex)], storyIndex, itemIndex};
  std::lock_guard guard(place.owner->lock);
  if (Resolve(place) == nullptr) {
    return std::nullopt;
  }
  return place;
}

std::vector<std::shared_ptr<ro>> ConsumeTimedStarts(const Snapshot& snapshot, FileTime from,
                                                    FileTime to) {
  std::vector<std::shared_ptr<ro>> consumed;
  for (const auto& r : snapshot) {
    std::lock_guard guard(r->lock);
    const FileTime start = r->startTime / kTicksPerMillisecond;
    if (r->trigger == TIMED && start >= from / kTicksPerMillisecond &&
        start <= to / kTicksPerMillisecond) {
      r->ConsumeTimedStart();
      consumed.push_back(r);
    }
  }
  return consumed;
}

std::optional<MainOnAir> FindMainOnAir(const Snapshot& snapshot) {
  std::optional<MainOnAir> found;
  for (std::size_t n = 0; n < snapshot.size(); ++n) {
    const ro& r = *snapshot[n];
    std::lock_guard guard(r.lock);  // the ro lock, for its items' states
    for (std::size_t k = 0; k < r.stories.size(); ++k) {
      const story& s = r.stories[k];
      for (std::size_t j = 0; j < s.items.size(); ++j) {
        const item& i = s.items[j];
        const FileTime started = i.stateTime;
        if (i.state != PLAY || (found && started < found->started)) {
          continue;
        }
        found.emplace();
        FillContext(found->context, r, static_cast<std::int32_t>(n), false);
        FillItem(found->context, s, static_cast<std::int32_t>(k), static_cast<std::int32_t>(j));
        found->place =
            ItemPlace{snapshot[n], static_cast<std::int32_t>(k), static_cast<std::int32_t>(j)};
        found->started = started;
        found->length = i.playDuration ? static_cast<FileTime>(*i.playDuration * 1e7) : 0;
      }
    }
  }
  return found;
}

ItemStateNow StateOfItem(const Snapshot& snapshot, const PlayContext& context) {
  const auto place = FindItemByIds(snapshot, context.roID, context.storyID, context.itemID);
  if (!place) {
    return {};
  }
  std::lock_guard guard(place->owner->lock);  // the ro lock, for the item's state
  const item* i = Resolve(*place);
  return i != nullptr ? ItemStateNow{i->state, i->stateTime} : ItemStateNow{};
}

}  // namespace vidra

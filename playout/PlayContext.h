// How a channel's playback thread names an item (PlayContext) and the queries by which it
// finds its next work in its snapshot of the channel's running orders. Each query takes the
// running orders' own locks while it reads them; used by one playback thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/FileTime.h"
#include "common/MosText.h"
#include "rundown/Ro.h"

namespace vidra {

using Snapshot = std::vector<std::shared_ptr<ro>>;

struct PlayContext {
  MosText mosID;
  MosText ncsID;
  std::uint32_t nrcsHost = 0;  // where the running order's notices go
  MosText roID;
  MosText storyID;
  MosText itemID;
  MosText objID;
  MosText objPath;
  MosText itemEdStart;
  MosText itemUserTimingDur;
  std::int32_t roIndex = -1;
  std::int32_t storyIndex = -1;
  std::int32_t itemIndex = -1;
  CtrlCommand command = CtrlCommand::SIGNAL;
  std::int32_t actionId = 0;
};

// Every text present and empty, indices -1, command and actionId 0.
PlayContext ResetContext();
// Every text absent, indices -1, command and actionId 0.
PlayContext ClearContext();
// The nine texts equal; indices, command and actionId are not compared.
bool SameContext(const PlayContext& a, const PlayContext& b);
std::string FormatContext(const PlayContext& c);

// The running order's texts and index; with the command, its last roCtrl and the story and
// item it named (those that exist). The caller holds r's lock.
void FillContext(PlayContext& context, const ro& r, std::int32_t index, bool withCommand);
// The first playable item from the item after storyID/itemID (from the start when both are
// null): NEW and NOT READY items are passed over, a MANUAL item ends the walk. The caller
// holds r's lock.
bool NextPlayable(PlayContext& context, const ro& r, const MosText* storyID, const MosText* itemID);

// The roCtrl with the largest ctrlActionId above bound.
std::optional<PlayContext> NewestCommand(const Snapshot& snapshot, std::int32_t bound);
struct DueStart {
  PlayContext context;
  FileTime startTime = 0;
};
// The checked TIMED running order due within a second (and not before cursorTime) that is
// nearest to now, within 3.6 s; cursorTime becomes now whatever is found.
std::optional<DueStart> DueTimedRo(const Snapshot& snapshot, FileTime& cursorTime, FileTime now);
// How long before its start a TIMED running order's first item is prepared: long enough for
// the slowest file to load (MXF with a long-GOP codec takes up to a second or two).
constexpr std::int64_t kTimedPrepareAheadMs = 5000;
// The checked TIMED running order that starts next within kTimedPrepareAheadMs (and not
// before cursorTime), so that its first item can be prepared ahead; cursorTime is kept.
std::optional<DueStart> UpcomingTimedRo(const Snapshot& snapshot, FileTime cursorTime,
                                        FileTime now);
// The item that follows current in its running order, or none.
std::optional<PlayContext> NextItem(const Snapshot& snapshot, const PlayContext& current);

// A place in the snapshot; resolve it under owner's lock.
struct ItemPlace {
  std::shared_ptr<ro> owner;
  std::int32_t storyIndex = -1;
  std::int32_t itemIndex = -1;
};
// The item at the place, or null when the indices no longer fit. The caller holds the lock.
item* Resolve(const ItemPlace& place);
std::optional<ItemPlace> FindItemByIds(const Snapshot& snapshot, const MosText& roID,
                                       const MosText& storyID, const MosText& itemID);
std::optional<ItemPlace> ItemAt(const Snapshot& snapshot, std::int32_t roIndex,
                                std::int32_t storyIndex, std::int32_t itemIndex);
// TIMED running orders whose start (in whole milliseconds) lies within [from, to] become
// MANUAL; they are handed back so that the change can be saved.
std::vector<std::shared_ptr<ro>> ConsumeTimedStarts(const Snapshot& snapshot, FileTime from,
                                                    FileTime to);

// What the main of a pair has on air, as the item states it sends tell a backup: the item
// it started last (PLAY, the latest stamp).
struct MainOnAir {
  PlayContext context;
  ItemPlace place;
  FileTime started = 0;  // local time
  FileTime length = 0;   // of its clip; 0 when not known
};
std::optional<MainOnAir> FindMainOnAir(const Snapshot& snapshot);
// The state and stamp of the item that context names (the last of its IDs); state -1 when
// it is gone.
struct ItemStateNow {
  std::int32_t state = -1;
  FileTime stamp = 0;
};
ItemStateNow StateOfItem(const Snapshot& snapshot, const PlayContext& context);

}  // namespace vidra

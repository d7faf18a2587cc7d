// A running order: the MOS fields of roCreate/roReplace, its stories, and what playout and
// roCtrl keep on it. Shared through std::shared_ptr between the store, the playback threads,
// the media check and the answer builders; it lives until its last holder lets go. Its lock
// (recursive) guards the stories and every field below; it is taken after a store lock,
// never before one.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/FileTime.h"
#include "common/HResult.h"
#include "common/MosText.h"
#include "rundown/EditResult.h"
#include "rundown/PlayoutControl.h"
#include "rundown/Records.h"

namespace vidra {

struct StoryAckInfo {
  MosText storyID;
  std::vector<std::string> statuses;
  std::vector<std::string> itemIDs;
  std::vector<std::string> objIDs;
  std::vector<std::string> itemChannels;  // empty text for an item without one
};

struct MessageKey;

// The content of a roAck answer. result says what happened; detail names what it happened
// to (the unknown ID, the missing element); the MOS layer makes the roStatus text of both.
struct RoAckInfo {
  // The message that asks for the edit, or null: its key is committed with the change, so
  // that after a stop between the commit and the answer the message sent again is known as
  // applied.
  const MessageKey* message = nullptr;
  MosText roID;
  EditResult result = EditResult::Ok;
  std::string detail;
  std::vector<StoryAckInfo> stories;
};

// The roCtrl commands, as the NRCS words them: "SIGNAL", "READY" or "CUE", "EXECUTE",
// "PAUSE", "STOP".
enum class CtrlCommand : std::int32_t { SIGNAL = 0, READY = 1, EXECUTE = 2, PAUSE = 3, STOP = 4 };

// Whether the media check has been through a running order since its last edit.
enum class CheckState : std::int32_t { Unchecked = 0, Checked = 2 };

// A MOS time (roEdStart and the others): year-month-dayThh:mm:ss, each separator optional,
// each field ending at its digit limit or the first non-digit, missing fields 0; then
// milliseconds after a point or a comma. A time that ends in "Z" or a zone (+hh:mm, -hhmm,
// +hh) is converted to the station's local time, daylight saving included; one without a
// zone is taken as written.
CalendarTime ParseEdStart(const MosText& text);

class ro {
 public:
  ro();
  ~ro();
  ro(const ro&) = delete;
  ro& operator=(const ro&) = delete;

  MosText roTrigger;
  MosText macroIn;
  MosText macroOut;
  MosText roEdDur;
  MosText roEdStart;
  MosText mosID;  // of the envelope that delivered it; copied into its status notices
  MosText ncsID;
  // The NRCS host (IPv4, network order) that delivered it, where its notices go; 0 unknown.
  std::uint32_t nrcsHost = 0;
  MosText roID;
  MosText roSlug;
  MosText roChannel;
  MetadataBlocks metadata;
  std::vector<story> stories;
  // "READY" or "NOT READY" from the NRCS's roReadyToAir; absent until one came.
  MosText roAir;
  NrcsView nrcs;
  CheckState checkState = CheckState::Unchecked;
  // A running order without roTrigger is CHAINED, as the text mapping gives for no text.
  std::int32_t trigger = CHAINED;
  FileTime startTime = 0;
  CalendarTime edStart{0, 0, 0, 0, 0, 0, 0, 0};
  std::uint64_t totalDuration = 0;
  CtrlCommand ctrlCommand = CtrlCommand::SIGNAL;
  std::int32_t ctrlActionId = 0;  // 0: no roCtrl accepted yet
  std::int32_t ctrlStoryIndex = -1;
  std::int32_t ctrlItemIndex = -1;
  // Counts the edits of element actions; a media check result computed before an edit is
  // not written back after it.
  std::uint64_t editCount = 0;
  // Its key and place among the channel's running orders in the durable store.
  std::uint64_t key = 0;
  std::int64_t position = 0;

  // False for a working copy, whose end is no running order's end.
  bool logsDestruction = true;

  mutable std::recursive_mutex lock;  // the ro lock: guards every field above

  // The place, counting items in running-order order, of the last item that went to air (in
  // PLAY, PAUSE or DONE), -1 before any: NOT READY items before it were passed over by the
  // sequence. Callers hold the ro lock.
  std::ptrdiff_t LastAired() const;
  // Last story with this ID, or -1. Callers hold the ro lock.
  // TIMED from the NRCS, and its start already used (fired, passed, or ended by a roCtrl).
  bool TimedStartUsed() const { return trigger != TIMED && roTrigger == "TIMED"; }
  std::int32_t FindStory(const MosText& storyID) const;
  // Last item of stories[storyIndex] with this ID, or -1. Callers hold the ro lock.
  std::int32_t FindItem(std::int32_t storyIndex, const MosText& itemID) const;
  // Every item and story back to NEW and checkState 0, after an edit.
  void ResetStates();
  // Every field the NRCS sent and the server keeps of it, stories included, but none of the
  // roCtrl fields nor the lock: a working copy on which an edit is tried before it is saved.
  void CopyFieldsFrom(const ro& other);
  // roID and every story (and its items) that match the filters; empty filters match all.
  // Stories that match are listed even when none of their items does.
  void FillRoAck(RoAckInfo& ack, const MosText& storyFilter, const MosText& itemFilter) const;
  // The stories with these IDs, in running-order order, each with all its items.
  void FillStoryAcks(RoAckInfo& ack, const std::vector<MosText>& storyIDs) const;
  // Planned starts and durations from startTime and the items' play durations.
  void RecomputeSchedule();
  CheckState GetCheckState() const;
  void SetCheckState(CheckState value);
  // Stores edStart and its FileTime in startTime; a date that is no calendar date gives 0.
  void SetEdStart(const CalendarTime& value);
  // A TIMED running order plays as MANUAL for good once its timed start is used up;
  // roTrigger keeps saying TIMED.
  void ConsumeTimedStart();
  // A roCtrl command on the named item: Ok, or why it was refused (UnknownStory,
  // UnknownItem, Refused for the item's state). Items of this running order that play or are
  // paused, other than the named one, are ended either way. STOP is never refused.
  EditResult ExecuteCtrl(const MosText& storyID, const MosText& itemID, CtrlCommand command,
                         PlayoutControl& playout, std::int32_t channel);
  // Ends every item in PLAY or PAUSE except the one at (s, i), with a STOP notice each.
  void StopOthers(std::int32_t s, std::int32_t i, PlayoutControl& playout, std::int32_t channel);
};

}  // namespace vidra

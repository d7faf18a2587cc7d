// One channel's running orders, in order of arrival. Connection threads add, replace, delete
// and edit them; the media check and the playback thread read them. Edits apply whole or
// not at all: an edit that is refused, or that the durable store could not save, leaves the
// running order exactly as it was. With a durable store attached, an edit is tried on a
// working copy, committed, and only then swapped in, so readers never wait for the disk.
// Locks, in the order they are taken: the edit lock (one edit of the channel at a time,
// its commit included), the store lock, a running order's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/MosText.h"
#include "rundown/EditResult.h"
#include "rundown/Ro.h"
#include "rundown/RoPersistence.h"

namespace vidra {

enum class ElementOp : std::int32_t { INSERT = 0, REPLACE = 1, MOVE = 2, DELETE = 3, SWAP = 4 };

// A story, or an item of a story, named in an edit. An empty storyID with an itemID names an
// item of the story that the edit's target names.
struct ElementRef {
  MosText storyID;
  MosText itemID;
};

// One edit of a stored running order, as roElementAction and the older story and item
// messages (roStoryInsert, roItemMoveMultiple, ...) ask for it: the targets, and the sources
// as references (MOVE, DELETE, SWAP) or as whole stories or items (INSERT, REPLACE).
struct ElementAction {
  ElementOp op = ElementOp::INSERT;
  MosText roID;
  std::vector<ElementRef> targets;
  std::vector<ElementRef> sources;
  std::vector<story> stories;
  std::vector<item> items;
  // The sources of an INSERT or REPLACE held both stories and items: no edit.
  bool mixedSources = false;
};

// roMetadataReplace: the running-order fields it carries. Absent fields stay as they are; a
// metadata block replaces the one with the same mosSchema or is added.
struct RoMetadata {
  MosText roID;
  MosText roSlug;
  MosText roChannel;
  MosText roEdStart;
  MosText roEdDur;
  MosText roTrigger;
  MosText macroIn;
  MosText macroOut;
  std::vector<MetadataBlocks::Block> metadata;
};

// What the media check reads of an item, copied under its running order's lock: the names
// its media is found by and the state it had. Not the whole item: a running order of
// hundreds of items is planned at once, and an item is two dozen texts.
struct ItemNames {
  MosText itemID;
  MosText objID;
  MosText objPath;
  std::int32_t state = 0;

  static ItemNames Of(const item& i) { return {i.itemID, i.objID, i.paths.objPath, i.state}; }
};

// An item that the media check has still to examine, found while the locks were held.
// The check probes snapshot's media with no lock held, then hands the result to
// CompleteItemCheck, which writes it only if the running order has not been edited since:
// an edit resets every item to NEW, so the item is found again by the next FindNewItem.
struct NewItemRef {
  std::shared_ptr<ro> owner;  // keeps the running order alive while the check runs
  std::int32_t storyIndex = -1;
  std::int32_t itemIndex = -1;
  std::uint64_t editCount = 0;
  ItemNames snapshot;
};

// Told of every change that makes items NEW (a running order stored, replaced, edited or
// restored), so the media check can take them at once. Called with the channel's edit lock
// held: it only queues work.
class RoEditListener {
 public:
  virtual ~RoEditListener() = default;
  virtual void RunningOrdersEdited(std::int32_t channel) = 0;
};

// What a later check of an item that was checked before did to it.
enum class RecheckResult { Unchanged, Changed, Stale };

// Logs "Can't find element: ..." for ref (null: both parts empty).
void ReportMissingElement(const MosText& roID, const ElementRef* ref);

class RoStore {
 public:
  // Saves every change of this channel's running orders in persistence (null: memory only);
  // keys numbers the stored running orders and items of all channels.
  void Attach(std::int32_t channel, RoPersistence* persistence, std::atomic<std::uint64_t>* keys);
  // Set before the connections and the playout threads start.
  void SetEditListener(RoEditListener* listener, std::int32_t channel) {
    listener_ = listener;
    listenerChannel_ = channel;
  }
  // The running orders read back at start (or a backup's copy of its main's), in their
  // order, in place of what the store held.
  void Restore(std::vector<std::unique_ptr<ro>> restored);
  // A backup following its main: the running order in place of the one with its key, or
  // put by its position; one gone; the states of items by their keys (the caller's lock-free
  // view: each running order's lock is taken here).
  void Follow(std::unique_ptr<ro> followed);
  void Unfollow(std::uint64_t key);
  // True when one of this store's items took a state.
  bool FollowStates(const std::unordered_map<std::uint64_t, const StoredItemState*>& states);
  // Takes every running order out of memory and leaves the durable store alone: a server
  // that became the backup of a pair holds none of its own until its main's copy comes.
  void ForgetAll();
  // Grows with every change that a playlist shows (order, fields, timing, triggers).
  std::uint64_t Version() const { return version_; }

  std::int32_t FindRo(const MosText& roID) const;
  std::int32_t GetRoCount() const;
  std::shared_ptr<ro> GetRoAt(std::int32_t index) const;
  std::shared_ptr<ro> GetRo(const MosText& roID) const;
  void CopyRoList(std::vector<std::shared_ptr<ro>>& out) const;
  // Replaces the running order with the same roID in its place, or appends it; the ack
  // lists every story and item of the new one.
  EditResult AddRo(std::unique_ptr<ro> newRo, RoAckInfo& ack);
  // UnknownRo when the roID is not stored; the ack carries the roID either way.
  EditResult DeleteRo(const MosText& roID, RoAckInfo& ack);
  // The first NEW item of running order `index`, storing each fully passed story's summary
  // state on the way; none when every item has been checked (or the index is bad).
  std::optional<NewItemRef> FindNewItem(std::int32_t index);
  // Writes a check's outcome (NOT_READY or READY, with the timing from the media's frames) on
  // the item NewItemRef names, under its running order's lock. False, with nothing written,
  // when the running order was edited meanwhile or the item is no longer NEW.
  bool CompleteItemCheck(const NewItemRef& ref, std::int32_t newState, std::int32_t mediaFrames,
                         double rate, const std::string& mediaPath = {});
  // Every NEW item of every running order, in running-order order, with running orders that
  // have none left marked checked on the way (see FinishCheck).
  std::vector<NewItemRef> CollectNewItems();
  // The items, in any state, for which wanted answers true (asked under the ro lock).
  template <typename Wanted>
  std::vector<NewItemRef> CollectItems(Wanted wanted) const;
  // The item that roID, storyID and itemID name (the last of each ID), as it is now.
  std::optional<NewItemRef> FindItemRef(const MosText& roID, const MosText& storyID,
                                        const MosText& itemID) const;
  // A running order with no NEW item left becomes checked and has its schedule computed; true
  // when this call made it so.
  bool FinishCheck(ro& target);
  // A new look at an item checked before (its file came, changed or went): a READY or NOT
  // READY item takes the new state and timing, and its running order's schedule follows.
  // Stale, with nothing written, when the running order was edited meanwhile or the item is
  // in another state (playing, played, NEW).
  RecheckResult UpdateCheckedItem(const NewItemRef& ref, std::int32_t newState,
                                  std::int32_t mediaFrames, double rate,
                                  const std::string& mediaPath);
  // What playout changed, for the durable store: the state of an item (the caller holds r's
  // lock), or the trigger of a running order whose TIMED start was used up.
  void PostItemState(const ro& r, const item& i);
  void PostControl(const ro& r);
  // A roCtrl's changes (trigger, items it ended), committed before it is answered.
  EditResult CommitControl(const ro& r, RoAckInfo& ack);

  // An edit of stories or items. The ack gets the roID and, in detail, the ID or element a
  // refusal is about; with listTouched, an edit that was made also lists the stories it
  // inserted, replaced, moved or changed, with their items' states. Every edit that is made
  // resets the running order's states (ResetStates) so that the media check takes it again.
  EditResult ApplyElementAction(const ElementAction& action, RoAckInfo& ack, bool listTouched);
  // roMetadataReplace: the fields it carries, then the schedule from a moved start.
  EditResult ReplaceMetadata(const RoMetadata& fields, RoAckInfo& ack);
  // roReadyToAir: "READY" or "NOT READY" (anything else is Malformed).
  EditResult SetReadyToAir(const MosText& roID, const MosText& roAir, RoAckInfo& ack);
  // roStorySend: the text of a story's body, kept with the story.
  EditResult SetStoryBody(const MosText& roID, const MosText& storyID, std::string body,
                          RoAckInfo& ack);
  // The NRCS's own roElementStat: its view of the running order (empty storyID), of a story
  // (empty itemID) or of an item.
  EditResult SetNrcsView(const MosText& roID, const ElementRef& element, NrcsView view,
                         RoAckInfo& ack);

 private:
  // Runs change on the running order's fields and stories: on a working copy that is saved
  // and then swapped in, or, without a durable store, in place. change returns the outcome
  // and may name items whose rows changed.
  template <typename Change>
  EditResult EditRunningOrder(const MosText& roID, RoAckInfo& ack, Change change);
  // Saves the change; NotSaved, with the reason in the ack, when it could not be.
  EditResult Save(RoChange change, RoAckInfo& ack);
  StoredRo RowOf(const ro& r) const;
  // Stores the story's summary state once none of its items is NEW.
  static void StoreStorySummary(story& s);
  std::uint64_t NextKey();

  std::mutex edits_;                   // the edit lock: one edit of this channel at a time
  mutable std::recursive_mutex lock_;  // the store lock: guards ros_ and nextPosition_
  std::vector<std::shared_ptr<ro>> ros_;
  std::int64_t nextPosition_ = 1;
  std::int32_t channel_ = 0;
  std::atomic<std::uint64_t> version_{0};
  RoPersistence* persistence_ = nullptr;
  std::atomic<std::uint64_t>* keys_ = nullptr;
  RoEditListener* listener_ = nullptr;
  std::int32_t listenerChannel_ = 0;
};

template <typename Wanted>
std::vector<NewItemRef> RoStore::CollectItems(Wanted wanted) const {
  std::vector<NewItemRef> found;
  std::lock_guard guard(lock_);  // the store lock: ros_
  for (const std::shared_ptr<ro>& r : ros_) {
    std::lock_guard roGuard(r->lock);  // the ro lock: its stories and editCount
    for (std::size_t k = 0; k < r->stories.size(); ++k) {
      const auto& items = r->stories[k].items;
      for (std::size_t j = 0; j < items.size(); ++j) {
        if (wanted(items[j])) {
          found.push_back(NewItemRef{r, static_cast<std::int32_t>(k), static_cast<std::int32_t>(j),
                                     r->editCount, ItemNames::Of(items[j])});
        }
      }
    }
  }
  return found;
}

}  // namespace vidra

// One channel's running orders, in order of arrival. Connection threads add, replace, delete
// and edit them; the media check and the playback thread read them. Every operation takes
// the store lock (recursive) for its whole run; a running order's own lock may be taken
// after it, never before it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/HResult.h"
#include "common/MosText.h"
#include "rundown/Ro.h"

namespace vidra {

enum class ElementOp : std::int32_t { INSERT = 0, REPLACE = 1, MOVE = 2, DELETE = 3, SWAP = 4 };

// An item that the media check has still to examine, copied while the locks were held.
// The check probes snapshot's media with no lock held, then hands the result to
// CompleteItemCheck, which writes it only if the running order has not been edited since:
// an edit resets every item to NEW, so the item is found again by the next FindNewItem.
struct NewItemRef {
  std::shared_ptr<ro> owner;  // keeps the running order alive while the check runs
  std::int32_t storyIndex = -1;
  std::int32_t itemIndex = -1;
  std::uint64_t editCount = 0;
  item snapshot;
};

// Writes a check's outcome (NOT_READY or READY, with the timing from the media's frames) on
// the item NewItemRef names, under its running order's lock. False, with nothing written,
// when the running order was edited meanwhile or the item is no longer NEW.
bool CompleteItemCheck(const NewItemRef& ref, std::int32_t newState, std::int32_t mediaFrames,
                       double rate);

// Element references: the roID, then the targets, then for DELETE, MOVE and SWAP the
// sources, each "storyID\nitemID".
using ElementRefs = std::vector<MosText>;

struct ElementParts {
  MosText storyPart;
  MosText itemPart;
};
// Before and after the first line feed; a text without one gives the whole text as both.
ElementParts SplitElementRef(const MosText& ref);
// Logs "Can't find element: ..." for ref (null: both parts empty).
void ReportMissingElement(const MosText& roID, const MosText* ref);

class RoStore {
 public:
  std::int32_t FindRo(const MosText& roID) const;
  std::int32_t GetRoCount() const;
  std::shared_ptr<ro> GetRoAt(std::int32_t index) const;
  std::shared_ptr<ro> GetRo(const MosText& roID) const;
  void CopyRoList(std::vector<std::shared_ptr<ro>>& out) const;
  // Replaces the running order with the same roID in its place, or appends it. Never fails.
  HResult AddRo(std::unique_ptr<ro> newRo, RoAckInfo& ack);
  // S_OK and "OK", or E_FAIL and "NACK" when the roID is not stored.
  HResult DeleteRo(const MosText& roID, RoAckInfo& ack);
  // The first NEW item of running order `index`, storing each fully passed story's summary
  // state on the way; none when every item has been checked (or the index is bad).
  std::optional<NewItemRef> FindNewItem(std::int32_t index);

  // roElementAction. Each returns E_FAIL when the running order is not stored, S_OK
  // otherwise; the ack's roStatus says whether the edit was done. Every action on a stored
  // running order ends with its ResetStates, also a rejected one.
  HResult DeleteElements(const ElementRefs& refs, std::int32_t nTarget, std::int32_t nSource,
                         RoAckInfo& ack);
  HResult InsertElements(const ElementRefs& refs, std::int32_t nTarget,
                         const std::vector<story>& sourceStories,
                         const std::vector<item>& sourceItems, std::int32_t nSource,
                         RoAckInfo& ack);
  HResult MoveElements(const ElementRefs& refs, std::int32_t nTarget, std::int32_t nSource,
                       RoAckInfo& ack);
  HResult ReplaceElements(const ElementRefs& refs, std::int32_t nTarget,
                          const std::vector<story>& sourceStories,
                          const std::vector<item>& sourceItems, std::int32_t nSource,
                          RoAckInfo& ack);
  HResult SwapElements(const ElementRefs& refs, std::int32_t nTarget, std::int32_t nSource,
                       RoAckInfo& ack);

 private:
  template <typename Edit>
  HResult RunElementAction(const ElementRefs& refs, RoAckInfo& ack, bool isDelete, Edit edit);

  mutable std::recursive_mutex lock_;  // the store lock: guards ros_
  std::vector<std::shared_ptr<ro>> ros_;
};

}  // namespace vidra

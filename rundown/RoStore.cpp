// The store's list operations, the edits of a running order's fields, and what the durable
// store is told of them. Every change is saved before memory changes; what cannot be saved
// is answered NotSaved and leaves memory as it was.
#include "rundown/RoStore.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "common/Log.h"
#include "rundown/RoCodec.h"

namespace vidra {

void RoStore::Attach(std::int32_t channel, RoPersistence* persistence,
                     std::atomic<std::uint64_t>* keys) {
  std::lock_guard guard(lock_);  // the store lock
  channel_ = channel;
  persistence_ = persistence;
  keys_ = keys;
}

void RoStore::Restore(std::vector<std::unique_ptr<ro>> restored) {
  std::lock_guard guard(lock_);  // the store lock: ros_ and nextPosition_
  ros_.clear();
  for (auto& r : restored) {
    nextPosition_ = std::max(nextPosition_, r->position + 1);
    ros_.push_back(std::move(r));
  }
  ++version_;
  if (listener_ != nullptr) {
    listener_->RunningOrdersEdited(listenerChannel_);
  }
}

void RoStore::Follow(std::unique_ptr<ro> followed) {
  std::lock_guard guard(lock_);  // the store lock: ros_ and nextPosition_
  nextPosition_ = std::max(nextPosition_, followed->position + 1);
  const auto same = std::find_if(ros_.begin(), ros_.end(), [&](const std::shared_ptr<ro>& r) {
    return r->key == followed->key;
  });
  if (same != ros_.end()) {
    *same = std::move(followed);
  } else {
    const auto after = std::find_if(ros_.begin(), ros_.end(), [&](const std::shared_ptr<ro>& r) {
      return r->position > followed->position;
    });
    ros_.insert(after, std::move(followed));
  }
  ++version_;
  if (listener_ != nullptr) {
    listener_->RunningOrdersEdited(listenerChannel_);
  }
}

void RoStore::Unfollow(std::uint64_t key) {
  std::lock_guard guard(lock_);  // the store lock: ros_
  if (std::erase_if(ros_, [&](const std::shared_ptr<ro>& r) { return r->key == key; }) > 0) {
    ++version_;
  }
}

bool RoStore::FollowStates(
    const std::unordered_map<std::uint64_t, const StoredItemState*>& states) {
  bool taken = false;
  std::lock_guard guard(lock_);  // the store lock: ros_
  for (const std::shared_ptr<ro>& r : ros_) {
    std::lock_guard roGuard(r->lock);  // the ro lock: its items' states
    for (story& s : r->stories) {
      for (item& i : s.items) {
        if (const auto found = states.find(i.key); found != states.end()) {
          ApplyStoredState(*found->second, i);
          taken = true;
        }
      }
    }
  }
  return taken;
}

void RoStore::ForgetAll() {
  std::lock_guard guard(lock_);  // the store lock: ros_
  ros_.clear();
  ++version_;
  if (listener_ != nullptr) {
    listener_->RunningOrdersEdited(listenerChannel_);
  }
}

std::int32_t RoStore::FindRo(const MosText& roID) const {
  std::lock_guard guard(lock_);
  for (auto i = static_cast<std::int32_t>(ros_.size()) - 1; i >= 0; --i) {
    if (ros_[static_cast<std::size_t>(i)]->roID == roID) {
      return i;
    }
  }
  return -1;
}

std::int32_t RoStore::GetRoCount() const {
  std::lock_guard guard(lock_);
  return static_cast<std::int32_t>(ros_.size());
}

std::shared_ptr<ro> RoStore::GetRoAt(std::int32_t index) const {
  std::lock_guard guard(lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= ros_.size()) {
    return nullptr;
  }
  return ros_[static_cast<std::size_t>(index)];
}

std::shared_ptr<ro> RoStore::GetRo(const MosText& roID) const {
  std::lock_guard guard(lock_);
  return GetRoAt(FindRo(roID));
}

void RoStore::CopyRoList(std::vector<std::shared_ptr<ro>>& out) const {
  std::lock_guard guard(lock_);
  out = ros_;
}

std::uint64_t RoStore::NextKey() {
  return keys_ != nullptr ? keys_->fetch_add(1) : 0;
}

StoredRo RoStore::RowOf(const ro& r) const {
  return StoredRo{r.key,           channel_,         r.position, std::string(r.roID.Str()),
                  EncodeHeader(r), EncodeControl(r), r.nrcsHost};
}

EditResult RoStore::Save(RoChange change, RoAckInfo& ack) {
  if (ack.message != nullptr) {
    change.message = *ack.message;
  }
  std::string error;
  if (persistence_ == nullptr || persistence_->Commit(std::move(change), error)) {
    return EditResult::Ok;
  }
  ack.detail = error;
  return EditResult::NotSaved;
}

EditResult RoStore::AddRo(std::unique_ptr<ro> newRo, RoAckInfo& ack) {
  std::lock_guard edits(edits_);  // the edit lock, across the commit
  const std::shared_ptr<ro> old = GetRo(newRo->roID);
  if (persistence_ != nullptr) {
    {
      std::lock_guard guard(lock_);  // the store lock: nextPosition_
      newRo->key = old ? old->key : NextKey();
      newRo->position = old ? old->position : nextPosition_++;
    }
    RoChange change;
    change.roKey = newRo->key;
    change.replaceItems = true;
    for (story& s : newRo->stories) {
      for (item& i : s.items) {
        i.key = NextKey();
        change.items.push_back(StoredItem{newRo->key, EncodeItem(i), ItemStateOf(i)});
      }
    }
    change.row = RowOf(*newRo);
    if (const EditResult saved = Save(std::move(change), ack); saved != EditResult::Ok) {
      ack.roID = newRo->roID;
      return saved;
    }
  }
  std::shared_ptr<ro> replaced;  // declared first: a large old one is freed after the lock
  std::lock_guard guard(lock_);  // the store lock: ros_
  const std::int32_t k = FindRo(newRo->roID);
  newRo->FillRoAck(ack, MosText(), MosText());
  std::shared_ptr<ro> shared = std::move(newRo);
  if (k == -1) {
    ack.roID = shared->roID;
    ros_.push_back(std::move(shared));
  } else {
    // The old one loses the store's reference; readers that hold it keep it unchanged.
    replaced = std::exchange(ros_[static_cast<std::size_t>(k)], std::move(shared));
  }
  ++version_;
  if (listener_ != nullptr) {
    listener_->RunningOrdersEdited(listenerChannel_);
  }
  return EditResult::Ok;
}

EditResult RoStore::DeleteRo(const MosText& roID, RoAckInfo& ack) {
  std::lock_guard edits(edits_);  // the edit lock, across the commit
  ack.roID = roID;
  const std::shared_ptr<ro> found = GetRo(roID);
  if (!found) {
    return EditResult::UnknownRo;
  }
  RoChange change;
  change.roKey = found->key;
  change.removeRo = true;
  if (const EditResult saved = Save(std::move(change), ack); saved != EditResult::Ok) {
    return saved;
  }
  std::shared_ptr<ro> deleted;   // freed after the lock
  std::lock_guard guard(lock_);  // the store lock: ros_
  const std::int32_t k = FindRo(roID);
  deleted = std::move(ros_[static_cast<std::size_t>(k)]);
  ros_.erase(ros_.begin() + k);
  ++version_;
  return EditResult::Ok;
}

std::optional<NewItemRef> RoStore::FindNewItem(std::int32_t index) {
  std::lock_guard guard(lock_);
  std::shared_ptr<ro> target = GetRoAt(index);
  if (!target) {
    return std::nullopt;
  }
  std::lock_guard roGuard(target->lock);
  for (std::size_t k = 0; k < target->stories.size(); ++k) {
    story& s = target->stories[k];
    const auto found = std::ranges::find_if(s.items, [](const item& i) { return i.state == NEW; });
    if (found == s.items.end()) {
      StoreStorySummary(s);
      continue;
    }
    NewItemRef ref;
    ref.owner = target;
    ref.storyIndex = static_cast<std::int32_t>(k);
    ref.itemIndex = static_cast<std::int32_t>(found - s.items.begin());
    ref.editCount = target->editCount;
    ref.snapshot = ItemNames::Of(*found);
    return ref;
  }
  return std::nullopt;
}

bool RoStore::CompleteItemCheck(const NewItemRef& ref, std::int32_t newState,
                                std::int32_t mediaFrames, double rate,
                                const std::string& mediaPath) {
  if (!ref.owner) {
    return false;
  }
  ro& target = *ref.owner;
  std::lock_guard guard(target.lock);  // the ro lock: the item and editCount together
  if (target.editCount != ref.editCount || ref.storyIndex < 0 ||
      static_cast<std::size_t>(ref.storyIndex) >= target.stories.size()) {
    return false;
  }
  auto& items = target.stories[static_cast<std::size_t>(ref.storyIndex)].items;
  if (ref.itemIndex < 0 || static_cast<std::size_t>(ref.itemIndex) >= items.size()) {
    return false;
  }
  item& checked = items[static_cast<std::size_t>(ref.itemIndex)];
  if (checked.state != NEW) {
    return false;
  }
  checked.ComputeTiming(mediaFrames, rate);
  checked.mediaPath = MosText(mediaPath);
  checked.SetState(newState);
  StoreStorySummary(target.stories[static_cast<std::size_t>(ref.storyIndex)]);
  PostItemState(target, checked);
  ++version_;
  return true;
}

std::vector<NewItemRef> RoStore::CollectNewItems() {
  std::vector<std::shared_ptr<ro>> list;
  CopyRoList(list);
  std::vector<NewItemRef> found;
  for (const std::shared_ptr<ro>& r : list) {
    std::lock_guard guard(r->lock);  // the ro lock: its stories and editCount
    for (std::size_t k = 0; k < r->stories.size(); ++k) {
      const auto& items = r->stories[k].items;
      for (std::size_t j = 0; j < items.size(); ++j) {
        if (items[j].state == NEW) {
          found.push_back(NewItemRef{r, static_cast<std::int32_t>(k), static_cast<std::int32_t>(j),
                                     r->editCount, ItemNames::Of(items[j])});
        }
      }
    }
    FinishCheck(*r);
  }
  return found;
}

std::optional<NewItemRef> RoStore::FindItemRef(const MosText& roID, const MosText& storyID,
                                               const MosText& itemID) const {
  const std::shared_ptr<ro> r = GetRo(roID);
  if (!r) {
    return std::nullopt;
  }
  std::lock_guard guard(r->lock);  // the ro lock: its stories and editCount
  const std::int32_t s = r->FindStory(storyID);
  const std::int32_t i = s < 0 ? -1 : r->FindItem(s, itemID);
  if (i < 0) {
    return std::nullopt;
  }
  return NewItemRef{
      r, s, i, r->editCount,
      ItemNames::Of(r->stories[static_cast<std::size_t>(s)].items[static_cast<std::size_t>(i)])};
}

void RoStore::StoreStorySummary(story& s) {
  std::int32_t summary = READY;
  for (const item& i : s.items) {
    if (i.state == NEW) {
      return;
    }
    summary = i.state == NOT_READY ? NOT_READY : summary;
  }
  s.state = summary;
}

bool RoStore::FinishCheck(ro& target) {
  std::lock_guard guard(target.lock);  // the ro lock: item states, story states, checkState
  // Items are checked in running-order order, so a NEW item left is found near the end: looked
  // for from there, a check of each item in turn stays linear in the running order.
  for (auto s = target.stories.rbegin(); s != target.stories.rend(); ++s) {
    if (std::ranges::any_of(s->items, [](const item& i) { return i.state == NEW; })) {
      return false;
    }
  }
  for (story& s : target.stories) {
    StoreStorySummary(s);
  }
  if (target.checkState == CheckState::Checked) {
    return false;
  }
  target.checkState = CheckState::Checked;
  target.RecomputeSchedule();
  ++version_;
  return true;
}

RecheckResult RoStore::UpdateCheckedItem(const NewItemRef& ref, std::int32_t newState,
                                         std::int32_t mediaFrames, double rate,
                                         const std::string& mediaPath) {
  if (!ref.owner) {
    return RecheckResult::Stale;
  }
  ro& target = *ref.owner;
  std::lock_guard guard(target.lock);  // the ro lock: the item, editCount and the schedule
  if (target.editCount != ref.editCount || ref.storyIndex < 0 ||
      static_cast<std::size_t>(ref.storyIndex) >= target.stories.size()) {
    return RecheckResult::Stale;
  }
  story& s = target.stories[static_cast<std::size_t>(ref.storyIndex)];
  if (ref.itemIndex < 0 || static_cast<std::size_t>(ref.itemIndex) >= s.items.size()) {
    return RecheckResult::Stale;
  }
  item& checked = s.items[static_cast<std::size_t>(ref.itemIndex)];
  const std::int32_t state = checked.state;
  if (state != READY && state != NOT_READY) {
    return RecheckResult::Stale;
  }
  const std::optional<double> duration = checked.playDuration;
  const std::optional<double> in = checked.markIn;
  checked.ComputeTiming(mediaFrames, rate);
  if (state == newState && checked.playDuration == duration && checked.markIn == in &&
      checked.mediaPath.Str() == mediaPath) {
    return RecheckResult::Unchanged;
  }
  checked.mediaPath = MosText(mediaPath);
  checked.SetState(newState);
  std::int32_t summary = READY;
  for (const item& i : s.items) {
    summary = i.state == NOT_READY ? NOT_READY : summary;
  }
  if (s.state != 0) {
    s.state = summary;
  }
  if (target.checkState == CheckState::Checked) {
    target.RecomputeSchedule();
  }
  PostItemState(target, checked);
  ++version_;
  return RecheckResult::Changed;
}

void RoStore::PostItemState(const ro& r, const item& i) {
  if (persistence_ == nullptr || i.key == 0) {
    return;
  }
  RoChange change;
  change.roKey = r.key;
  change.states.push_back(ItemStateOf(i));
  persistence_->Post(std::move(change));
}

void RoStore::PostControl(const ro& r) {
  ++version_;
  if (persistence_ == nullptr || r.key == 0) {
    return;
  }
  RoChange change;
  change.roKey = r.key;
  change.control = EncodeControl(r);
  persistence_->Post(std::move(change));
}

EditResult RoStore::CommitControl(const ro& r, RoAckInfo& ack) {
  if (persistence_ == nullptr) {
    return EditResult::Ok;
  }
  RoChange change;
  change.roKey = r.key;
  {
    std::lock_guard guard(r.lock);  // the ro lock: the trigger and the item states
    change.control = EncodeControl(r);
    for (const story& s : r.stories) {
      for (const item& i : s.items) {
        change.states.push_back(ItemStateOf(i));
      }
    }
  }
  return Save(std::move(change), ack);
}

template <typename Change>
EditResult RoStore::EditRunningOrder(const MosText& roID, RoAckInfo& ack, Change change) {
  std::lock_guard edits(edits_);  // the edit lock, across the commit
  ack.roID = roID;
  const std::shared_ptr<ro> target = GetRo(roID);
  if (!target) {
    return EditResult::UnknownRo;
  }
  std::vector<const item*> itemRows;
  if (persistence_ == nullptr) {
    std::lock_guard guard(target->lock);  // the ro lock, for the change in place
    ++version_;
    return change(*target, itemRows);
  }
  ro working;
  working.logsDestruction = false;
  {
    std::lock_guard guard(target->lock);  // the ro lock, while it is copied
    working.CopyFieldsFrom(*target);
  }
  if (const EditResult changed = change(working, itemRows); changed != EditResult::Ok) {
    return changed;
  }
  RoChange saved;
  saved.roKey = working.key;
  saved.row = RowOf(working);
  for (const item* i : itemRows) {
    saved.items.push_back(StoredItem{working.key, EncodeItem(*i), ItemStateOf(*i)});
  }
  if (const EditResult result = Save(std::move(saved), ack); result != EditResult::Ok) {
    return result;
  }
  std::lock_guard guard(target->lock);  // the ro lock, for the same change on the real one
  itemRows.clear();
  ++version_;
  return change(*target, itemRows);
}

EditResult RoStore::ReplaceMetadata(const RoMetadata& fields, RoAckInfo& ack) {
  return EditRunningOrder(fields.roID, ack, [&](ro& target, std::vector<const item*>&) {
    for (const auto& [field, value] :
         {std::pair{&ro::roSlug, &fields.roSlug}, std::pair{&ro::roChannel, &fields.roChannel},
          std::pair{&ro::roEdDur, &fields.roEdDur}, std::pair{&ro::macroIn, &fields.macroIn},
          std::pair{&ro::macroOut, &fields.macroOut}}) {
      if (value->Present()) {
        target.*field = *value;
      }
    }
    if (fields.roTrigger.Present()) {
      target.roTrigger = fields.roTrigger;
      target.trigger = ParseTriggerMode(fields.roTrigger);
    }
    if (fields.roEdStart.Present()) {
      target.roEdStart = fields.roEdStart;
      target.SetEdStart(ParseEdStart(fields.roEdStart));
    }
    for (const auto& block : fields.metadata) {
      target.metadata.Replace(block);
    }
    // A start that moved takes effect at once: the playback thread reads startTime and
    // trigger under the ro lock on its next turn.
    target.RecomputeSchedule();
    return EditResult::Ok;
  });
}

EditResult RoStore::SetReadyToAir(const MosText& roID, const MosText& roAir, RoAckInfo& ack) {
  if (roAir.Str() != "READY" && roAir.Str() != "NOT READY") {
    ack.roID = roID;
    ack.detail = std::string("roAir ").append(roAir.Str());
    return EditResult::Malformed;
  }
  return EditRunningOrder(roID, ack, [&](ro& target, std::vector<const item*>&) {
    target.roAir = roAir;
    return EditResult::Ok;
  });
}

EditResult RoStore::SetStoryBody(const MosText& roID, const MosText& storyID, std::string body,
                                 RoAckInfo& ack) {
  return EditRunningOrder(roID, ack, [&](ro& target, std::vector<const item*>&) {
    const std::int32_t s = target.FindStory(storyID);
    if (s < 0) {
      ack.detail = storyID.Str();
      return EditResult::UnknownStory;
    }
    target.stories[static_cast<std::size_t>(s)].storyBody = MosText(body);
    return EditResult::Ok;
  });
}

EditResult RoStore::SetNrcsView(const MosText& roID, const ElementRef& element, NrcsView view,
                                RoAckInfo& ack) {
  return EditRunningOrder(roID, ack, [&](ro& target, std::vector<const item*>& itemRows) {
    if (element.storyID.IsEmpty()) {
      target.nrcs = view;
      return EditResult::Ok;
    }
    const std::int32_t s = target.FindStory(element.storyID);
    if (s < 0) {
      ack.detail = element.storyID.Str();
      return EditResult::UnknownStory;
    }
    story& found = target.stories[static_cast<std::size_t>(s)];
    if (element.itemID.IsEmpty()) {
      found.nrcs = view;
      return EditResult::Ok;
    }
    const std::int32_t i = target.FindItem(s, element.itemID);
    if (i < 0) {
      ack.detail = element.itemID.Str();
      return EditResult::UnknownItem;
    }
    item& changed = found.items[static_cast<std::size_t>(i)];
    changed.nrcs = view;
    itemRows.push_back(&changed);
    return EditResult::Ok;
  });
}

}  // namespace vidra

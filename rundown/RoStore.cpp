// The store's list operations and the media check's access to unchecked items.
#include "rundown/RoStore.h"

#include <utility>

namespace vidra {

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

EditResult RoStore::AddRo(std::unique_ptr<ro> newRo, RoAckInfo& ack) {
  std::shared_ptr<ro> replaced;  // declared first: a large old one is freed after the lock
  std::lock_guard guard(lock_);
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
  return EditResult::Ok;
}

EditResult RoStore::DeleteRo(const MosText& roID, RoAckInfo& ack) {
  std::shared_ptr<ro> deleted;  // freed after the lock
  std::lock_guard guard(lock_);
  const std::int32_t k = FindRo(roID);
  ack.roID = roID;
  if (k == -1) {
    return EditResult::UnknownRo;
  }
  deleted = std::move(ros_[static_cast<std::size_t>(k)]);
  ros_.erase(ros_.begin() + k);
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
    std::int32_t summary = READY;
    for (std::size_t j = 0; j < s.items.size(); ++j) {
      const std::int32_t state = s.items[j].state;
      if (state == NEW) {
        NewItemRef ref;
        ref.owner = target;
        ref.storyIndex = static_cast<std::int32_t>(k);
        ref.itemIndex = static_cast<std::int32_t>(j);
        ref.editCount = target->editCount;
        ref.snapshot = s.items[j];
        return ref;
      }
      if (state == NOT_READY) {
        summary = NOT_READY;
      }
    }
    s.state = summary;
  }
  return std::nullopt;
}

bool CompleteItemCheck(const NewItemRef& ref, std::int32_t newState, std::int32_t mediaFrames,
                       double rate) {
  if (!ref.owner) {
    return false;
  }
  ro& target = *ref.owner;
  std::lock_guard guard(target.lock);
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
  checked.SetState(newState);
  return true;
}

}  // namespace vidra

namespace vidra {

EditResult RoStore::ReplaceMetadata(const RoMetadata& fields, RoAckInfo& ack) {
  ack.roID = fields.roID;
  const std::shared_ptr<ro> target = GetRo(fields.roID);
  if (!target) {
    return EditResult::UnknownRo;
  }
  std::lock_guard guard(target->lock);  // the ro lock: its fields and schedule together
  for (const auto& [field, value] :
       {std::pair{&ro::roSlug, &fields.roSlug}, std::pair{&ro::roChannel, &fields.roChannel},
        std::pair{&ro::roEdDur, &fields.roEdDur}, std::pair{&ro::macroIn, &fields.macroIn},
        std::pair{&ro::macroOut, &fields.macroOut}}) {
    if (value->Present()) {
      (*target).*field = *value;
    }
  }
  if (fields.roTrigger.Present()) {
    target->roTrigger = fields.roTrigger;
    target->trigger = ParseTriggerMode(fields.roTrigger);
  }
  if (fields.roEdStart.Present()) {
    target->roEdStart = fields.roEdStart;
    target->SetEdStart(ParseEdStart(fields.roEdStart));
  }
  for (const auto& block : fields.metadata) {
    target->metadata.Replace(block);
  }
  // A start that moved takes effect at once: the playback thread reads startTime and
  // trigger under this lock on its next turn.
  target->RecomputeSchedule();
  return EditResult::Ok;
}

EditResult RoStore::SetReadyToAir(const MosText& roID, const MosText& roAir, RoAckInfo& ack) {
  ack.roID = roID;
  if (roAir.Str() != "READY" && roAir.Str() != "NOT READY") {
    ack.detail = "roAir " + roAir.Str();
    return EditResult::Malformed;
  }
  const std::shared_ptr<ro> target = GetRo(roID);
  if (!target) {
    return EditResult::UnknownRo;
  }
  std::lock_guard guard(target->lock);  // the ro lock: roAir
  target->roAir = roAir;
  return EditResult::Ok;
}

EditResult RoStore::SetStoryBody(const MosText& roID, const MosText& storyID, std::string body,
                                 RoAckInfo& ack) {
  ack.roID = roID;
  const std::shared_ptr<ro> target = GetRo(roID);
  if (!target) {
    return EditResult::UnknownRo;
  }
  std::lock_guard guard(target->lock);  // the ro lock: its stories
  const std::int32_t s = target->FindStory(storyID);
  if (s < 0) {
    ack.detail = storyID.Str();
    return EditResult::UnknownStory;
  }
  target->stories[static_cast<std::size_t>(s)].storyBody = MosText(std::move(body));
  return EditResult::Ok;
}

EditResult RoStore::SetNrcsView(const MosText& roID, const ElementRef& element, NrcsView view,
                                RoAckInfo& ack) {
  ack.roID = roID;
  const std::shared_ptr<ro> target = GetRo(roID);
  if (!target) {
    return EditResult::UnknownRo;
  }
  std::lock_guard guard(target->lock);  // the ro lock: its stories and items
  if (element.storyID.IsEmpty()) {
    target->nrcs = std::move(view);
    return EditResult::Ok;
  }
  const std::int32_t s = target->FindStory(element.storyID);
  if (s < 0) {
    ack.detail = element.storyID.Str();
    return EditResult::UnknownStory;
  }
  story& found = target->stories[static_cast<std::size_t>(s)];
  if (element.itemID.IsEmpty()) {
    found.nrcs = std::move(view);
    return EditResult::Ok;
  }
  const std::int32_t i = target->FindItem(s, element.itemID);
  if (i < 0) {
    ack.detail = element.itemID.Str();
    return EditResult::UnknownItem;
  }
  found.items[static_cast<std::size_t>(i)].nrcs = std::move(view);
  return EditResult::Ok;
}

}  // namespace vidra

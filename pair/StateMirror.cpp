#include "pair/StateMirror.h"

#include <algorithm>
#include <tuple>

namespace vidra {

void StateMirror::Reset(const StoredState& state) {
  ros_.clear();
  items_.clear();
  itemsOf_.clear();
  maxKey_ = state.maxKey;
  for (const StoredRo& row : state.ros) {
    ros_[row.key] = row;
    See(row.key);
  }
  for (const StoredItem& i : state.items) {
    itemsOf_[i.roKey].push_back(i.state.key);
    items_[i.state.key] = i;
    See(i.state.key);
  }
}

void StateMirror::Apply(const RoChange& c) {
  const auto removeItemsOf = [this](std::uint64_t roKey) {
    const auto found = itemsOf_.find(roKey);
    if (found == itemsOf_.end()) {
      return;
    }
    for (const std::uint64_t key : found->second) {
      const auto item = items_.find(key);
      if (item != items_.end() && item->second.roKey == roKey) {
        items_.erase(item);
      }
    }
    itemsOf_.erase(found);
  };
  if (c.removeRo) {
    removeItemsOf(c.roKey);
    ros_.erase(c.roKey);
  }
  if (c.row) {
    StoredRo row = *c.row;
    row.key = c.roKey;
    ros_[c.roKey] = std::move(row);
    See(c.roKey);
  } else if (c.control) {
    const auto found = ros_.find(c.roKey);
    if (found != ros_.end()) {
      found->second.control = *c.control;
    }
  }
  if (c.replaceItems) {
    removeItemsOf(c.roKey);
  }
  for (const StoredItem& i : c.items) {
    StoredItem kept = i;
    kept.roKey = c.roKey;
    const auto found = items_.find(i.state.key);
    if (found == items_.end() || found->second.roKey != c.roKey) {
      if (found != items_.end()) {
        Unlist(found->second.roKey, i.state.key);
      }
      itemsOf_[c.roKey].push_back(i.state.key);
    }
    items_[i.state.key] = std::move(kept);
    See(i.state.key);
  }
  for (const std::uint64_t key : c.removedItems) {
    const auto found = items_.find(key);
    if (found != items_.end()) {
      Unlist(found->second.roKey, key);
      items_.erase(found);
    }
  }
  for (const StoredItemState& s : c.states) {
    const auto found = items_.find(s.key);
    if (found != items_.end()) {
      found->second.state = s;
    }
  }
}

void StateMirror::Unlist(std::uint64_t roKey, std::uint64_t itemKey) {
  const auto list = itemsOf_.find(roKey);
  if (list != itemsOf_.end()) {
    std::erase(list->second, itemKey);
  }
}

StoredState StateMirror::Copy() const {
  StoredState out;
  out.maxKey = maxKey_;
  out.ros.reserve(ros_.size());
  for (const auto& [key, row] : ros_) {
    out.ros.push_back(row);
  }
  std::sort(out.ros.begin(), out.ros.end(), [](const StoredRo& a, const StoredRo& b) {
    return std::tie(a.channel, a.position, a.key) < std::tie(b.channel, b.position, b.key);
  });
  out.items.reserve(items_.size());
  for (const auto& [key, i] : items_) {
    out.items.push_back(i);
  }
  return out;
}

std::vector<StoredItem> StateMirror::ItemsOf(std::uint64_t roKey) const {
  std::vector<StoredItem> items;
  if (const auto found = itemsOf_.find(roKey); found != itemsOf_.end()) {
    for (const std::uint64_t itemKey : found->second) {
      const auto i = items_.find(itemKey);
      if (i != items_.end() && i->second.roKey == roKey) {
        items.push_back(i->second);
      }
    }
  }
  return items;
}

bool StateMirror::RoOf(std::uint64_t key, StoredState& out) const {
  out = StoredState{};
  const auto row = ros_.find(key);
  if (row == ros_.end()) {
    return false;
  }
  out.ros.push_back(row->second);
  out.items = ItemsOf(key);
  out.maxKey = maxKey_;
  return true;
}

std::vector<RoChange> StateMirror::AsChanges() const {
  std::vector<RoChange> out;
  out.reserve(ros_.size());
  for (const auto& [key, row] : ros_) {
    RoChange c;
    c.roKey = key;
    c.row = row;
    c.replaceItems = true;
    c.items = ItemsOf(key);
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<std::uint64_t> StateMirror::RoKeys() const {
  std::vector<std::uint64_t> keys;
  keys.reserve(ros_.size());
  for (const auto& [key, row] : ros_) {
    keys.push_back(key);
  }
  return keys;
}

}  // namespace vidra

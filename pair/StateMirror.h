// The whole stored state in memory, changed by the same changes the database takes: the
// main copies it for a backup that needs everything, the backup's channels take their
// running orders from it. Not shared by itself: its owner locks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "rundown/RoPersistence.h"

namespace vidra {

class StateMirror {
 public:
  void Reset(const StoredState& state);
  // What the database does with the change, done in memory.
  void Apply(const RoChange& change);
  // The state as the database would load it: running orders by channel and position.
  StoredState Copy() const;
  // Each running order as a change that writes it whole, for a copy sent over the link.
  std::vector<RoChange> AsChanges() const;
  std::vector<std::uint64_t> RoKeys() const;
  // One running order and its items into out (which it replaces); false when none has key.
  bool RoOf(std::uint64_t key, StoredState& out) const;
  std::uint64_t MaxKey() const { return maxKey_; }
  std::size_t RoCount() const { return ros_.size(); }

 private:
  void Unlist(std::uint64_t roKey, std::uint64_t itemKey);
  std::vector<StoredItem> ItemsOf(std::uint64_t roKey) const;
  void See(std::uint64_t key) { maxKey_ = key > maxKey_ ? key : maxKey_; }
  std::map<std::uint64_t, StoredRo> ros_;
  std::unordered_map<std::uint64_t, StoredItem> items_;
  std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> itemsOf_;  // by running order
  std::uint64_t maxKey_ = 0;
};

}  // namespace vidra

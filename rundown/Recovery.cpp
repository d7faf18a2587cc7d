#include "rundown/Recovery.h"

#include <unordered_map>

#include "common/Log.h"
#include "rundown/RoCodec.h"

namespace vidra {

namespace {

// What nothing can still be after a start: on air, cued or paused items have ended, and
// what the media check found may have changed while the server was down.
void SettleStates(ro& r) {
  for (story& s : r.stories) {
    s.state = 0;
    for (item& i : s.items) {
      const std::int32_t state = i.state;
      if (state == CUE || state == PLAY || state == PAUSE) {
        i.state = DONE;
      } else if (state == READY || state == NOT_READY) {
        i.state = NEW;
      }
    }
  }
  r.checkState = CheckState::Unchecked;
}

}  // namespace

std::size_t ChannelOf(const StoredRo& row, std::size_t storeCount) {
  return row.channel >= 0 && static_cast<std::size_t>(row.channel) < storeCount
             ? static_cast<std::size_t>(row.channel)
             : 0;
}

bool DecodeFollowed(const StoredRo& row, const std::vector<StoredItem>& items, ro& out,
                    std::string& error) {
  std::unordered_map<std::uint64_t, const StoredItem*> byKey;
  for (const StoredItem& i : items) {
    byKey.emplace(i.state.key, &i);
  }
  return DecodeRo(row, byKey, out, error);
}

bool RestoreRunningOrders(RoPersistence& persistence, RoStore* stores, std::size_t storeCount,
                          FileTime localNow, std::atomic<std::uint64_t>& keys,
                          std::size_t& restored, std::string& error, RestoreAs as) {
  StoredState stored;
  if (!persistence.Load(stored, error)) {
    return false;
  }
  std::unordered_map<std::uint64_t, const StoredItem*> items;
  items.reserve(stored.items.size());
  for (const StoredItem& i : stored.items) {
    items.emplace(i.state.key, &i);
  }
  std::vector<std::vector<std::unique_ptr<ro>>> byChannel(storeCount);
  std::vector<std::pair<std::size_t, const ro*>> consumed;
  for (const StoredRo& row : stored.ros) {
    auto r = std::make_unique<ro>();
    if (!DecodeRo(row, items, *r, error)) {
      return false;
    }
    if (as == RestoreAs::Follower) {
      byChannel[ChannelOf(row, storeCount)].push_back(std::move(r));
      continue;
    }
    SettleStates(*r);
    if (r->trigger == TIMED && r->startTime <= localNow) {
      Log("VIDRA - running order %s was TIMED for %s, which passed while the server was down: "
          "it is not started",
          r->roID.CStr(), FormatFileTime(r->startTime, false).c_str());
      r->ConsumeTimedStart();
      consumed.emplace_back(ChannelOf(row, storeCount), r.get());
    }
    byChannel[ChannelOf(row, storeCount)].push_back(std::move(r));
  }
  keys = stored.maxKey + 1;
  for (const auto& [channel, r] : consumed) {
    stores[channel].PostControl(*r);  // a start used up here is saved as any other
  }
  restored = 0;
  for (std::size_t k = 0; k < storeCount; ++k) {
    restored += byChannel[k].size();
    stores[k].Restore(std::move(byChannel[k]));
  }
  return true;
}

}  // namespace vidra

#include "host/ChannelFollower.h"

#include "common/Log.h"
#include "common/ThreadPriority.h"

namespace vidra {

namespace {

// Play events (item states) are most of what comes: applied in place, so that the running
// order is not built again and checked again for each.
bool StatesOnly(const RoChange& change) {
  return !change.row && !change.control && !change.replaceItems && change.items.empty() &&
         change.removedItems.empty();
}

}  // namespace

ChannelFollower::ChannelFollower(PlayoutManager& player, ReplicatedState& state, bool following)
    : player_(player), state_(state) {
  player_.following = following;
  thread_ = std::jthread([this](const std::stop_token& stop) { Run(stop); });
  watch_ = std::jthread([this](const std::stop_token& stop) { Watch(stop); });
}

ChannelFollower::~ChannelFollower() {
  watch_.request_stop();
  thread_.request_stop();
}

void ChannelFollower::Take(const RoChange* change) {
  std::lock_guard lock(queueLock_);  // ops_ and rebuilding_
  if (change == nullptr) {
    ops_.clear();  // a copy replaces everything before it
    rebuilding_.clear();
    ops_.push_back(Op{Op::Kind::Copy, 0, {}});
  } else if (change->removeRo) {
    rebuilding_.erase(change->roKey);
    ops_.push_back(Op{Op::Kind::Remove, change->roKey, {}});
  } else if (StatesOnly(*change)) {
    // A rebuild still queued reads memory, which has these states already.
    if (!rebuilding_.contains(change->roKey)) {
      ops_.push_back(Op{Op::Kind::States, change->roKey, change->states});
    }
  } else if (rebuilding_.insert(change->roKey).second) {
    ops_.push_back(Op{Op::Kind::Rebuild, change->roKey, {}});
  }
  queued_.notify_one();
}

void ChannelFollower::Run(const std::stop_token& stop) {
  LowerThisThreadPriority("pair follower");
  for (;;) {
    std::vector<Op> ops;
    {
      std::unique_lock lock(queueLock_);  // ops_ and rebuilding_
      if (!queued_.wait(lock, stop, [this] { return !ops_.empty(); })) {
        return;
      }
      ops.swap(ops_);
      rebuilding_.clear();
    }
    std::lock_guard lock(lock_);  // followed_ and the channels' running orders
    for (const Op& op : ops) {
      if (!player_.following) {
        break;  // promoted meanwhile: the channels are this server's own now
      }
      Apply(op);
    }
  }
}

void ChannelFollower::Apply(const Op& op) {
  std::string error;
  if (op.kind == Op::Kind::Copy) {
    followed_ = player_.FollowAll(state_, error);
    if (!followed_) {
      Log("VIDRA - pair: the main's copy cannot be put into the channels: %s", error.c_str());
    }
    return;
  }
  if (!followed_) {
    return;  // the copy these changes follow did not go in
  }
  if (op.kind == Op::Kind::Remove) {
    player_.UnfollowRo(op.roKey);
  } else if (op.kind == Op::Kind::States) {
    player_.FollowStates(op.states);
  } else {
    StoredState one;
    // Not held: removed by a later change, whose turn comes.
    if (state_.LoadRo(op.roKey, one) && !player_.FollowRo(one, error)) {
      Log("VIDRA - pair: running order %llu of the main cannot be followed: %s",
          static_cast<unsigned long long>(op.roKey), error.c_str());
    }
  }
}

bool ChannelFollower::Release() {
  {
    std::lock_guard queue(queueLock_);  // ops_ and rebuilding_
    ops_.clear();
    rebuilding_.clear();
  }
  std::lock_guard lock(lock_);  // followed_ and the channels' running orders
  player_.following = false;
  return std::exchange(followed_, false);
}

void ChannelFollower::Restart() {
  std::lock_guard lock(lock_);  // followed_ and the channels' running orders
  player_.following = true;     // first: what stops now is the new main's to tell
  followed_ = false;
  player_.ForgetRunningOrders();
}

MediaLack ChannelFollower::Lacking() const {
  std::lock_guard lock(lacksLock_);  // lacks_
  return lacks_;
}

void ChannelFollower::Watch(const std::stop_token& stop) {
  std::mutex idle;
  std::unique_lock wait(idle);
  std::condition_variable_any never;
  while (
      !never.wait_for(wait, stop, std::chrono::seconds(2), [&] { return stop.stop_requested(); })) {
    MediaLack found;
    if (player_.following) {
      PlayoutManager::MissingMedia missing = player_.MediaMissingHere(5);
      found = MediaLack{missing.count, std::move(missing.names)};
    }
    std::lock_guard lock(lacksLock_);  // lacks_
    lacks_ = std::move(found);
  }
}

}  // namespace vidra

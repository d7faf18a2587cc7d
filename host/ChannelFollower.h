// A backup's channels following its main. The changes the link applies go into the
// channels' running orders on a thread of this object's own, at a low priority, after the
// link has acknowledged them: the main's wait never includes the channels' work, and on a
// machine the two servers share the main's threads come first. Edits of one running order
// that come faster than the channels take them are taken as one: the running order as the
// backup's memory holds it by then. Item states are applied in place, in order. Another
// thread looks every 2 s for the files of the items the main made ready or put on air, and
// keeps what this server lacks for the link to tell the main.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "pair/PairLink.h"
#include "pair/ReplicatedState.h"
#include "playout/PlayoutManager.h"

namespace vidra {

class ChannelFollower {
 public:
  // following: whether the server starts as backup (its channels follow, empty until the
  // main's copy comes).
  ChannelFollower(PlayoutManager& player, ReplicatedState& state, bool following);
  ~ChannelFollower();
  ChannelFollower(const ChannelFollower&) = delete;
  ChannelFollower& operator=(const ChannelFollower&) = delete;

  // From the link's thread: one change applied (null: a whole copy), for the channels.
  void Take(const RoChange* change);
  // A promotion: the channels are this server's own from now on. True when they hold the
  // main's running orders (its copy went in), so that what plays goes on as it is.
  bool Release();
  // A demotion: the channels let go of what they hold and follow the next main's copy.
  void Restart();
  // The items this server lacks the media of, as last looked at.
  MediaLack Lacking() const;

 private:
  struct Op {
    enum class Kind { Copy, Rebuild, Remove, States } kind = Kind::Copy;
    std::uint64_t roKey = 0;
    std::vector<StoredItemState> states;
  };
  void Run(const std::stop_token& stop);
  // Puts one change into the channels. The caller holds lock_.
  void Apply(const Op& op);
  void Watch(const std::stop_token& stop);

  PlayoutManager& player_;
  ReplicatedState& state_;

  std::mutex queueLock_;  // guards ops_ and rebuilding_
  std::condition_variable_any queued_;
  std::vector<Op> ops_;
  std::unordered_set<std::uint64_t> rebuilding_;  // running orders with a Rebuild in ops_

  std::mutex lock_;        // the channels' followed running orders against a role change; followed_
  bool followed_ = false;  // the channels hold the main's copy and every change since

  mutable std::mutex lacksLock_;  // lacks_
  MediaLack lacks_;

  std::jthread thread_;  // last: stopped before what it uses goes
  std::jthread watch_;
};

}  // namespace vidra

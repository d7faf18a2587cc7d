// The newsroom's own pair: a main NRCS and its buddy, set up with [Network] NrcsBuddy.
// Either may send the running orders (the same roID from both is one running order); the
// status notices go to the one that is active. The main is active until it fails to take a
// notice: it cannot be reached, its connection is lost, it gives no answer, or it answers
// that it is not the active one. The buddy is then active until the main comes back: any
// message from a main that could not be reached, a running-order message from one that
// would not answer, or the buddy's own answer that the main is available. Without a
// buddy every NRCS host gets the notices of the running orders it sent, as before.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/FileTime.h"

namespace vidra {

// Where notices go at one moment; copied out so that the notice queue is searched without
// the pair's lock held. Addresses in network order, 0 for none.
struct NrcsRoute {
  in_addr_t buddy = 0;  // 0: no pair
  in_addr_t main = 0;   // the main NRCS last heard, 0 before any
  bool buddyActive = false;

  // The sender that takes a notice meant for noticeHost (0: any sender).
  in_addr_t For(in_addr_t noticeHost) const;
  bool Takes(in_addr_t sender, in_addr_t noticeHost) const {
    const in_addr_t target = For(noticeHost);
    return target == 0 || target == sender;
  }
};

// How a host failed to take a notice.
enum class NrcsFault {
  Unreachable,  // no connection could be made, or it was lost
  Declined,     // no answer in time, or an answer that it is not the active one
};

// For the page and /api/state.
struct NrcsPairView {
  in_addr_t main = 0;
  in_addr_t buddy = 0;
  bool buddyActive = false;
  std::uint64_t failovers = 0;  // changes of the active NRCS since the start
  FileTime since = 0;           // UTC of the last change, 0 for none
  std::string why;              // why the last change was made
};

class NrcsPair {
 public:
  // Sets the buddy (0: none) and makes the main active; for each start of the server.
  void Configure(in_addr_t buddy);
  NrcsRoute Route() const;
  // A message from host at when (UTC); editing is true for a message about running orders
  // (not a heartbeat or an acknowledgement). The main is the host that sent running orders
  // last (or the first one heard). The host whose notice sender should run, when this made
  // it active or it was active and could not be reached before.
  std::optional<in_addr_t> Heard(in_addr_t host, bool editing, FileTime when);
  // host did not take a notice. The host that is active now when this turned the pair to
  // it; nothing when host is not of the pair, not the active one, or the other one could
  // not be reached either.
  std::optional<in_addr_t> Failed(in_addr_t host, NrcsFault fault, std::string_view why,
                                  FileTime when);
  NrcsPairView Describe() const;

 private:
  // Heard for the buddy and for a main; the lock is held. turned gets why the pair turned,
  // when it did.
  std::optional<in_addr_t> BuddyHeard(FileTime when, std::string& turned);
  std::optional<in_addr_t> MainHeard(in_addr_t host, bool editing, FileTime when,
                                     std::string& turned);
  // Turns the pair to the other host; the lock is held.
  in_addr_t Turn(std::string why, FileTime when);

  mutable std::mutex lock_;  // guards every field below
  NrcsRoute route_;
  bool mainUnreachable_ = false;
  bool buddyUnreachable_ = false;
  // The main would not answer: only a running-order message brings it back.
  bool mainDeclined_ = false;
  std::uint64_t failovers_ = 0;
  FileTime since_ = 0;
  std::string why_;
};

// True when the status of an NRCS's negative acknowledgement says it is not the active one
// of its pair ("Buddy server cannot respond because main server is available", "not active").
bool SaysNotActive(std::string_view status);

// True for a message kind about running orders (roCreate, roElementAction, ...), which only
// the active NRCS of a pair sends; false for heartbeats, acknowledgements and the like.
bool IsRunningOrderMessage(std::string_view kind);

}  // namespace vidra

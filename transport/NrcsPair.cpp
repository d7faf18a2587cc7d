#include "transport/NrcsPair.h"

#include <utility>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

in_addr_t NrcsRoute::For(in_addr_t noticeHost) const {
  if (buddy == 0) {
    return noticeHost;
  }
  if (buddyActive) {
    return buddy;
  }
  // With a buddy set up, every other host is its main; before the main is heard, a notice
  // stays with the host that sent the running order.
  return main != 0 ? main : noticeHost;
}

void NrcsPair::Configure(in_addr_t buddy) {
  std::lock_guard guard(lock_);  // the route and its history
  route_ = NrcsRoute{.buddy = buddy};
  mainUnreachable_ = false;
  buddyUnreachable_ = false;
  mainDeclined_ = false;
  failovers_ = 0;
  since_ = 0;
  why_.clear();
}

NrcsRoute NrcsPair::Route() const {
  std::lock_guard guard(lock_);  // the route
  return route_;
}

std::optional<in_addr_t> NrcsPair::Heard(in_addr_t host, bool editing, FileTime when) {
  std::string turned;
  std::optional<in_addr_t> wake;
  bool toBuddy = false;
  {
    std::lock_guard guard(lock_);  // the route and its history
    if (route_.buddy == 0 || host == 0) {
      return std::nullopt;
    }
    wake = host == route_.buddy ? BuddyHeard(when, turned) : MainHeard(host, editing, when, turned);
    toBuddy = route_.buddyActive;
  }
  if (!turned.empty()) {
    Log("VIDRA - notices go to the %s NRCS %s from now on: %s\n", toBuddy ? "buddy" : "main",
        FormatIPv4(*wake).c_str(), turned.c_str());
  }
  return wake;
}

std::optional<in_addr_t> NrcsPair::BuddyHeard(FileTime when, std::string& turned) {
  if (!std::exchange(buddyUnreachable_, false)) {
    return std::nullopt;
  }
  if (route_.buddyActive) {
    return route_.buddy;  // its sender runs again
  }
  if (!mainUnreachable_ && !mainDeclined_) {
    return std::nullopt;  // the main takes the notices
  }
  // Both failed, the main first: the one heard first takes the notices.
  turned = "buddy NRCS " + FormatIPv4(route_.buddy) +
           " is heard again, and the main does not take notices";
  return Turn(turned, when);
}

std::optional<in_addr_t> NrcsPair::MainHeard(in_addr_t host, bool editing, FileTime when,
                                             std::string& turned) {
  if (host != route_.main && route_.main != 0 && !editing) {
    return std::nullopt;  // a host that sends no running orders (a monitor, say) is no main
  }
  if (host != route_.main) {
    // Another main (the first heard, or one that sends running orders now): what was known
    // of the last one is not its.
    route_.main = host;
    mainUnreachable_ = false;
    mainDeclined_ = false;
  }
  const bool wasUnreachable = std::exchange(mainUnreachable_, false);
  if (!route_.buddyActive) {
    return wasUnreachable ? std::optional(host) : std::nullopt;
  }
  if (!(wasUnreachable && !mainDeclined_) && !editing) {
    return std::nullopt;
  }
  mainDeclined_ = false;
  turned = "main NRCS " + FormatIPv4(host) + " is heard again";
  return Turn(turned, when);
}

std::optional<in_addr_t> NrcsPair::Failed(in_addr_t host, NrcsFault fault, std::string_view why,
                                          FileTime when) {
  std::string reason;
  in_addr_t active = 0;
  bool toBuddy = false;
  {
    std::lock_guard guard(lock_);  // the route and its history
    if (route_.buddy == 0 || host == 0) {
      return std::nullopt;
    }
    const bool isBuddy = host == route_.buddy;
    if (!isBuddy && route_.main != 0 && host != route_.main) {
      return std::nullopt;  // another NRCS's notices: they do not go to this pair
    }
    if (isBuddy) {
      buddyUnreachable_ = fault == NrcsFault::Unreachable;
    } else {
      route_.main = host;
      mainUnreachable_ = fault == NrcsFault::Unreachable;
      mainDeclined_ = fault == NrcsFault::Declined;
    }
    if (isBuddy != route_.buddyActive) {
      return std::nullopt;  // not the active one: its notices go elsewhere already
    }
    const bool otherUnreachable =
        isBuddy ? route_.main == 0 || mainUnreachable_ : buddyUnreachable_;
    if (otherUnreachable) {
      return std::nullopt;  // the notices wait for whichever is heard first
    }
    if (isBuddy) {
      mainDeclined_ = false;
    }
    reason = std::string(isBuddy ? "buddy" : "main") + " NRCS " + FormatIPv4(host) + " " +
             std::string(why);
    active = Turn(reason, when);
    toBuddy = route_.buddyActive;
  }
  Log("VIDRA - notices go to the %s NRCS %s from now on: %s\n", toBuddy ? "buddy" : "main",
      FormatIPv4(active).c_str(), reason.c_str());
  return active;
}

in_addr_t NrcsPair::Turn(std::string why, FileTime when) {
  route_.buddyActive = !route_.buddyActive;
  ++failovers_;
  since_ = when;
  why_ = std::move(why);
  return route_.buddyActive ? route_.buddy : route_.main;
}

NrcsPairView NrcsPair::Describe() const {
  std::lock_guard guard(lock_);  // the route and its history
  return NrcsPairView{route_.main, route_.buddy, route_.buddyActive, failovers_, since_, why_};
}

bool SaysNotActive(std::string_view status) {
  return ContainsFolded(status, "not active") || ContainsFolded(status, "cannot respond") ||
         ContainsFolded(status, "main server is available");
}

bool IsRunningOrderMessage(std::string_view kind) {
  return kind.size() > 2 && kind.substr(0, 2) == "ro" && kind != "roAck";
}

}  // namespace vidra

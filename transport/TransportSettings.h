// The optional [Network] and [Journal] settings: where the server listens, where notices go,
// how many connections it serves and how much journal text it keeps. Read once at
// InitMOSSrv; immutable after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/HResult.h"
#include "common/Settings.h"
#include "transport/MessageQueue.h"

namespace vidra {

// An IPv4 address or range that may connect: host-order address and mask.
struct HostRange {
  std::uint32_t address = 0;
  std::uint32_t mask = 0xFFFFFFFFu;
  bool Contains(std::uint32_t host) const { return (host & mask) == (address & mask); }
};

struct TransportSettings {
  std::uint32_t listenAddress = 0;  // IPv4 in host order; 0 listens on every local address
  std::uint32_t lowerPort = 10540;
  std::uint32_t upperPort = 10541;
  std::uint32_t queryPort = 10542;
  std::uint32_t nrcsUpperPort = 10541;
  // Where the server sends the object messages it starts itself (mosObj).
  std::uint32_t nrcsLowerPort = 10540;
  // Connections served at once on both ports together; one more is closed at accept.
  std::uint32_t maxConnections = 64;
  std::size_t journalTextBytes = kDefaultJournalTextBytes;
  // [State] ResyncOnConnect: the first upper-port connection of an NRCS host after a start
  // makes the server ask it for the running orders it does not hold.
  bool resyncOnConnect = true;
  // [Media] PushObjects: objects added, changed or removed are sent to the NRCS as mosObj.
  bool pushObjects = true;
  // [Network] NrcsBuddy: the buddy of the main NRCS (IPv4 in host order; 0: none). Notices go
  // to the buddy while the main does not take them.
  std::uint32_t nrcsBuddy = 0;
  // [Network] AllowedHosts: the hosts that may connect; empty lets every host connect.
  std::vector<HostRange> allowedHosts;

  // Whether a peer (host order) may connect.
  bool Allows(std::uint32_t host) const;
};

// "10.1.2.3, 192.168.0.0/16 127.0.0.1": addresses and CIDR ranges, separated by commas or
// blanks. False, with what is wrong in error, for an entry that is neither.
bool ParseHostRanges(std::string_view text, std::vector<HostRange>& out, std::string& error);

// Reads the two sections, [State] ResyncOnConnect and [Media] PushObjects; absent values keep their
// defaults. A value that is present but wrong gives E_INVALIDARG and an error text naming the file,
// the key and the value.
HResult ReadTransportSettings(const SettingsSource& source, TransportSettings& out,
                              std::string& error);

}  // namespace vidra

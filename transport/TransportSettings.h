// The optional [Network] and [Journal] settings: where the server listens, where notices go,
// how many connections it serves and how much journal text it keeps. Read once at
// InitMOSSrv; immutable after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/HResult.h"
#include "common/Settings.h"
#include "transport/MessageQueue.h"

namespace vidra {

struct TransportSettings {
  std::uint32_t listenAddress = 0;  // IPv4 in host order; 0 listens on every local address
  std::uint32_t lowerPort = 10540;
  std::uint32_t upperPort = 10541;
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
};

// Reads the two sections, [State] ResyncOnConnect and [Media] PushObjects; absent values keep their
// defaults. A value that is present but wrong gives E_INVALIDARG and an error text naming the file,
// the key and the value.
HResult ReadTransportSettings(const SettingsSource& source, TransportSettings& out,
                              std::string& error);

}  // namespace vidra

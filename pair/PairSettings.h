// The [Pair] settings: whether this server is one of a main/backup pair, which it is, where
// its peer listens and how long the main waits for the backup before it answers alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/HResult.h"
#include "common/Settings.h"

namespace vidra {

enum class PairRole : std::uint8_t {
  Single = 0,  // no pair: the server answers on its own, as it always has
  Main = 1,
  Backup = 2,
};
// "single", "main", "backup".
const char* PairRoleName(PairRole role);

// The main answers an edit once the backup has it, or after this at the latest. A roAck is
// due within seconds on most NRCSs; a backup on the station's network answers within a few
// milliseconds (its commit included), so a wait this long means the backup is in trouble,
// and it is short enough for a bulletin's edits not to queue behind it.
constexpr std::chrono::milliseconds kDefaultSyncTimeout{250};

struct PairSettings {
  PairRole role = PairRole::Single;  // [Pair] Role: main or backup
  std::string peerHost;              // [Pair] Peer = host:port, the other server's link
  std::uint16_t peerPort = 0;
  std::uint16_t port = 0;  // [Pair] Port: where this server takes the link (0: any free)
  std::chrono::milliseconds syncTimeout = kDefaultSyncTimeout;  // [Pair] SyncTimeout, in ms
};

// Absent values keep their defaults; a Role without a Peer, or a wrong value, gives
// E_INVALIDARG and a text naming the file, the key and the value.
HResult ReadPairSettings(const SettingsSource& source, PairSettings& out, std::string& error);

}  // namespace vidra

// The playlist files, written at shutdown and, at most once a second, after a change: each
// channel's running orders as wait, comment and
// movie lines, UTF-16LE with a byte-order mark and CRLF line ends, the form playout
// automation reads. Run on the control thread after the playout threads have ended.
#pragma once

#include <string>

#include "rundown/RoStore.h"

namespace vidra {

// "hh:mm:ss.ff" with ff in hundredths of a second; the sign is dropped and the hour is
// clamped at 23.
std::string FormatTimecode(double seconds);

// Writes the playlist file at path, replacing an old one whole (through a temporary file
// renamed over it). False, with a log line naming the path and the reason, when the file
// cannot be created or written completely; the old one then stays.
bool WritePlaylistFile(const std::string& path, const RoStore& store);

}  // namespace vidra

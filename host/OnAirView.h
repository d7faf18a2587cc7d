// What an operator runs a show from, read off a running server as JSON: per channel the item
// on air with its start stamp, elapsed and remaining time, the next item, the next timed
// start with what it will cut, and per running order its totals; the NRCS links; the alarms.
// Times are station-local ISO 8601 with their offset, lengths in seconds. Every read goes
// through the locks of the part it reads, one at a time.
#pragma once

#include <nlohmann/json.hpp>

#include "host/ControlObject.h"

namespace vidra {

// How long a link may be silent before the page calls it quiet: NRCSs send a heartbeat
// every few seconds to a minute.
constexpr FileTime kQuietLinkTicks = 120 * kTicksPerSecond;
// How long an alarm for an event (a cut, a dropped notice) stays after it.
constexpr FileTime kEventAlarmTicks = 600 * kTicksPerSecond;

// The whole on-air picture: now, the station's offset, state and phase, the badge, links,
// alarms and channels.
nlohmann::json OnAirView(const CMOS_SRV_STNDRT& control);
// Per NRCS host: connected, its last message, heartbeat and acknowledgement, notices
// waiting, the sender, resync.
nlohmann::json LinksView(const CMOS_SRV_STNDRT& control);

}  // namespace vidra

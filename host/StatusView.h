// What the status page and monitoring read off a running server, as JSON and as Prometheus
// text. Every read goes through the locks of the part it reads, one at a time, and nothing
// is held once a view is built; the web side writes to the network only after that.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "host/ControlObject.h"

namespace vidra {

// The state with its name, the age of the newest message and the ports listened on.
nlohmann::json StateView(const CMOS_SRV_STNDRT& control);
// The NRCS connections being served, with their ports and journal client numbers.
nlohmann::json PeersView(const CMOS_SRV_STNDRT& control);
// Per channel its running orders, stories and items with their play state, planned start
// and duration, and the item on air with its remaining time; with the view's version, and
// only that ("unchanged": true) when it equals unless. An outline leaves out the stories:
// each running order's own version says when to ask for it (RunningOrderView).
nlohmann::json ChannelsView(const CMOS_SRV_STNDRT& control, const std::string& unless = "",
                            bool outline = false);
// One running order of a channel with its stories and its version; none when there is none.
std::optional<nlohmann::json> RunningOrderView(const CMOS_SRV_STNDRT& control, std::int64_t channel,
                                               const std::string& roID);
// Up to limit journal entries, newest first, starting at entry before - 1 (all when before
// is negative), each with the start of its text.
nlohmann::json JournalView(const CMOS_SRV_STNDRT& control, std::int64_t before, std::size_t limit);
// One journal entry with its whole text; none when there is no such entry.
std::optional<nlohmann::json> JournalEntryView(const CMOS_SRV_STNDRT& control, std::int64_t number);
// The pre-air readiness sheet (see BuildReadiness): per channel and running order, every
// item's media against its plan, problems first, with the totals.
nlohmann::json ReadinessView(const CMOS_SRV_STNDRT& control);
// The same sheet as text for a terminal; a line saying so before InitMOSSrv.
std::string ReadinessTextView(const CMOS_SRV_STNDRT& control);
// The counters, the gauges read now, and the start-error histogram, in the Prometheus
// text format.
std::string MetricsView(const CMOS_SRV_STNDRT& control);
// The pair's role, peer, link and progress; null without a pair.
nlohmann::json PairView(const CMOS_SRV_STNDRT& control);
// The newsroom's main NRCS and its buddy: which one takes the notices; null without a buddy.
nlohmann::json NrcsPairJson(const CMOS_SRV_STNDRT& control);

}  // namespace vidra

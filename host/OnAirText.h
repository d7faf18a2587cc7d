// The on-air view (OnAirView's JSON) as lines for a terminal: the clock with its zone once,
// the link, the alarms, then per channel what plays, what is next and the next timed start.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vidra {

std::string OnAirText(const nlohmann::json& view);

}  // namespace vidra

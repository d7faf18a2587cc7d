#include "host/OnAirText.h"

#include <cstdio>

#include "common/FileTime.h"
#include "host/ShowTimes.h"

namespace vidra {

namespace {

using nlohmann::json;

std::string Text(const json& value, const char* key) {
  const auto found = value.find(key);
  return found != value.end() && found->is_string() ? found->get<std::string>() : std::string();
}

double Number(const json& value, const char* key) {
  const auto found = value.find(key);
  return found != value.end() && found->is_number() ? found->get<double>() : 0.0;
}

// "12:09:30" of an ISO 8601 station time: the zone is said once, in the first line.
std::string ClockOf(const std::string& iso) {
  return iso.size() >= 19 ? iso.substr(11, 8) : iso;
}

std::int64_t Ticks(double seconds) {
  return static_cast<std::int64_t>(seconds * static_cast<double>(kTicksPerSecond) +
                                   (seconds < 0 ? -0.5 : 0.5));
}

std::string Named(const json& item) {
  std::string text = Text(item, "storyID") + "/" + Text(item, "itemID");
  if (const std::string slug = Text(item, "itemSlug"); !slug.empty()) {
    text += " \u201c" + slug + "\u201d";
  }
  return text;
}

}  // namespace

std::string OnAirText(const json& view) {
  const json badge = view.value("badge", json::object());
  std::string out = ClockOf(Text(view, "now")) + " " + Text(view, "zone") + "  " +
                    Text(view, "state") + ", " + Text(view, "phase") + ", link " +
                    Text(badge, "text") + "\n";
  for (const json& alarm : view.value("alarms", json::array())) {
    out += "  ! " + Text(alarm, "text") + "\n";
  }
  for (const json& channel : view.value("channels", json::array())) {
    const double rate = Number(channel, "frameRate");
    out += Text(channel, "name") + "\n";
    const json& onAir = channel.value("onAir", json());
    if (onAir.is_object()) {
      const double total = Number(onAir, "durationSeconds");
      const double elapsed = Number(onAir, "elapsedSeconds");
      out += "  ON AIR " + Named(onAir) + " of " + Text(onAir, "roID") + "  " +
             FormatTimecode(Ticks(elapsed), rate) + " of " + FormatTimecode(Ticks(total), rate) +
             (onAir.value("paused", false) ? ", PAUSED"
                                           : ", " + FormatCountdown(Ticks(total - elapsed)) +
                                                 " left, ends " + ClockOf(Text(onAir, "ends"))) +
             "\n";
    } else {
      out += "  nothing on air\n";
    }
    const json& next = channel.value("next", json());
    if (next.is_object()) {
      std::string start = Text(next, "expectedStart");
      start = start.empty() ? Text(next, "plannedStart") : start;
      out += "  NEXT   " + Named(next) + " " + Text(next, "state") +
             (next.value("ready", false) ? "" : " (NOT READY TO PLAY)") +
             (start.empty() ? "" : " at " + ClockOf(start)) + "\n";
    }
    const json& timed = channel.value("timedStart", json());
    if (timed.is_object()) {
      out += "  TIMED  " + Text(timed, "warning") + " (at " + ClockOf(Text(timed, "at")) + ")\n";
    }
    for (const json& r : channel.value("runningOrders", json::array())) {
      out += "  running order " + Text(r, "roID") + " (" + Text(r, "trigger") +
             (r.value("timedStartUsed", false) ? ", started" : "") + "): planned " +
             FormatTimecode(Ticks(Number(r, "plannedSeconds")), rate) + ", played " +
             FormatTimecode(Ticks(Number(r, "playedSeconds")), rate) + ", remaining " +
             FormatTimecode(Ticks(Number(r, "remainingSeconds")), rate) + ", ends " +
             ClockOf(Text(r, "estimatedEnd"));
      if (r.value("overUnderSeconds", json()).is_number()) {
        const double over = Number(r, "overUnderSeconds");
        out += std::string(over > 0 ? ", over " : ", under ") +
               FormatTimecode(Ticks(over < 0 ? -over : over), rate);
      }
      out += "\n";
    }
  }
  return out;
}

}  // namespace vidra

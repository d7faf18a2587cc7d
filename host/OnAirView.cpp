#include "host/OnAirView.h"

#include "host/StatusView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Text.h"
#include "host/ShowTimes.h"

namespace vidra {

namespace {

using nlohmann::json;

// How many alarms of one kind are listed; the rest are counted in one line.
constexpr std::size_t kAlarmsPerKind = 50;

struct Alarms {
  std::map<std::string, std::vector<json>> byKind;
  std::map<std::string, std::size_t> beyond;

  void Add(const std::string& kind, const std::string& level, json where, std::string text) {
    std::vector<json>& list = byKind[kind];
    if (list.size() >= kAlarmsPerKind) {
      ++beyond[kind];
      return;
    }
    where["kind"] = kind;
    where["level"] = level;
    where["text"] = std::move(text);
    list.push_back(std::move(where));
  }
  json Take() {
    json all = json::array();
    // Worst first: a lost link and media that cannot play before what already happened.
    for (const char* kind : {"pair", "link", "media", "notices", "skipped", "cut"}) {
      for (json& alarm : byKind[kind]) {
        all.push_back(std::move(alarm));
      }
      if (beyond[kind] > 0) {
        all.push_back({{"kind", kind},
                       {"level", "warn"},
                       {"text", "and " + std::to_string(beyond[kind]) + " more of the kind"}});
      }
    }
    return all;
  }
};

// A pair that does not protect the air: the main alone, a link refused, a backup that hears
// no main, clocks apart by more than half a frame, items the backup has no media for.
void PairAlarms(const json& pair, Alarms& alarms) {
  if (pair.is_null()) {
    return;
  }
  const std::string role = pair["role"];
  const std::string link = pair["link"];
  if (!pair["refused"].is_null() && link == "refused") {
    alarms.Add("pair", "alarm", json::object(),
               "the link to " + pair["peer"].get<std::string>() +
                   " is refused: " + pair["refused"].get<std::string>());
  }
  if (role == "main" && pair["degraded"].get<bool>()) {
    alarms.Add("pair", "alarm", json::object(),
               "the main answers without its backup (" + pair["peer"].get<std::string>() +
                   ", link " + link + "): a failover now would lose edits");
  } else if (role == "backup" && link == "down") {
    alarms.Add("pair", "alarm", json::object(), "this backup hears no main: it is not in step");
  }
  if (!pair["clockOffsetMs"].is_null() &&
      std::fabs(pair["clockOffsetMs"].get<double>()) > pair["halfFrameMs"].get<double>()) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the backup's clock is %.1f ms off the main's, more than half a frame",
                  pair["clockOffsetMs"].get<double>());
    alarms.Add("pair", "alarm", json::object(), text);
  }
  const json& lacks = pair["backupLacks"];
  if (lacks["count"].get<std::uint64_t>() > 0) {
    std::string names;
    for (const json& name : lacks["first"]) {
      names += (names.empty() ? "" : ", ") + name.get<std::string>();
    }
    const std::uint64_t more = lacks["count"].get<std::uint64_t>() - lacks["first"].size();
    alarms.Add("pair", "alarm", json::object(),
               "backup would play black for " + names +
                   (more > 0 ? " and " + std::to_string(more) + " more" : ""));
  }
}

// Where an item is, as alarms and the API name it.
json Where(const std::string& channel, const ro& r, const story& s, const item& i) {
  return {{"channel", channel},
          {"roID", r.roID.Str()},
          {"storyID", s.storyID.Str()},
          {"itemID", i.itemID.Str()}};
}

std::string Named(const std::string& channel, const ro& r, const story& s, const item& i) {
  std::string text = channel + " " + std::string(r.roID.Str()) + " " +
                     std::string(s.storyID.Str()) + "/" + std::string(i.itemID.Str());
  if (!i.itemSlug.IsEmpty()) {
    text += " \u201c" + Preview(std::string(i.itemSlug.Str()), 80) + "\u201d";
  }
  return text;
}

json ItemJson(const ShowTimes& times, const ro& r, const story& s, const item& i) {
  return {{"roID", r.roID.Str()},
          {"roSlug", r.roSlug.Str()},
          {"storyID", s.storyID.Str()},
          {"storySlug", s.storySlug.Str()},
          {"itemID", i.itemID.Str()},
          {"itemSlug", i.itemSlug.Str()},
          {"objID", i.objID.Str()},
          {"state", i.StateWord()},
          {"ready", i.state == READY || i.state == CUE},
          {"trigger", i.trigger == MANUAL ? "MANUAL" : "CHAINED"},
          {"durationSeconds", Seconds(i.playDurationTicks)},
          {"plannedStart", r.startTime != 0 ? times.At(i.startTime) : json(nullptr)}};
}

struct ChannelWalk {
  json onAir = nullptr;
  FileTime onAirEnd = 0;
  json next = nullptr;
  json cued = nullptr;
  json timed = nullptr;
  FileTime timedStart = 0;
  json runningOrders = json::array();
};

// One running order under its own lock: its totals, and what of the channel's picture it
// holds (the item on air, the one after it, a cued item, a timed start to come).
void WalkRo(const ro& r, const ShowTimes& times, const std::string& channel,
            const ProbeCache* cache, ChannelWalk& walk, Alarms& alarms) {
  std::lock_guard guard(r.lock);  // the ro lock: its stories and items
  const FileTime now = times.local;
  // A timed start still to come plays the running order from its top again, whatever of it
  // went to air before.
  const bool pending = r.trigger == TIMED && r.startTime > now;
  const std::ptrdiff_t lastAired = pending ? -1 : r.LastAired();
  std::ptrdiff_t n = 0;
  std::uint64_t played = 0;
  std::uint64_t remaining = 0;
  // Told while the show they belong to is on air: afterwards they are history.
  std::vector<std::pair<json, std::string>> skipped;
  FileTime lastEnd = 0;
  bool onAirHere = false;
  bool nextWanted = false;
  n = 0;
  for (const story& s : r.stories) {
    for (const item& i : s.items) {
      const std::int32_t state = i.state;
      const std::uint64_t length = i.playDurationTicks;
      if (nextWanted) {
        walk.next = ItemJson(times, r, s, i);
        walk.next["expectedStart"] = i.trigger == MANUAL ? json(nullptr) : times.At(walk.onAirEnd);
        nextWanted = false;
      }
      if (pending) {
        remaining += state == NEW || state == NOT_READY ? 0 : length;
      } else if (state == PLAY || state == PAUSE) {
        const FileTime start = i.stateTime;
        const FileTime end = start + length;
        if (state == PAUSE || end > now) {
          onAirHere = true;
          walk.onAirEnd = end;
          walk.onAir = ItemJson(times, r, s, i);
          walk.onAir["paused"] = state == PAUSE;
          walk.onAir["started"] = times.At(start);
          walk.onAir["ends"] = state == PAUSE ? json(nullptr) : times.At(end);
          const std::uint64_t elapsed =
              now > start ? std::min<std::uint64_t>(now - start, length) : 0;
          walk.onAir["elapsedSeconds"] = Seconds(elapsed);
          walk.onAir["remainingSeconds"] = Seconds(length - elapsed);
          played += elapsed;
          remaining += length - elapsed;
          nextWanted = true;
        } else {
          played += length;  // its record stays PLAY after the last clip has ended
          lastEnd = std::max(lastEnd, end);
        }
      } else if (state == DONE) {
        played += length > i.cutTicksLeft ? length - i.cutTicksLeft : 0;
        const FileTime stopped = i.stateTime;
        lastEnd = std::max<FileTime>(lastEnd, stopped >> 32 != 0 ? stopped : 0);
        if (i.cutTicksLeft > 0 && i.stateTime + kEventAlarmTicks > now) {
          alarms.Add(
              "cut", "warn", Where(channel, r, s, i),
              Named(channel, r, s, i) + " was cut at " + times.Clock(i.stateTime) + " with " +
                  FormatTimecode(static_cast<std::int64_t>(i.cutTicksLeft), times.rate) + " left");
        }
      } else if (n > lastAired && (state == READY || state == CUE)) {
        remaining += length;
      }
      if (state == CUE && walk.cued.is_null()) {
        walk.cued = ItemJson(times, r, s, i);
      }
      if (state == NOT_READY) {
        if (n < lastAired) {
          skipped.emplace_back(Where(channel, r, s, i),
                               Named(channel, r, s, i) + " was skipped: its media was not ready");
        } else {
          std::string why = "media not ready";
          FileCondition condition = FileCondition::Missing;
          if (cache != nullptr) {
            const auto probed = cache->Peek(std::string(i.PlayPath().Str()), condition);
            why = condition == FileCondition::Missing ? "file missing"
                  : condition == FileCondition::Unplayable
                      ? "cannot play" + (probed ? " (" + probed->problem + ")" : std::string())
                      : why;
          }
          alarms.Add("media", "alarm", Where(channel, r, s, i),
                     Named(channel, r, s, i) + ": " + why + ": " +
                         (i.PlayPath().IsEmpty() ? std::string("(no file)")
                                                 : std::string(i.PlayPath().Str())));
        }
      }
      ++n;
    }
  }
  if (onAirHere) {
    for (auto& [where, text] : skipped) {
      alarms.Add("skipped", "warn", std::move(where), std::move(text));
    }
  }
  if (r.trigger == TIMED && r.startTime > now &&
      (walk.timedStart == 0 || r.startTime < walk.timedStart)) {
    walk.timedStart = r.startTime;
    walk.timed = {
        {"roID", r.roID.Str()}, {"roSlug", r.roSlug.Str()}, {"at", times.At(r.startTime)}};
  }
  const std::optional<std::uint64_t> edDur = ParseEdDur(r.roEdDur.Str(), times.rate);
  const std::uint64_t planned = edDur.value_or(r.totalDuration);
  // The end as things go: on air or started, from now; not started, from its start (or now).
  FileTime estimatedEnd = 0;
  if (onAirHere || (lastAired >= 0 && remaining > 0)) {
    estimatedEnd = now + remaining;
  } else if (lastAired >= 0) {
    estimatedEnd = lastEnd != 0 ? lastEnd : now;
  } else {
    estimatedEnd = std::max(r.startTime, now) + remaining;
  }
  const FileTime plannedEnd = r.startTime != 0 ? r.startTime + planned : 0;
  walk.runningOrders.push_back(
      {{"roID", r.roID.Str()},
       {"roSlug", r.roSlug.Str()},
       {"trigger", r.roTrigger.IsEmpty() ? "CHAINED" : r.roTrigger.Str()},
       {"timedStartUsed", r.TimedStartUsed()},
       {"start", r.startTime != 0 ? times.At(r.startTime) : json(nullptr)},
       {"onAir", onAirHere},
       {"plannedSeconds", Seconds(planned)},
       {"plannedFrom", edDur ? "roEdDur" : "items"},
       {"playedSeconds", Seconds(played)},
       {"remainingSeconds", Seconds(remaining)},
       {"estimatedEnd", times.At(estimatedEnd)},
       {"plannedEnd", plannedEnd != 0 ? times.At(plannedEnd) : json(nullptr)},
       {"overUnderSeconds",
        plannedEnd != 0 ? json(Seconds(static_cast<std::int64_t>(estimatedEnd - plannedEnd)))
                        : json(nullptr)}});
}

// What the channel's next timed start will cut: the item on air, or the one after it when
// that one cannot finish first.
void TimedClash(ChannelWalk& walk, const ShowTimes& times) {
  if (walk.timed.is_null()) {
    return;
  }
  const auto ticks = static_cast<std::int64_t>(walk.timedStart - times.local);
  walk.timed["inSeconds"] = Seconds(ticks);
  walk.timed["countdown"] = FormatCountdown(ticks);
  walk.timed["clash"] = nullptr;
  std::string warning =
      walk.timed["roID"].get<std::string>() + " starts in " + FormatCountdown(ticks);
  const auto clash = [&](const json& victim, FileTime end) {
    const double left = Seconds(end - walk.timedStart);
    walk.timed["clash"] = {{"roID", victim["roID"]},
                           {"storyID", victim["storyID"]},
                           {"itemID", victim["itemID"]},
                           {"itemSlug", victim["itemSlug"]},
                           {"secondsLeft", left}};
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", left);
    warning += " and cuts " + victim["storyID"].get<std::string>() + " with " + seconds + " s left";
  };
  if (!walk.onAir.is_null() && !walk.onAir["paused"].get<bool>() &&
      walk.onAirEnd > walk.timedStart) {
    clash(walk.onAir, walk.onAirEnd);
  } else if (!walk.onAir.is_null() && !walk.next.is_null() && walk.next["trigger"] == "CHAINED" &&
             walk.onAirEnd + SecondsToTicks(walk.next["durationSeconds"].get<double>()) >
                 walk.timedStart) {
    clash(walk.next, walk.onAirEnd + SecondsToTicks(walk.next["durationSeconds"].get<double>()));
  }
  walk.timed["warning"] = warning;
}

}  // namespace

json LinksView(const CMOS_SRV_STNDRT& control) {
  const MosServer& srv = control.Engine();
  const ShowTimes times = ShowTimes::Now(srv.GetClock(), 25.0);
  const FileTime utc = times.utc;
  struct Link {
    LinkRecord record;
    std::size_t connections = 0;
    const ResyncInfo* resync = nullptr;
  };
  std::map<std::string, Link> hosts;
  for (const LinkRecord& record : srv.Notices().Links()) {
    hosts[FormatIPv4(record.host)].record = record;
  }
  for (const ConnectionInfo& c : srv.Connections().Describe()) {
    ++hosts[c.peer.substr(0, c.peer.rfind(':'))].connections;
  }
  const std::vector<ResyncInfo> resync = srv.Resync().Describe();
  for (const ResyncInfo& r : resync) {
    hosts[r.host].resync = &r;
  }
  // With a buddy NRCS, the notices of the pair wait for the one that is active.
  const NrcsRoute route = srv.Nrcs().Route();
  std::map<std::string, std::size_t> waiting;
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t, std::uint32_t) {
    for (const auto& [host, link] : hosts) {
      const in_addr_t sender = link.record.host;
      waiting[host] = player == nullptr ? 0 : player->NoticeCount([&](std::uint32_t noticeHost) {
        return route.Takes(sender, noticeHost);
      });
    }
  });
  const auto age = [utc](FileTime t) {
    return t == 0 ? json(nullptr) : json(Seconds(static_cast<std::int64_t>(utc - t)));
  };
  json links = json::array();
  for (const auto& [host, link] : hosts) {
    const bool quiet =
        link.record.lastMessage == 0 || utc - link.record.lastMessage > kQuietLinkTicks;
    links.push_back(
        {{"host", host},
         {"connected", link.connections > 0},
         {"connections", link.connections},
         {"status", link.connections == 0 ? "lost"
                    : quiet               ? "quiet"
                                          : "connected"},
         {"lastMessageAgeSeconds", age(link.record.lastMessage)},
         {"lastHeartbeatAgeSeconds", age(link.record.lastHeartbeat)},
         {"lastAckAgeSeconds", age(link.record.lastAck)},
         {"lastAckMessageID", link.record.lastAckId},
         {"noticeSender", link.record.sender},
         {"nrcs", route.buddy == 0                  ? json(nullptr)
                  : link.record.host == route.buddy ? json("buddy")
                                                    : json("main")},
         {"active",
          route.buddy == 0 ? json(nullptr) : json(route.For(link.record.host) == link.record.host)},
         {"noticesWaiting", waiting[host]},
         {"resync", link.resync == nullptr ? json(nullptr)
                                           : json{{"requested", link.resync->requested},
                                                  {"stored", link.resync->stored},
                                                  {"waiting", link.resync->waiting},
                                                  {"last", times.FromUtc(link.resync->last)}}}});
  }
  return links;
}

json OnAirView(const CMOS_SRV_STNDRT& control) {
  const MosServer& srv = control.Engine();
  const ShowTimes times = ShowTimes::Now(srv.GetClock(), 25.0);
  const ServerPhase phase = control.CurrentPhase();
  json view = {{"now", times.At(times.local)},
               {"zone", FormatOffset(times.offset)},
               {"state", ServerStateName(static_cast<int>(control.CurrentState()))},
               {"phase", ServerPhaseName(phase)}};
  Alarms alarms;
  const json links = LinksView(control);
  std::size_t lost = 0;
  std::size_t quiet = 0;
  // Links are a fault only while the server serves; stopped, no NRCS can reach it anyway.
  for (const json& link : phase == ServerPhase::Serving ? links : json::array()) {
    if (link["status"] == "lost") {
      ++lost;
      alarms.Add("link", "alarm", {{"host", link["host"]}},
                 "NRCS " + link["host"].get<std::string>() + " is not connected");
    } else if (link["status"] == "quiet") {
      ++quiet;
      alarms.Add("link", "warn", {{"host", link["host"]}},
                 "NRCS " + link["host"].get<std::string>() + " has sent nothing for over " +
                     std::to_string(kQuietLinkTicks / kTicksPerSecond) + " s");
    }
    if (link["noticesWaiting"].get<std::size_t>() > 0 && !link["connected"].get<bool>()) {
      alarms.Add("notices", "warn", {{"host", link["host"]}},
                 std::to_string(link["noticesWaiting"].get<std::size_t>()) +
                     " status notices wait for NRCS " + link["host"].get<std::string>());
    }
  }
  const json pair = PairView(control);
  PairAlarms(pair, alarms);
  view["pair"] = pair;
  const json nrcs = NrcsPairJson(control);
  if (!nrcs.is_null() && nrcs["active"] == "buddy") {
    alarms.Add("link", "warn", {{"host", nrcs["buddy"]}},
               "notices go to the buddy NRCS " + nrcs["buddy"].get<std::string>() + ": " +
                   nrcs["why"].get<std::string>());
  }
  view["nrcsPair"] = nrcs;
  json channels = json::array();
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t, std::uint32_t) {
    if (player == nullptr) {
      return;
    }
    const ShowTimes local = ShowTimes::Now(player->GetClock(), player->frameRate);
    const PlayoutManager::NoticeDrops drops = player->Drops();
    if (drops.count > 0 && drops.last + kEventAlarmTicks > local.utc) {
      alarms.Add(
          "notices", "warn", json::object(),
          std::to_string(drops.count) + " status notices dropped since the start, the last at " +
              local.Clock(drops.last + static_cast<FileTime>(local.offset) * kTicksPerSecond));
    }
    for (std::size_t k = 0; k < player->ChannelCount(); ++k) {
      std::vector<std::shared_ptr<ro>> ros;
      player->Store(static_cast<std::int32_t>(k)).CopyRoList(ros);
      const std::string name = player->Channels()[k].channelName;
      ChannelWalk walk;
      for (const auto& r : ros) {
        WalkRo(*r, local, name, player->MediaCacheOf(k), walk, alarms);
      }
      if (walk.onAir.is_null() && walk.next.is_null()) {
        walk.next = walk.cued;
      }
      TimedClash(walk, local);
      if (!walk.timed.is_null() && !walk.timed["clash"].is_null()) {
        alarms.Add("cut", "alarm", {{"channel", name}, {"roID", walk.timed["roID"]}},
                   name + ": " + walk.timed["warning"].get<std::string>());
      }
      channels.push_back({{"index", k},
                          {"name", name},
                          {"frameRate", player->frameRate},
                          {"onAir", walk.onAir},
                          {"next", walk.next},
                          {"timedStart", walk.timed},
                          {"runningOrders", std::move(walk.runningOrders)}});
    }
  });
  json badge = {{"text", "NRCS OK"}, {"level", "ok"}};
  if (phase != ServerPhase::Serving) {
    badge = {{"text", ToUpper(ServerPhaseName(phase))}, {"level", "warn"}};
  } else if (links.empty()) {
    badge = {{"text", "NO NRCS YET"}, {"level", "warn"}};
  } else if (lost == links.size()) {
    badge = {{"text", "NRCS LOST"}, {"level", "alarm"}};
  } else if (lost > 0) {
    badge = {
        {"text", "NRCS " + std::to_string(lost) + " OF " + std::to_string(links.size()) + " LOST"},
        {"level", "alarm"}};
  } else if (quiet > 0) {
    badge = {{"text", "NRCS QUIET"}, {"level", "warn"}};
  }
  view["badge"] = badge;
  view["links"] = links;
  view["alarms"] = alarms.Take();
  view["channels"] = std::move(channels);
  return view;
}

}  // namespace vidra

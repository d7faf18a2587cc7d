#include "host/StatusView.h"

#include "playout/Readiness.h"

#include <map>

#include "common/FileTime.h"
#include "common/Text.h"
#include "host/ShowTimes.h"

namespace vidra {

namespace {

using nlohmann::json;

constexpr std::size_t kPreviewCharacters = 160;
constexpr std::array<const char*, 8> kStateWords{"NEW", "NOT READY", "READY", "STOP",
                                                 "CUE", "PLAY",      "PAUSE", "DONE"};

// A Prometheus label value: backslash, quote and line feed escaped.
std::string LabelValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// What the NRCS itself last reported of an element; null when it reported nothing.
json NrcsJson(const NrcsView& view, const ShowTimes& times) {
  if (!view.status.Present()) {
    return nullptr;
  }
  return {{"status", view.status.Str()}, {"time", times.At(view.time)}};
}

// startTime counts from the running order's start; with none, there is no planned time. A
// cut item is DONE like any other; "cut" says how much of its clip was left.
json ItemView(const item& i, bool planned, bool skipped, const ShowTimes& times) {
  return {{"itemID", i.itemID.Str()},
          {"itemSlug", i.itemSlug.Str()},
          {"objID", i.objID.Str()},
          {"objPath", i.paths.objPath.Str()},
          {"state", i.StateWord()},
          {"nrcs", NrcsJson(i.nrcs, times)},
          {"start", planned ? times.At(i.startTime) : json(nullptr)},
          {"durationSeconds", Seconds(i.playDurationTicks)},
          {"cut", i.cutTicksLeft > 0 ? json{{"secondsLeft", Seconds(i.cutTicksLeft)},
                                            {"at", times.At(i.stateTime)}}
                                     : json(nullptr)},
          {"skipped", skipped}};
}

std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
  return (hash ^ value) * 1099511628211ull;
}

// A number that changes whenever anything the view shows of the running order changes. The
// caller holds its lock.
std::uint64_t RoFingerprint(const ro& r) {
  std::uint64_t hash = Mix(1469598103934665603ull, reinterpret_cast<std::uintptr_t>(&r));
  hash = Mix(hash, r.editCount);
  hash = Mix(hash, static_cast<std::uint64_t>(r.trigger));
  hash = Mix(hash, r.startTime);
  hash = Mix(hash, r.nrcs.time);
  hash = Mix(hash, r.roAir.Present() ? r.roAir.Str().size() + 1 : 0);
  for (const story& s : r.stories) {
    hash = Mix(Mix(hash, s.items.size()), s.nrcs.time);
    for (const item& i : s.items) {
      hash = Mix(hash, static_cast<std::uint64_t>(i.state.load()));
      hash = Mix(hash, i.stateTime.load());
      hash = Mix(hash, i.cutTicksLeft);
      hash = Mix(hash, i.playDurationTicks);
      hash = Mix(hash, i.nrcs.time);
    }
  }
  return hash;
}

// One running order under its own lock, with its stories unless only its outline is asked
// for; notes the item on air in playing.
json RoView(const ro& r, const ShowTimes& times, json& playing, bool withStories = true) {
  std::lock_guard guard(r.lock);  // the ro lock: its stories and items
  const std::ptrdiff_t lastAired = r.LastAired();
  std::ptrdiff_t n = 0;
  json stories = json::array();
  static const std::vector<story> kNoStories;
  for (const story& s : withStories ? r.stories : kNoStories) {
    json items = json::array();
    for (const item& i : s.items) {
      const bool skipped = i.state == NOT_READY && n < lastAired;
      ++n;
      items.push_back(ItemView(i, r.startTime != 0, skipped, times));
      // The record of the last item stays PLAY after its clip has ended; only a clip with
      // time left is on air.
      const double remaining =
          Seconds(static_cast<std::int64_t>(i.stateTime + i.playDurationTicks) -
                  static_cast<std::int64_t>(times.local));
      if (i.state == PLAY && remaining > 0) {
        playing = {{"roID", r.roID.Str()},
                   {"storyID", s.storyID.Str()},
                   {"itemID", i.itemID.Str()},
                   {"remainingSeconds", remaining}};
      }
    }
    stories.push_back({{"storyID", s.storyID.Str()},
                       {"storySlug", s.storySlug.Str()},
                       {"storyBody", s.storyBody.Str()},
                       {"nrcs", NrcsJson(s.nrcs, times)},
                       {"items", items}});
  }
  return {{"roID", r.roID.Str()},
          {"version", std::to_string(RoFingerprint(r))},
          {"roSlug", r.roSlug.Str()},
          {"roChannel", r.roChannel.Str()},
          {"trigger", r.roTrigger.IsEmpty() ? "CHAINED" : r.roTrigger.Str()},
          {"timedStartUsed", r.TimedStartUsed()},
          {"start", times.At(r.startTime)},
          {"roEdDur", r.roEdDur.Str()},
          {"readyToAir", r.roAir.Present() ? json(r.roAir.Str()) : json(nullptr)},
          {"nrcs", NrcsJson(r.nrcs, times)},
          {"stories", withStories ? stories : json(nullptr)}};
}

// A number that changes whenever anything the channels view shows changes, read without
// building the view: the page asks for the view only when it has moved.
std::uint64_t Fingerprint(PlayoutManager& player) {
  std::uint64_t hash = 1469598103934665603ull;
  for (std::size_t k = 0; k < player.ChannelCount(); ++k) {
    RoStore& store = player.Store(static_cast<std::int32_t>(k));
    hash = Mix(hash, store.Version());
    std::vector<std::shared_ptr<ro>> ros;
    store.CopyRoList(ros);
    hash = Mix(hash, ros.size());
    for (const auto& r : ros) {
      std::lock_guard guard(r->lock);  // the ro lock: its items' states
      hash = Mix(hash, RoFingerprint(*r));
    }
  }
  return hash;
}

// Calls visit(channel index, name, its running orders) for each channel of the player.
template <typename Visit>
void ForEachRo(PlayoutManager& player, Visit&& visit) {
  for (std::size_t k = 0; k < player.ChannelCount(); ++k) {
    std::vector<std::shared_ptr<ro>> ros;
    player.Store(static_cast<std::int32_t>(k)).CopyRoList(ros);
    visit(k, player.Channels()[k], ros);
  }
}

}  // namespace

json StateView(const CMOS_SRV_STNDRT& control) {
  const MosServer& srv = control.Engine();
  const ServerState state = control.CurrentState();
  const ShowTimes times = ShowTimes::Now(srv.GetClock(), 25.0);
  json view = {{"state", ServerStateName(static_cast<int>(state))},
               {"stateNumber", static_cast<int>(state)},
               {"phase", ServerPhaseName(control.CurrentPhase())},
               {"now", times.At(times.local)},
               {"zone", FormatOffset(times.offset)},
               {"newestMessageAgeSeconds", nullptr}};
  if (const FileTime last = srv.Journal().GetLastTime(); last != 0) {
    const FileTime now = srv.GetClock().UtcNow();
    view["newestMessageAgeSeconds"] =
        now >= last ? Seconds(static_cast<std::int64_t>(now - last)) : 0.0;
  }
  view["media"] = nullptr;
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t lower, std::uint32_t upper) {
    view["lowerPort"] = lower;
    view["upperPort"] = upper;
    if (player == nullptr || player->Media() == nullptr || !player->Media()->HasFolder()) {
      return;
    }
    const MediaLibrary& media = *player->Media();
    const ScanProgress progress = media.Catalogue().Progress();
    view["media"] = {{"folder", media.Catalogue().Folder()},
                     {"present", progress.folderPresent},
                     {"objects", media.Catalogue().Count()},
                     {"firstScanComplete", progress.complete},
                     {"scanning", progress.scanning},
                     {"found", progress.found},
                     {"probed", progress.probed},
                     {"probes", media.Cache().Probes()},
                     {"checkIdle", player->MediaCheckIdle()}};
  });
  view["pair"] = PairView(control);
  view["nrcsPair"] = NrcsPairJson(control);
  view["store"] = control.StoreView();
  if (view["store"].contains("lastCommit")) {
    view["store"]["lastCommit"] = times.FromUtc(view["store"]["lastCommit"].get<FileTime>());
  }
  return view;
}

json ReadinessView(const CMOS_SRV_STNDRT& control) {
  json channels = json::array();
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t, std::uint32_t) {
    if (player == nullptr) {
      return;
    }
    for (const ReadinessChannel& channel : BuildReadiness(*player)) {
      json ros = json::array();
      const double rate = channel.frameRate;
      const auto seconds = [rate](std::int64_t frames) {
        return static_cast<double>(frames) / (rate > 0 ? rate : 25.0);
      };
      for (const ReadinessRunningOrder& r : channel.runningOrders) {
        json items = json::array();
        for (const ReadinessItem& i : r.items) {
          json line = {{"storyID", i.storyID},
                       {"itemID", i.itemID},
                       {"itemSlug", i.itemSlug},
                       {"objID", i.objID},
                       {"file", i.file},
                       {"state", i.state},
                       {"problem", i.problem == MediaProblem::Missing      ? "missing"
                                   : i.problem == MediaProblem::Unplayable ? "unplayable"
                                                                           : ""},
                       {"reason", i.reason},
                       {"fileFrames", nullptr},
                       {"fileSeconds", nullptr},
                       {"plannedFrames", nullptr},
                       {"plannedSeconds", nullptr},
                       {"differenceFrames", nullptr},
                       {"differenceSeconds", nullptr}};
          if (i.known) {
            line["fileFrames"] = i.fileFrames;
            line["fileSeconds"] = seconds(i.fileFrames);
          }
          if (i.planned) {
            line["plannedFrames"] = i.plannedFrames;
            line["plannedSeconds"] = seconds(i.plannedFrames);
          }
          if (i.known && i.planned) {
            line["differenceFrames"] = i.fileFrames - i.plannedFrames;
            line["differenceSeconds"] = seconds(i.fileFrames - i.plannedFrames);
          }
          items.push_back(std::move(line));
        }
        ros.push_back({{"roID", r.roID},
                       {"roSlug", r.roSlug},
                       {"missing", r.missing},
                       {"unplayable", r.unplayable},
                       {"plannedFrames", r.plannedFrames},
                       {"plannedSeconds", seconds(r.plannedFrames)},
                       {"availableFrames", r.availableFrames},
                       {"availableSeconds", seconds(r.availableFrames)},
                       {"items", items}});
      }
      channels.push_back({{"name", channel.name}, {"frameRate", rate}, {"runningOrders", ros}});
    }
  });
  return {{"channels", channels}};
}

std::string ReadinessTextView(const CMOS_SRV_STNDRT& control) {
  std::string text = "the server is not initialised: no channels yet\n";
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t, std::uint32_t) {
    if (player != nullptr) {
      text = ReadinessText(BuildReadiness(*player));
    }
  });
  return text;
}

json PeersView(const CMOS_SRV_STNDRT& control) {
  const MosServer& srv = control.Engine();
  const ShowTimes times = ShowTimes::Now(srv.GetClock(), 25.0);
  json connections = json::array();
  for (const ConnectionInfo& c : srv.Connections().Describe()) {
    connections.push_back({{"peer", c.peer},
                           {"port", c.port},
                           {"receivedNumber", c.receivedNumber},
                           {"answerNumber", c.answerNumber},
                           {"since", times.FromUtc(c.since)}});
  }
  json resync = json::array();
  for (const ResyncInfo& r : srv.Resync().Describe()) {
    resync.push_back({{"host", r.host},
                      {"requested", r.requested},
                      {"stored", r.stored},
                      {"waiting", r.waiting},
                      {"last", times.FromUtc(r.last)}});
  }
  return {{"connections", connections},
          {"noticeSenders", srv.Notices().Senders()},
          {"objectSenders", srv.Objects().Senders()},
          {"resync", resync}};
}

json ChannelsView(const CMOS_SRV_STNDRT& control, const std::string& unless, bool outline) {
  json channels = json::array();
  std::string version;
  bool unchanged = false;
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t, std::uint32_t) {
    if (player == nullptr) {
      return;
    }
    version = std::to_string(Fingerprint(*player));
    if (version == unless) {
      unchanged = true;
      return;
    }
    const ShowTimes times = ShowTimes::Now(player->GetClock(), player->frameRate);
    ForEachRo(*player, [&](std::size_t k, const ChannelRecord& channel, const auto& ros) {
      json playing = nullptr;
      json list = json::array();
      for (const auto& r : ros) {
        list.push_back(RoView(*r, times, playing, !outline));
      }
      channels.push_back({{"index", k},
                          {"name", channel.channelName},
                          {"player", channel.playerName},
                          {"frameRate", player->frameRate},
                          {"playing", playing},
                          {"runningOrders", list}});
    });
  });
  if (unchanged) {
    return {{"version", version}, {"unchanged", true}};
  }
  return {{"version", version}, {"unchanged", false}, {"channels", channels}};
}

std::optional<json> RunningOrderView(const CMOS_SRV_STNDRT& control, std::int64_t channel,
                                     const std::string& roID) {
  std::optional<json> view;
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t, std::uint32_t) {
    if (player == nullptr || channel < 0 ||
        static_cast<std::size_t>(channel) >= player->ChannelCount()) {
      return;
    }
    const std::shared_ptr<ro> r =
        player->Store(static_cast<std::int32_t>(channel)).GetRo(MosText(roID));
    if (r == nullptr) {
      return;
    }
    json playing = nullptr;
    view = RoView(*r, ShowTimes::Now(player->GetClock(), player->frameRate), playing);
  });
  return view;
}

json JournalView(const CMOS_SRV_STNDRT& control, std::int64_t before, std::size_t limit) {
  const MessageQueue& journal = control.Engine().Journal();
  const ShowTimes times = ShowTimes::Now(control.Engine().GetClock(), 25.0);
  const auto count = static_cast<std::int64_t>(journal.Count());
  if (before < 0 || before > count) {
    before = count;
  }
  json entries = json::array();
  for (std::int64_t n = before - 1; n >= 0 && entries.size() < limit; --n) {
    MessageRecord record;
    if (journal.GetByNumber(n, record) != HResult::S_OK) {
      break;  // swept meanwhile, or the journal was busy
    }
    entries.push_back({{"number", n},
                       {"time", times.FromUtc(record.time)},
                       {"direction", record.direction},
                       {"clientId", record.clientNumber},
                       {"repeat", record.repeat},
                       {"length", record.text.size()},
                       {"preview", Preview(record.text, kPreviewCharacters)}});
  }
  return {{"count", count}, {"entries", entries}};
}

std::optional<json> JournalEntryView(const CMOS_SRV_STNDRT& control, std::int64_t number) {
  MessageRecord record;
  if (control.Engine().Journal().GetByNumber(number, record) != HResult::S_OK) {
    return std::nullopt;
  }
  const ShowTimes times = ShowTimes::Now(control.Engine().GetClock(), 25.0);
  return json{{"number", number},
              {"time", times.FromUtc(record.time)},
              {"direction", record.direction},
              {"clientId", record.clientNumber},
              {"repeat", record.repeat},
              {"text", record.text}};
}

json PairView(const CMOS_SRV_STNDRT& control) {
  const std::optional<PairStatus> pair = control.PairView();
  if (!pair) {
    return nullptr;
  }
  return {
      {"role", PairRoleName(pair->role)},
      {"epoch", pair->epoch},
      {"peer", pair->peer},
      {"linkPort", pair->linkPort},
      {"link", pair->link},
      {"refused", pair->refused.empty() ? json(nullptr) : json(pair->refused)},
      {"seq", pair->seq},
      {"behind", pair->behind},
      {"degraded", pair->degraded},
      {"clockOffsetMs", pair->clockOffsetMs ? json(*pair->clockOffsetMs) : json(nullptr)},
      {"halfFrameMs", pair->halfFrameMs},
      {"syncTimeouts", pair->syncTimeouts},
      {"backupLacks", {{"count", pair->backupLacks.count}, {"first", pair->backupLacks.names}}}};
}

json NrcsPairJson(const CMOS_SRV_STNDRT& control) {
  const NrcsPairView nrcs = control.Engine().Nrcs().Describe();
  if (nrcs.buddy == 0) {
    return nullptr;
  }
  const ShowTimes times = ShowTimes::Now(control.Engine().GetClock(), 25.0);
  return {{"main", nrcs.main == 0 ? json(nullptr) : json(FormatIPv4(nrcs.main))},
          {"buddy", FormatIPv4(nrcs.buddy)},
          {"active", nrcs.buddyActive ? "buddy" : "main"},
          {"failovers", nrcs.failovers},
          {"since", nrcs.since == 0 ? json(nullptr) : json(times.FromUtc(nrcs.since))},
          {"why", nrcs.why.empty() ? json(nullptr) : json(nrcs.why)}};
}

std::string MetricsView(const CMOS_SRV_STNDRT& control) {
  const MosServer& srv = control.Engine();
  std::string out = srv.GetMetrics().Render();
  const auto gauge = [&out](const char* name, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
  };
  gauge("vidra_server_state", "0 Uninitialized, 1 InitFailed, 2 Active, 3 Ready");
  AppendSample(out, "vidra_server_state", {}, static_cast<double>(control.CurrentState()));
  gauge("vidra_connections_open", "NRCS connections being served");
  AppendSample(out, "vidra_connections_open", {}, static_cast<double>(srv.Connections().Live()));
  gauge("vidra_journal_entries", "entries the journal holds");
  AppendSample(out, "vidra_journal_entries", {}, static_cast<double>(srv.Journal().Count()));
  gauge("vidra_journal_text_bytes", "bytes of text the journal holds");
  AppendSample(out, "vidra_journal_text_bytes", {}, static_cast<double>(srv.Journal().TextBytes()));
  if (const NrcsPairView nrcs = srv.Nrcs().Describe(); nrcs.buddy != 0) {
    gauge("vidra_nrcs_buddy_active", "1 while the notices go to the buddy NRCS");
    AppendSample(out, "vidra_nrcs_buddy_active", {}, nrcs.buddyActive ? 1.0 : 0.0);
    gauge("vidra_nrcs_failovers", "changes of the NRCS that takes the notices since the start");
    AppendSample(out, "vidra_nrcs_failovers", {}, static_cast<double>(nrcs.failovers));
  }
  if (const std::optional<PairStatus> pair = control.PairView()) {
    gauge("vidra_pair_role", "1 main, 2 backup");
    AppendSample(out, "vidra_pair_role", {}, static_cast<double>(pair->role));
    gauge("vidra_pair_epoch", "the pair's epoch this server knows");
    AppendSample(out, "vidra_pair_epoch", {}, static_cast<double>(pair->epoch));
    gauge("vidra_pair_behind", "changes the backup has not acknowledged (main)");
    AppendSample(out, "vidra_pair_behind", {}, static_cast<double>(pair->behind));
    gauge("vidra_pair_degraded", "1 while the main answers without its backup");
    AppendSample(out, "vidra_pair_degraded", {}, pair->degraded ? 1.0 : 0.0);
    gauge("vidra_pair_link_up", "1 while the link to the peer carries changes");
    AppendSample(out, "vidra_pair_link_up", {},
                 pair->link == "in step" || pair->link == "copying" ? 1.0 : 0.0);
    gauge("vidra_pair_backup_lacks", "items the backup would play black for: no media there");
    AppendSample(out, "vidra_pair_backup_lacks", {}, static_cast<double>(pair->backupLacks.count));
    if (pair->clockOffsetMs) {
      gauge("vidra_pair_clock_offset_ms", "the backup's clock minus the main's");
      AppendSample(out, "vidra_pair_clock_offset_ms", {}, *pair->clockOffsetMs);
    }
  }
  gauge("vidra_items", "items of the stored running orders, by channel and play state");
  control.ReadPlayout([&](PlayoutManager* player, std::uint32_t, std::uint32_t) {
    if (player == nullptr) {
      return;
    }
    ForEachRo(*player, [&](std::size_t, const ChannelRecord& channel, const auto& ros) {
      std::map<std::string, std::size_t> byState;
      for (const char* word : kStateWords) {
        byState[word] = 0;
      }
      for (const auto& r : ros) {
        std::lock_guard guard(r->lock);  // the ro lock: its items
        for (const story& s : r->stories) {
          for (const item& i : s.items) {
            ++byState[i.StateWord()];
          }
        }
      }
      for (const auto& [state, n] : byState) {
        AppendSample(out, "vidra_items",
                     "channel=\"" + LabelValue(channel.channelName) + "\",state=\"" + state + "\"",
                     static_cast<double>(n));
      }
    });
  });
  return out;
}

}  // namespace vidra

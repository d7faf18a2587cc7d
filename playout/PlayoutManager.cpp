// Threads are joined only if they were started, so a stop without a start never waits.
#include "playout/PlayoutManager.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "common/Log.h"
#include "common/Text.h"
#include "playout/ChannelPlayback.h"
#include "playout/MediaCheck.h"
#include "playout/PlaylistExport.h"
#include "rundown/Recovery.h"

namespace vidra {

PlayoutManager::PlayoutManager(std::shared_ptr<Clock> clock, std::unique_ptr<MediaProbe> probe,
                               std::chrono::milliseconds checkEvery)
    : clock_(std::move(clock)), probe_(std::move(probe)), checkEvery_(checkEvery) {}

PlayoutManager::~PlayoutManager() {
  LogText("Player Destructor");
  running = false;
  WaitThreadsEnd();
}

HResult PlayoutManager::InitPlayout(const SettingsSource& settings) {
  ChannelSettings read;
  const HResult loaded = LoadSettings(settings, read);
  if (loaded != HResult::S_OK) {
    return loaded;
  }
  std::vector<std::unique_ptr<ChannelPlayer>> players;
  for (const auto& channel : read.channels) {
    std::unique_ptr<ChannelPlayer> player;
    std::string error;
    const HResult opened =
        CreateChannelPlayer(channel.backend, channel.deviceParameter, clock_, player, error);
    if (opened != HResult::S_OK) {
      Log("VIDRA - %s: [Devices] %s: %s", settings.Origin().c_str(), channel.playerName.c_str(),
          error.c_str());
      return opened;
    }
    static_cast<void>(player->SetFlagA(1));
    static_cast<void>(player->SetFlagB(1));
    players.push_back(std::move(player));
  }
  std::int32_t width = 0;
  std::int32_t height = 0;
  double rate = 0;
  if (const HResult format = players.front()->GetFormat(width, height, rate);
      format != HResult::S_OK) {
    return format;
  }
  std::vector<std::unique_ptr<ChannelActions>> actions;
  for (std::size_t k = 0; k < players.size(); ++k) {
    actions.push_back(std::make_unique<ChannelActions>(static_cast<std::int32_t>(k), *players[k],
                                                       *clock_, &running));
    if (const HResult synced = actions.back()->TimeSync(); synced != HResult::S_OK) {
      return synced;
    }
  }
  frameRate = rate;
  serverName_ = read.serverName;
  if (!read.mediaPath.empty()) {
    mediaPath = read.mediaPath;
  }
  channels_ = std::move(read.channels);
  players_ = std::move(players);
  actions_ = std::move(actions);
  probeThreads_ = read.probeThreads;
  tellMediaStates_ = read.mediaNotices;
  if (!media_) {
    media_ = std::make_unique<MediaLibrary>(std::move(probe_), std::string(mediaPath.Str()),
                                            *clock_, checkEvery_);
    // Each channel's items are READY only if its own player can play them: one decode
    // check (and its cache) per backend that has one, over the container probe.
    std::vector<ProbeCache*> caches;
    for (const ChannelRecord& channel : channels_) {
      caches.push_back(&CacheFor(channel.backend));
    }
    MediaCheck::NoticeSink sink;
    if (tellMediaStates_) {
      sink = [this](StatusNotice notice) { PushMediaNotice(std::move(notice)); };
    }
    mediaCheck_ = std::make_unique<MediaCheck>(stores_.data(), std::move(caches), *media_, *clock_,
                                               frameRate, std::move(sink));
    media_->Catalogue().AddListener(mediaCheck_.get());
    for (std::size_t k = 0; k < stores_.size(); ++k) {
      stores_[k].SetEditListener(mediaCheck_.get(), static_cast<std::int32_t>(k));
    }
  }
  running = true;
  return HResult::S_OK;
}

ProbeCache& PlayoutManager::CacheFor(const std::string& backend) {
  for (DecodeCache& known : decodeCaches_) {
    if (known.backend == backend) {
      return *known.cache;
    }
  }
  std::unique_ptr<MediaProbe> check = CreateDecodeCheck(backend, media_->Cache());
  if (!check) {
    return media_->Cache();
  }
  DecodeCache made;
  made.backend = backend;
  made.cache = std::make_unique<ProbeCache>(*check, MediaLibrary::kProbeLimit);
  made.check = std::move(check);
  decodeCaches_.push_back(std::move(made));
  return *decodeCaches_.back().cache;
}

ProbeCache* PlayoutManager::MediaCacheOf(std::size_t k) {
  if (!media_ || k >= channels_.size()) {
    return nullptr;
  }
  return &CacheFor(channels_[k].backend);
}

void PlayoutManager::CheckItemNow(std::int32_t channel, const MosText& roID, const MosText& storyID,
                                  const MosText& itemID) {
  if (mediaCheck_) {
    mediaCheck_->CheckNow(channel, roID, storyID, itemID, std::chrono::seconds(2));
  }
}

std::string PlayoutManager::MediaPathOf(const item& i) const {
  return mediaCheck_ ? mediaCheck_->MediaPathOf(i) : std::string(i.paths.objPath.Str());
}

bool PlayoutManager::MediaCheckIdle() const {
  return !mediaCheck_ || mediaCheck_->Idle();
}

std::int32_t PlayoutManager::FindChannelByName(const MosText& mosID) const {
  const std::string_view text = mosID.Str();
  const auto dot = text.rfind('.');
  const std::string_view name = dot == std::string_view::npos ? text : text.substr(dot + 1);
  for (std::size_t k = 0; k < channels_.size(); ++k) {
    if (EqualsIgnoringCase(name, channels_[k].channelName)) {
      return static_cast<std::int32_t>(k);
    }
  }
  return 0;
}

namespace {

// Whether a notice waiting for noticeHost goes to the sender of host (0: any sender).
bool ForHost(std::uint32_t noticeHost, std::uint32_t host) {
  return host == 0 || noticeHost == 0 || noticeHost == host;
}

// The item a media notice is about: a later notice of the same item replaces it.
std::string MediaNoticeKey(const StatusNotice& notice) {
  std::string key = std::to_string(notice.channel);
  for (const MosText* part : {&notice.roID, &notice.storyID, &notice.itemID}) {
    // Each part led by its length: no ID can run into the next.
    key += ' ' + std::to_string(part->Str().size()) + ':';
    key += part->Str();
  }
  return key;
}

}  // namespace

bool PlayoutManager::PushNotice(StatusNotice notice) {
  if (following) {
    return true;  // the main tells the NRCS; nothing is lost here
  }
  std::lock_guard lock(noticeLock_);  // the notice queues
  const std::size_t waiting = static_cast<std::size_t>(
      std::count_if(notices_.begin(), notices_.end(),
                    [&](const StatusNotice& n) { return n.host == notice.host; }));
  bool kept = true;
  if (waiting >= kNoticeLimit) {
    // The NRCS hears the latest states: what waits longest for a host that takes nothing
    // goes first.
    const auto oldest = std::find_if(notices_.begin(), notices_.end(),
                                     [&](const StatusNotice& n) { return n.host == notice.host; });
    Log("VIDRA - %zu notices wait for NRCS %s already: the oldest (%s of item %s) is dropped\n",
        waiting, notice.host == 0 ? "(any)" : FormatIPv4(notice.host).c_str(),
        oldest->status.CStr(), oldest->itemID.CStr());
    CountDrop();
    notices_.erase(oldest);
    kept = false;
  }
  notices_.push_back(std::move(notice));
  return kept;
}

bool PlayoutManager::PushMediaNotice(StatusNotice notice) {
  if (following) {
    return true;
  }
  std::string key = MediaNoticeKey(notice);
  std::lock_guard lock(noticeLock_);  // the notice queues
  if (const auto found = mediaIndex_.find(key); found != mediaIndex_.end()) {
    *found->second = std::move(notice);  // only the item's latest state is news
    return true;
  }
  if (mediaNotices_.size() >= kMediaNoticeLimit) {
    CountDrop();
    return false;
  }
  mediaNotices_.push_back(std::move(notice));
  mediaIndex_.emplace(std::move(key), std::prev(mediaNotices_.end()));
  return true;
}

std::optional<StatusNotice> PlayoutManager::PopNotice(std::uint32_t host) {
  return PopNotice([host](std::uint32_t noticeHost) { return ForHost(noticeHost, host); });
}

std::optional<StatusNotice> PlayoutManager::PopNotice(const NoticeTaker& takes) {
  const auto taken = [&](const StatusNotice& n) { return takes(n.host); };
  std::lock_guard lock(noticeLock_);  // the notice queues
  if (const auto found = std::find_if(notices_.begin(), notices_.end(), taken);
      found != notices_.end()) {
    StatusNotice oldest = std::move(*found);
    notices_.erase(found);
    return oldest;
  }
  if (const auto found = std::find_if(mediaNotices_.begin(), mediaNotices_.end(), taken);
      found != mediaNotices_.end()) {
    mediaIndex_.erase(MediaNoticeKey(*found));
    StatusNotice oldest = std::move(*found);
    mediaNotices_.erase(found);
    return oldest;
  }
  return std::nullopt;
}

void PlayoutManager::HandOver(StatusNotice notice) {
  std::lock_guard lock(noticeLock_);  // the notice queues
  notices_.push_front(std::move(notice));
}

void PlayoutManager::CountDrop() {
  ++drops_.count;
  drops_.last = GetClock().UtcNow();
  if (metrics != nullptr) {
    metrics->Add("vidra_notices_dropped_total");
  }
}

PlayoutManager::NoticeDrops PlayoutManager::Drops() const {
  std::lock_guard lock(noticeLock_);  // the notice queues and their drops
  return drops_;
}

std::size_t PlayoutManager::NoticeCount(std::uint32_t host) const {
  return NoticeCount([host](std::uint32_t noticeHost) { return ForHost(noticeHost, host); });
}

std::size_t PlayoutManager::NoticeCount(const NoticeTaker& takes) const {
  const auto taken = [&](const StatusNotice& n) { return takes(n.host); };
  std::lock_guard lock(noticeLock_);  // the notice queues
  return static_cast<std::size_t>(std::count_if(notices_.begin(), notices_.end(), taken) +
                                  std::count_if(mediaNotices_.begin(), mediaNotices_.end(), taken));
}

RoStore& PlayoutManager::Store(std::int32_t channel) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= kMaxChannels) {
    return stores_[0];
  }
  return stores_[static_cast<std::size_t>(channel)];
}

void PlayoutManager::AttachPersistence(RoPersistence* persistence) {
  for (std::size_t k = 0; k < stores_.size(); ++k) {
    stores_[k].Attach(static_cast<std::int32_t>(k), persistence, &keys_);
  }
}

bool PlayoutManager::RestoreRunningOrders(RoPersistence& persistence, std::size_t& restored,
                                          std::string& error) {
  return vidra::RestoreRunningOrders(persistence, stores_.data(), stores_.size(),
                                     clock_->LocalNow(), keys_, restored, error);
}

bool PlayoutManager::FollowRo(const StoredState& one, std::string& error) {
  if (one.ros.size() != 1) {
    error = "no running order to follow";
    return false;
  }
  auto followed = std::make_unique<ro>();
  if (!DecodeFollowed(one.ros.front(), one.items, *followed, error)) {
    return false;
  }
  const std::size_t channel = ChannelOf(one.ros.front(), stores_.size());
  for (std::size_t k = 0; k < stores_.size(); ++k) {
    if (k != channel) {
      stores_[k].Unfollow(followed->key);  // moved to another channel by a roCreate there
    }
  }
  stores_[channel].Follow(std::move(followed));
  CommandPosted(static_cast<std::int32_t>(channel));  // the playback looks at once
  return true;
}

void PlayoutManager::UnfollowRo(std::uint64_t key) {
  for (RoStore& store : stores_) {
    store.Unfollow(key);
  }
}

void PlayoutManager::FollowStates(const std::vector<StoredItemState>& states) {
  std::unordered_map<std::uint64_t, const StoredItemState*> byKey;
  for (const StoredItemState& s : states) {
    byKey[s.key] = &s;
  }
  for (std::size_t k = 0; k < stores_.size(); ++k) {
    if (stores_[k].FollowStates(byKey)) {
      CommandPosted(static_cast<std::int32_t>(k));  // the playback looks at once
    }
  }
}

bool PlayoutManager::FollowAll(RoPersistence& persistence, std::string& error) {
  std::size_t restored = 0;
  return vidra::RestoreRunningOrders(persistence, stores_.data(), stores_.size(),
                                     clock_->LocalNow(), keys_, restored, error,
                                     RestoreAs::Follower);
}

std::size_t PlayoutManager::TellOnAir() {
  std::vector<StatusNotice> notices;
  for (std::size_t k = 0; k < stores_.size(); ++k) {
    Snapshot ros;
    stores_[k].CopyRoList(ros);
    for (const auto& r : ros) {
      std::lock_guard guard(r->lock);  // the ro lock, while its items are read
      for (const story& s : r->stories) {
        for (const item& i : s.items) {
          const std::int32_t state = i.state;
          if (state != PLAY && state != CUE) {
            continue;
          }
          StatusNotice& notice = notices.emplace_back();
          notice.channel = static_cast<std::int32_t>(k);
          notice.roID = r->roID;
          notice.storyID = s.storyID;
          notice.itemID = i.itemID;
          notice.objID = i.objID;
          notice.status = state == PLAY ? "PLAY" : "CUE";
          notice.time = NoticeTime(clock_->UtcNow());
          notice.mosID = r->mosID;
          notice.ncsID = r->ncsID;
          notice.host = r->nrcsHost;
        }
      }
    }
  }
  const std::size_t told = notices.size();
  std::size_t madeWay = 0;
  for (StatusNotice& notice : notices) {
    madeWay += PushNotice(std::move(notice)) ? 0 : 1;
  }
  if (madeWay > 0) {
    Log("VIDRA - %zu older notices made way for the item states told after the takeover", madeWay);
  }
  return told;
}

void PlayoutManager::KeysAbove(std::uint64_t maxKey) {
  std::uint64_t now = keys_.load();
  while (now <= maxKey && !keys_.compare_exchange_weak(now, maxKey + 1)) {
  }
}

PlayoutManager::MissingMedia PlayoutManager::MediaMissingHere(std::size_t named) const {
  struct Wanted {
    std::string name;
    item media;  // its objID and objPath only
  };
  std::vector<Wanted> wanted;
  for (const RoStore& store : stores_) {
    Snapshot ros;
    store.CopyRoList(ros);
    for (const auto& r : ros) {
      std::lock_guard guard(r->lock);  // the ro lock, while its items are read
      for (const story& s : r->stories) {
        for (const item& i : s.items) {
          const std::int32_t state = i.state;
          if (state == READY || state == CUE || state == PLAY || state == PAUSE) {
            Wanted& w = wanted.emplace_back();
            w.name = std::string(s.storyID.Str()) + "/" + std::string(i.itemID.Str());
            w.media.objID = i.objID;
            w.media.paths.objPath = i.paths.objPath;
          }
        }
      }
    }
  }
  MissingMedia missing;
  std::unordered_map<std::string, bool> here;  // by file: each looked at once
  for (const Wanted& w : wanted) {
    const std::string path = MediaPathOf(w.media);
    auto [known, first] = here.try_emplace(path, false);
    if (first) {
      std::error_code error;
      known->second = !path.empty() && std::filesystem::is_regular_file(path, error);
    }
    if (!known->second) {
      ++missing.count;
      if (missing.names.size() < named) {
        missing.names.push_back(w.name);
      }
    }
  }
  return missing;
}

void PlayoutManager::StartPlayout() {
  // running was set by InitPlayout; setting it here again could undo a stop that came
  // before this launcher thread ran, and its threads would never end.
  if (running && !playlistSaver_.joinable()) {
    media_->Start();
    mediaCheck_->Start(probeThreads_);
    playlistSaver_ = std::thread([this] {
      while (running) {
        clock_->SleepWhile(std::chrono::seconds(1), running);
        SaveChangedSchedules();
      }
    });
    for (std::size_t k = 0; k < channels_.size(); ++k) {
      threads_.emplace_back([this] {
        const std::int32_t index = startedThreads_++;
        Log("StartPlayOnChannel thread with channel index=%d was started", index);
        ChannelPlayback playback(*this, index);
        playback.Run();
        Log("StartPlayOnChannel thread with channel index=%d was finished", index);
        Log("StartPlayOnChannel event for thread with channel index=%d was setted", index);
      });
    }
    // Wait (at most 10 s) until every channel thread has taken its index. This is a start-up
    // handshake, not schedule time, so it waits in real time: a manual clock that nobody
    // advances must not hold the launcher.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (startedThreads_ < static_cast<std::int32_t>(channels_.size()) && running &&
           std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void PlayoutManager::CommandPosted(std::int32_t channel) {
  if (channel >= 0 && static_cast<std::size_t>(channel) < kMaxChannels) {
    commandWaiting_[static_cast<std::size_t>(channel)] = true;
  }
}

void PlayoutManager::StopNow(std::int32_t k) {
  if (players_.empty()) {
    return;
  }
  const bool valid = k >= 0 && static_cast<std::size_t>(k) < players_.size();
  static_cast<void>(players_[valid ? static_cast<std::size_t>(k) : 0]->PlayEmpty(0.0, 0.1));
}

void PlayoutManager::ForgetRunningOrders() {
  for (std::size_t k = 0; k < stores_.size(); ++k) {
    stores_[k].ForgetAll();
    if (k < players_.size()) {
      StopNow(static_cast<std::int32_t>(k));
    }
  }
}

void PlayoutManager::WaitThreadsEnd() {
  if (mediaCheck_) {
    mediaCheck_->Stop();
  }
  if (media_) {
    media_->Stop();
  }
  if (playlistSaver_.joinable()) {
    playlistSaver_.join();
  }
  for (auto& thread : threads_) {
    if (thread.joinable()) {
      thread.join();
    }
  }
  threads_.clear();
}

void PlayoutManager::SaveChangedSchedules() {
  for (std::size_t k = 0; k < channels_.size(); ++k) {
    const std::uint64_t version = stores_[k].Version();
    if (channels_[k].playlistPath.empty() || version == savedVersions_[k]) {
      continue;
    }
    // Taken before the writing: a change during it is written on the next turn. A playlist
    // that cannot be written is tried again at the next change (and at the stop), not every
    // second with a log line each.
    savedVersions_[k] = version;
    if (!WritePlaylistFile(channels_[k].playlistPath, stores_[k])) {
      Log("VIDRA[%d] - the playlist is written again after the next change", static_cast<int>(k));
    }
  }
}

bool PlayoutManager::SaveSchedules() {
  bool result = true;
  for (std::size_t k = 0; k < channels_.size(); ++k) {
    if (!channels_[k].playlistPath.empty() &&
        !WritePlaylistFile(channels_[k].playlistPath, stores_[k])) {
      result = false;
    }
  }
  return result;
}

}  // namespace vidra

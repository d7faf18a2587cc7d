// The playout side of the server: channels, players and the threads that play running
// orders. Created by InitMOSSrv and destroyed by DeInitMOSSrv on the control thread;
// StartPlayout runs on the launcher thread. It configures the channels and opens their
// players, routes messages to them, runs the media check and one playback thread per
// channel, queues status notices and writes the playlists.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/Metrics.h"
#include "common/MosText.h"
#include "common/Settings.h"
#include "media/MediaLibrary.h"
#include "playout/ChannelActions.h"
#include "playout/ChannelPlayer.h"
#include "playout/ChannelSettings.h"
#include "rundown/PlayoutControl.h"
#include "rundown/RoPersistence.h"
#include "rundown/RoStore.h"
#include "rundown/StatusNotice.h"

namespace vidra {

class MediaCheck;

class PlayoutManager final : public PlayoutControl {
 public:
  // probe examines media files for the media check and the catalogue; none takes the FFmpeg
  // probe. checkEvery: how often a vanished media folder is looked for.
  explicit PlayoutManager(std::shared_ptr<Clock> clock, std::unique_ptr<MediaProbe> probe = {},
                          std::chrono::milliseconds checkEvery = std::chrono::seconds(2));
  ~PlayoutManager() override;
  PlayoutManager(const PlayoutManager&) = delete;
  PlayoutManager& operator=(const PlayoutManager&) = delete;

  // Reads the channel settings (see LoadSettings for the codes), opens each channel's player
  // and anchors its clock, then sets running.
  HResult InitPlayout(const SettingsSource& settings);
  // Starts the playout threads, unless the manager was stopped meanwhile.
  void StartPlayout();
  // Ends the clip on air of channel k (channel 0 for a k out of range) at once.
  void StopNow(std::int32_t k) override;
  std::int32_t NextCtrlActionId() override { return ++ctrlActionCounter_; }
  void CommandPosted(std::int32_t channel) override;
  // Set when channel k has a command to act on; its playback's sleep ends early on it.
  std::atomic<bool>& CommandWaiting(std::size_t k) { return commandWaiting_[k]; }
  FileTime UtcNow() const override { return clock_->UtcNow(); }
  // Channel k's player and its clock anchor; k must be below ChannelCount().
  ChannelPlayer& Player(std::size_t k) { return *players_[k]; }
  ChannelActions& Actions(std::size_t k) { return *actions_[k]; }
  Clock& GetClock() { return *clock_; }
  // An item that a roCtrl is about to play and that is still NEW is examined now (at most
  // 2 s), so it plays instead of being refused.
  void CheckItemNow(std::int32_t channel, const MosText& roID, const MosText& storyID,
                    const MosText& itemID);
  // The media folder's catalogue, probe cache and watcher; null before InitPlayout.
  MediaLibrary* Media() { return media_.get(); }
  const MediaLibrary* Media() const { return media_.get(); }
  // What says whether channel k's player can play a file (the decode check of its backend,
  // or the container probe), by file identity; null before InitPlayout.
  ProbeCache* MediaCacheOf(std::size_t k);
  // The file an item's media is read from (see MediaCheck::MediaPathOf); its objPath before
  // InitPlayout.
  std::string MediaPathOf(const item& i) const;
  // Whether the media check has nothing queued or under way (tests wait for it).
  bool MediaCheckIdle() const;
  // Waits for the threads StartPlayout started; they end once running is cleared.
  void WaitThreadsEnd();
  // Writes each channel's playlist; false when one could not be written completely (the
  // others are written all the same).
  bool SaveSchedules();
  // Writes the playlists of the channels whose running orders changed since they were last
  // written (the saver thread's once-a-second turn).
  void SaveChangedSchedules();

  std::size_t ChannelCount() const { return channels_.size(); }
  const std::vector<ChannelRecord>& Channels() const { return channels_; }
  const std::string& ServerName() const { return serverName_; }

  // The channel that a message's mosID addresses: the part after its last "." against the
  // channel names, without regard to case; 0 when none matches or there is no mosID.
  std::int32_t FindChannelByName(const MosText& mosID) const;

  // The status notices waiting for the NRCS, at most kNoticeLimit for each NRCS host: with
  // that many waiting for a host (one whose sender is gone, say), its oldest is dropped, with
  // a log line and a metric, and PushNotice answers false.
  static constexpr std::size_t kNoticeLimit = 10;
  bool PushNotice(StatusNotice notice) override;
  // A notice of an item that its media made READY or NOT READY. Kept apart, up to
  // kMediaNoticeLimit, so that a folder coming back cannot crowd out the play states; a
  // later notice of the same item takes the place of one still waiting.
  static constexpr std::size_t kMediaNoticeLimit = 2000;
  bool PushMediaNotice(StatusNotice notice);
  // The oldest notice for the NRCS host (network order; 0: any host), play states before
  // media states, taken in the same step that finds one; none when none waits. A notice of
  // a running order whose host is not known goes to any host.
  std::optional<StatusNotice> PopNotice(std::uint32_t host = 0);
  std::size_t NoticeCount(std::uint32_t host = 0) const;
  // The same for a sender that takes the notices meant for the hosts takes answers true for
  // (a notice's host, 0 when not known); takes is called with the notice lock held.
  using NoticeTaker = std::function<bool(std::uint32_t noticeHost)>;
  std::optional<StatusNotice> PopNotice(const NoticeTaker& takes);
  std::size_t NoticeCount(const NoticeTaker& takes) const;
  // A notice that one NRCS did not take, to be the next one sent to another: it goes
  // first, ahead of the queue's limit.
  void HandOver(StatusNotice notice);
  struct NoticeDrops {
    std::uint64_t count = 0;
    FileTime last = 0;  // UTC of the last drop, 0 never
  };
  // Notices dropped since the start because their queue was full.
  NoticeDrops Drops() const;
  // The running orders of one channel (0 to 7); a channel out of range gives channel 0.
  RoStore& Store(std::int32_t channel);
  // Every store saves its changes in persistence from now on (null: memory only). Call
  // before the playout threads start or after they ended.
  void AttachPersistence(RoPersistence* persistence);
  // Ends what each channel plays and takes every running order out of memory, the durable
  // store left alone (a server that became the backup of a pair). Any thread.
  void ForgetRunningOrders();
  // The running orders persistence holds, back into the stores (see RestoreRunningOrders).
  bool RestoreRunningOrders(RoPersistence& persistence, std::size_t& restored, std::string& error);

  // Frames per second of the channels' output.
  double frameRate = 25.0;
  // The media folder that relative objPaths are completed with.
  MosText mediaPath;

  // Where the playback threads count how far each start was off its target; may be null.
  Metrics* metrics = nullptr;

  // Cleared by a stop; the playout threads end when they see it.
  std::atomic<bool> running{false};

  // Set on the backup of a pair: its channels play what the main's item states say the main
  // plays (ChannelPlayback::FollowMain), and what they do is the main's to tell and to keep,
  // so no notice is queued and no item state is written here.
  std::atomic<bool> following{false};
  // The main's changes, as the backup's link applies them (one thread): a running order in
  // its stored form in place of the one with its key (E_FAIL, with why, when it does not
  // decode), one gone, item states; FollowAll puts every running order persistence holds in
  // place of what the channels held. What plays goes on: the playback joins the main's.
  bool FollowRo(const StoredState& one, std::string& error);
  void UnfollowRo(std::uint64_t key);
  void FollowStates(const std::vector<StoredItemState>& states);
  bool FollowAll(RoPersistence& persistence, std::string& error);
  // New running orders and items are numbered above maxKey (a backup taking over).
  void KeysAbove(std::uint64_t maxKey);
  // A backup that took over tells the NRCS once what is on air or cued on its channels, so
  // that the NRCS is in step with the new main; how many notices were queued.
  std::size_t TellOnAir();
  // The items made ready or put on air by a main (READY, CUE, PLAY, PAUSE) whose media is
  // not on this server: a backup would play black for them. The first `named` as "S3/1".
  // Looks at the disk for each distinct file: a backup's own thread calls it, not a turn.
  struct MissingMedia {
    std::uint64_t count = 0;
    std::vector<std::string> names;
  };
  MissingMedia MediaMissingHere(std::size_t named) const;

 private:
  std::shared_ptr<Clock> clock_;
  std::string serverName_ = "VIDRA";
  std::vector<ChannelRecord> channels_;
  mutable std::mutex noticeLock_;  // guards notices_
  std::deque<StatusNotice> notices_;
  // The media notices, oldest first, and where each item's one stands: an item's newer
  // state takes the place of its waiting one in one look-up, also with thousands waiting
  // for an NRCS that takes none. Both guarded by noticeLock_ too.
  std::list<StatusNotice> mediaNotices_;
  std::unordered_map<std::string, std::list<StatusNotice>::iterator> mediaIndex_;
  NoticeDrops drops_;  // guarded by noticeLock_ too
  // A notice dropped: counted for the page and for monitoring. The caller holds noticeLock_.
  void CountDrop();
  std::array<RoStore, kMaxChannels> stores_;
  std::array<std::atomic<bool>, kMaxChannels> commandWaiting_{};
  std::atomic<std::uint64_t> keys_{1};  // numbers stored running orders and items
  std::vector<std::unique_ptr<ChannelPlayer>> players_;
  std::vector<std::unique_ptr<ChannelActions>> actions_;
  std::unique_ptr<MediaProbe> probe_;  // until InitPlayout hands it to the media library
  std::chrono::milliseconds checkEvery_;
  std::unique_ptr<MediaLibrary> media_;
  // A backend's decode check with its cache, made with the media library.
  struct DecodeCache {
    std::string backend;
    std::unique_ptr<MediaProbe> check;
    std::unique_ptr<ProbeCache> cache;
  };
  ProbeCache& CacheFor(const std::string& backend);
  std::vector<DecodeCache> decodeCaches_;  // destroyed before media_, whose cache they use
  std::unique_ptr<MediaCheck> mediaCheck_;
  std::size_t probeThreads_ = 2;
  bool tellMediaStates_ = true;  // [Notices] MediaStatus
  // Rewrites the playlist of each channel whose running orders changed, at most once a
  // second, so that a crash leaves a recent one.
  std::thread playlistSaver_;
  std::array<std::uint64_t, kMaxChannels> savedVersions_{};  // the saver's only
  std::atomic<std::int32_t> startedThreads_{0};
  std::atomic<std::int32_t> ctrlActionCounter_{
      0};  // numbers accepted roCtrl commands  // each channel thread takes its index here
  std::vector<std::thread> threads_;
};

}  // namespace vidra

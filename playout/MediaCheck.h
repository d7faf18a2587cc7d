// The media check: a queue of items to examine, fed by the stores' edits (new and changed
// items, at once) and by the catalogue (items whose file came, changed or went), served by
// a small pool of workers that probe with no lock held, through the probe cache. Items are
// taken in running-order order. A result is written back only if its running order was not
// edited meanwhile; an edit queues the running order anew. A running order with no NEW item
// left is marked checked and its schedule computed. Nothing the players or the playback
// threads do waits on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/Clock.h"
#include "media/MediaLibrary.h"
#include "rundown/RoStore.h"
#include "rundown/StatusNotice.h"

namespace vidra {

class MediaCheck final : public RoEditListener, public CatalogueListener {
 public:
  // Queues a roElementStat notice of an item that its media made READY or NOT READY.
  using NoticeSink = std::function<void(StatusNotice)>;

  // caches: per channel, what says whether its player can play a file. notices may be empty
  // (no media notices to the NRCS).
  MediaCheck(RoStore* stores, std::vector<ProbeCache*> caches, MediaLibrary& media, Clock& clock,
             const double& frameRate, NoticeSink notices);
  ~MediaCheck() override;
  MediaCheck(const MediaCheck&) = delete;
  MediaCheck& operator=(const MediaCheck&) = delete;

  // Starts the queue's thread and `workers` probe workers; every store is queued once.
  void Start(std::size_t workers);
  // Ends them and waits for them; what is queued stays unchecked.
  void Stop();

  void RunningOrdersEdited(std::int32_t channel) override;
  void CatalogueChanged(const CatalogueEvent& event) override;

  // An item about to be played (roCtrl) that is still NEW is examined now, on the caller's
  // thread, within limit, instead of being refused.
  void CheckNow(std::int32_t channel, const MosText& roID, const MosText& storyID,
                const MosText& itemID, std::chrono::milliseconds limit);
  // The file the item's media is read from: its objPath, or, for an item without a usable
  // one, the path of the catalogue object its objID names. Normal form.
  std::string MediaPathOf(const item& i) const;
  // Items examined so far (first checks and later ones), for tests and the status page.
  std::uint64_t Examined() const { return examined_; }
  // Whether the queue is empty with no check under way.
  bool Idle() const;

 private:
  enum class JobKind { First, Again };
  struct Job {
    JobKind kind = JobKind::First;
    std::int32_t channel = 0;
    NewItemRef ref;
  };

  // What one batch of jobs found: the file each objPath names, and what the probe cache said
  // of each file. The items of a running order mostly name a few files;
  // each is looked at (stat, cache) once per batch instead of once per item.
  // An item's own path made whole, and whether a file stands there.
  struct OwnPath {
    std::string path;
    bool exists = false;
  };
  OwnPath OwnPathOf(const MosText& objPath) const;
  std::string MediaPathOf(const MosText& objID, const OwnPath& own) const;
  struct Looked {
    std::unordered_map<std::string, OwnPath> paths;
    std::map<std::pair<const ProbeCache*, std::string>, ProbeResult> results;
  };
  // The jobs a worker takes at once.
  static constexpr std::size_t kBatch = 64;

  void Plan();
  void Work();
  void Examine(const Job& job, std::chrono::milliseconds limit, Looked& looked);
  void Notify(std::int32_t channel, const NewItemRef& ref, std::int32_t state);

  RoStore* stores_;
  std::vector<ProbeCache*> caches_;
  std::size_t channels_;
  MediaLibrary& media_;
  Clock& clock_;
  const double& frameRate_;
  NoticeSink notices_;

  mutable std::mutex lock_;           // guards every field below up to the threads
  std::condition_variable wake_;      // the planner: work to plan, or the stop
  std::condition_variable jobsCv_;    // the workers: jobs, or the stop
  std::set<std::int32_t> dirty_;      // channels edited since they were last planned
  std::vector<std::string> paths_;    // files changed since the last plan
  std::vector<std::string> folders_;  // folders whose whole content changed
  std::deque<Job> jobs_;
  std::size_t busy_ = 0;  // batches being examined now
  bool planning_ = false;
  bool stopping_ = false;

  std::atomic<std::uint64_t> examined_{0};
  std::thread planner_;
  std::vector<std::thread> workers_;
};

}  // namespace vidra

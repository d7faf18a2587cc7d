// The queue's thread turns edits and file changes into jobs; the workers examine them. The
// thread keeps the lines the server always logged for its media check.
#include "playout/MediaCheck.h"

#include <sys/stat.h>

#include <unordered_set>
#include <utility>

#include "common/Log.h"
#include "common/ThreadPriority.h"

namespace vidra {

namespace {

// An objPath that names a file on this machine: not a Windows share or drive path, which an
// NRCS may carry over from another server.
bool UsableForm(const MosText& objPath) {
  const std::string_view text = objPath.Str();
  return !text.empty() && text.rfind("\\\\", 0) != 0 && !(text.size() > 1 && text[1] == ':');
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool IsUnder(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

}  // namespace

MediaCheck::MediaCheck(RoStore* stores, std::vector<ProbeCache*> caches, MediaLibrary& media,
                       Clock& clock, const double& frameRate, NoticeSink notices)
    : stores_(stores),
      caches_(std::move(caches)),
      channels_(caches_.size()),
      media_(media),
      clock_(clock),
      frameRate_(frameRate),
      notices_(std::move(notices)) {}

MediaCheck::~MediaCheck() {
  Stop();
}

void MediaCheck::Start(std::size_t workers) {
  if (planner_.joinable()) {
    return;
  }
  {
    std::lock_guard guard(lock_);  // dirty_: the running orders recovered at start
    for (std::size_t k = 0; k < channels_; ++k) {
      dirty_.insert(static_cast<std::int32_t>(k));
    }
  }
  planner_ = std::thread([this] { Plan(); });
  for (std::size_t k = 0; k < std::max<std::size_t>(workers, 1); ++k) {
    workers_.emplace_back([this] { Work(); });
  }
}

void MediaCheck::Stop() {
  {
    std::lock_guard guard(lock_);  // stopping_
    stopping_ = true;
  }
  wake_.notify_all();
  jobsCv_.notify_all();
  if (planner_.joinable()) {
    planner_.join();
  }
  for (std::thread& worker : workers_) {
    worker.join();
  }
  workers_.clear();
}

void MediaCheck::RunningOrdersEdited(std::int32_t channel) {
  {
    std::lock_guard guard(lock_);  // dirty_
    dirty_.insert(channel);
  }
  wake_.notify_one();
}

void MediaCheck::CatalogueChanged(const CatalogueEvent& event) {
  {
    std::lock_guard guard(lock_);  // paths_ and folders_
    paths_.insert(paths_.end(), event.paths.begin(), event.paths.end());
    folders_.insert(folders_.end(), event.folders.begin(), event.folders.end());
  }
  wake_.notify_one();
}

bool MediaCheck::Idle() const {
  std::lock_guard guard(lock_);  // the queue and its counters
  return jobs_.empty() && busy_ == 0 && !planning_ && dirty_.empty() && paths_.empty() &&
         folders_.empty();
}

MediaCheck::OwnPath MediaCheck::OwnPathOf(const MosText& objPath) const {
  OwnPath own;
  own.path = UsableForm(objPath) ? NormalPath(objPath.Str()) : "";
  own.exists = !own.path.empty() && Exists(own.path);
  return own;
}

std::string MediaCheck::MediaPathOf(const item& i) const {
  return MediaPathOf(i.objID, OwnPathOf(i.paths.objPath));
}

std::string MediaCheck::MediaPathOf(const MosText& objID, const OwnPath& own) const {
  const std::string& path = own.path;
  if (!own.exists) {
    // Journalists drag objects from the NRCS's browser into stories: such items carry the
    // objID of one of this server's objects, and often no path of their own.
    if (std::string object = media_.Catalogue().PathOf(objID.Str()); !object.empty()) {
      return object;
    }
  }
  return path;
}

void MediaCheck::Plan() {
  // Checks run behind the answers: a roCreate's check must not hold up its own roAck.
  LowerThisThreadPriority("media check");
  LogText("CheckFile thread was started");
  std::unique_lock guard(lock_);  // the queue, while it is looked at
  for (;;) {
    wake_.wait(guard, [this] {
      return stopping_ || !dirty_.empty() || !paths_.empty() || !folders_.empty();
    });
    if (stopping_) {
      break;
    }
    const std::set<std::int32_t> dirty = std::exchange(dirty_, {});
    const std::vector<std::string> paths = std::exchange(paths_, {});
    const std::vector<std::string> folders = std::exchange(folders_, {});
    planning_ = true;
    guard.unlock();
    std::vector<Job> planned;
    for (const std::int32_t channel : dirty) {
      if (channel < 0 || static_cast<std::size_t>(channel) >= channels_) {
        continue;
      }
      for (NewItemRef& ref : stores_[channel].CollectNewItems()) {
        planned.push_back(Job{JobKind::First, channel, std::move(ref)});
      }
    }
    std::vector<Job> again;
    if (!paths.empty() || !folders.empty()) {
      const std::unordered_set<std::string> changed(paths.begin(), paths.end());
      // Asked under the running orders' locks: no file is opened or looked at here, so a
      // hung share never holds a lock that playback needs.
      const auto names = [&](const item& i) {
        const std::int32_t state = i.state;
        if (state != READY && state != NOT_READY) {
          return false;
        }
        const std::string own =
            UsableForm(i.paths.objPath) ? NormalPath(i.paths.objPath.Str()) : std::string();
        const std::string object = media_.Catalogue().PathOf(i.objID.Str());
        for (const std::string* path : {&own, &object}) {
          if (path->empty()) {
            continue;
          }
          if (changed.contains(*path)) {
            return true;
          }
          for (const std::string& folder : folders) {
            if (IsUnder(*path, folder)) {
              return true;
            }
          }
        }
        // An item that was NOT READY for want of its object's path: a new object may be it.
        return state == NOT_READY && own.empty() && !i.objID.IsEmpty();
      };
      for (std::size_t k = 0; k < channels_; ++k) {
        for (NewItemRef& ref : stores_[k].CollectItems(names)) {
          again.push_back(Job{JobKind::Again, static_cast<std::int32_t>(k), std::move(ref)});
        }
      }
    }
    guard.lock();
    planning_ = false;
    // The channels planned again drop their earlier first checks: the new plan holds every
    // item that is still NEW, in running-order order.
    std::erase_if(jobs_, [&](const Job& job) {
      return job.kind == JobKind::First && dirty.contains(job.channel);
    });
    for (Job& job : planned) {
      jobs_.push_back(std::move(job));
    }
    for (Job& job : again) {
      jobs_.push_back(std::move(job));
    }
    jobsCv_.notify_all();
  }
  guard.unlock();
  LogText("CheckFile thread was finished");
  LogText("CheckFile event was setted");
}

void MediaCheck::Work() {
  LowerThisThreadPriority("media check");
  std::unique_lock guard(lock_);  // the queue
  for (;;) {
    jobsCv_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) {
      return;
    }
    std::vector<Job> batch;
    while (!jobs_.empty() && batch.size() < kBatch) {
      batch.push_back(std::move(jobs_.front()));
      jobs_.pop_front();
    }
    ++busy_;
    guard.unlock();
    Looked looked;
    for (const Job& job : batch) {
      Examine(job, MediaLibrary::kProbeLimit, looked);
    }
    guard.lock();
    --busy_;
  }
}

void MediaCheck::Examine(const Job& job, std::chrono::milliseconds limit, Looked& looked) {
  const ItemNames& named = job.ref.snapshot;
  auto [known, fresh] = looked.paths.try_emplace(std::string(named.objPath.Str()));
  if (fresh) {
    known->second = OwnPathOf(named.objPath);
  }
  const std::string path = MediaPathOf(named.objID, known->second);
  ProbeCache& cache = *caches_[static_cast<std::size_t>(job.channel)];
  auto [probed, first] = looked.results.try_emplace(std::pair{&cache, path});
  if (first) {
    probed->second = cache.Lookup(path, limit);
  }
  const ProbeResult& result = probed->second;
  const std::int32_t state = result.playable ? READY : NOT_READY;
  const std::int32_t frames = FramesAt(result, frameRate_);
  ++examined_;
  RoStore& store = stores_[job.channel];
  if (job.kind == JobKind::First) {
    // False when the running order was edited meanwhile (the edit queued it anew) or the
    // item was checked by a roCtrl first.
    if (store.CompleteItemCheck(job.ref, state, frames, frameRate_, path)) {
      store.FinishCheck(*job.ref.owner);
      // The NRCS hears the first verdict too: a missing file is what it most needs to know
      // before air, not only when the channel cues the item.
      Notify(job.channel, job.ref, state);
    }
    return;
  }
  if (store.UpdateCheckedItem(job.ref, state, frames, frameRate_, path) == RecheckResult::Changed &&
      job.ref.snapshot.state != state) {
    Log("VIDRA[%d] - item %s of running order %s is %s: its media %s", job.channel,
        job.ref.snapshot.itemID.CStr(), job.ref.owner->roID.CStr(),
        state == READY ? "READY" : "NOT READY", state == READY ? "came" : "is gone or unplayable");
    Notify(job.channel, job.ref, state);
  }
}

void MediaCheck::CheckNow(std::int32_t channel, const MosText& roID, const MosText& storyID,
                          const MosText& itemID, std::chrono::milliseconds limit) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= channels_) {
    return;
  }
  std::optional<NewItemRef> ref = stores_[channel].FindItemRef(roID, storyID, itemID);
  if (!ref || ref->snapshot.state != NEW) {
    return;
  }
  Looked looked;
  Examine(Job{JobKind::First, channel, std::move(*ref)}, limit, looked);
}

void MediaCheck::Notify(std::int32_t channel, const NewItemRef& ref, std::int32_t state) {
  if (!notices_) {
    return;
  }
  StatusNotice notice;
  notice.channel = channel;
  {
    std::lock_guard guard(ref.owner->lock);  // the ro lock: its IDs and the story's
    notice.roID = ref.owner->roID;
    notice.mosID = ref.owner->mosID;
    notice.ncsID = ref.owner->ncsID;
    notice.host = ref.owner->nrcsHost;
    if (ref.storyIndex >= 0 &&
        static_cast<std::size_t>(ref.storyIndex) < ref.owner->stories.size()) {
      notice.storyID = ref.owner->stories[static_cast<std::size_t>(ref.storyIndex)].storyID;
    }
  }
  notice.itemID = ref.snapshot.itemID;
  notice.objID = ref.snapshot.objID;
  notice.status = MosText(state == READY ? "READY" : "NOT READY");
  notice.time = MosText(NoticeTime(clock_.UtcNow()));
  notices_(std::move(notice));
}

}  // namespace vidra

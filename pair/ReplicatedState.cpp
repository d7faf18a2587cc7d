#include "pair/ReplicatedState.h"

#include <random>

#include "common/Log.h"

namespace vidra {

namespace {

std::uint64_t NewStream() {
  std::random_device random;
  std::uint64_t stream = 0;
  while (stream == 0) {  // 0 is "no stream": a backup that needs a copy
    stream = (std::uint64_t{random()} << 32) ^ random();
  }
  return stream;
}

}  // namespace

ReplicatedState::ReplicatedState(RoPersistence* store, AnswerMemory& answers, Metrics* metrics,
                                 std::chrono::milliseconds syncTimeout, std::size_t keptBytes)
    : store_(store),
      answers_(answers),
      metrics_(metrics),
      syncTimeout_(syncTimeout),
      keptLimit_(keptBytes) {}

std::uint64_t ReplicatedState::Record(FrameKind kind, const RoChange* change, const MessageKey* key,
                                      std::string answer, bool waited) {
  LinkFrame frame;
  frame.kind = kind;
  frame.seq = ++progress_.seq;
  frame.waited = waited;
  if (change != nullptr) {
    frame.change = *change;
  }
  if (key != nullptr) {
    frame.key = *key;
    frame.answer = std::move(answer);
  }
  std::string bytes = EncodeFrame(frame);
  keptBytes_ += bytes.size();
  kept_.emplace_back(frame.seq, std::move(bytes));
  while (keptBytes_ > keptLimit_ && kept_.size() > 1) {
    keptBytes_ -= kept_.front().second.size();
    kept_.pop_front();
  }
  framed_.notify_all();
  return frame.seq;
}

void ReplicatedState::Restart(const char* why) {
  progress_.stream = NewStream();
  progress_.inStep = false;
  kept_.clear();
  keptBytes_ = 0;
  Log("VIDRA - pair: %s: the backup is sent a whole copy", why);
  framed_.notify_all();
  acked_.notify_all();
}

// The change goes to the backup while this server commits it, so that the backup's round
// trip and the local commit overlap: an edit waits for the slower of the two, not for both.
bool ReplicatedState::Commit(RoChange change, std::string& error) {
  std::unique_lock lock(lock_);  // the link's state: numbers, kept frames, acknowledgements
  if (!leading_) {
    error = "this server is the backup";
    return false;
  }
  copied_.wait(lock, [this] { return !copyWanted_; });
  const std::uint64_t seq = Record(FrameKind::Change, &change, nullptr, {}, true);
  ++inFlight_;
  lock.unlock();
  const bool saved = store_ == nullptr || store_->Commit(change, error);
  lock.lock();
  if (--inFlight_ == 0) {
    copied_.notify_all();
  }
  if (!saved) {
    // The backup may have the change this server could not keep: it starts again from what
    // this server holds.
    Restart("a change sent to the backup could not be saved here");
    return false;
  }
  mirror_.Apply(change);
  if (!progress_.inStep) {
    return true;
  }
  const auto start = std::chrono::steady_clock::now();
  if (!acked_.wait_for(lock, syncTimeout_,
                       [&] { return progress_.acked >= seq || !progress_.inStep; })) {
    progress_.inStep = false;
    ++progress_.timeouts;
    Log("VIDRA - pair: the backup did not acknowledge change %llu within %lld ms: the main "
        "answers alone (degraded) until the backup is in step again",
        static_cast<unsigned long long>(seq), static_cast<long long>(syncTimeout_.count()));
    if (metrics_ != nullptr) {
      metrics_->Add("vidra_pair_sync_timeouts_total");
    }
  } else if (metrics_ != nullptr) {
    metrics_->Observe(
        "vidra_pair_sync_wait_seconds",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return true;
}

void ReplicatedState::Post(RoChange change) {
  std::lock_guard lock(lock_);  // the link's state; the store's queue keeps the same order
  if (!leading_) {
    return;  // a backup's channels hold nothing of their own to keep
  }
  if (store_ != nullptr) {
    store_->Post(change);
  }
  mirror_.Apply(change);
  Record(FrameKind::Change, &change, nullptr, {}, false);
}

bool ReplicatedState::Open(std::string& error) {
  std::lock_guard lock(lock_);  // the mirror
  StoredState stored;
  if (store_ != nullptr && !store_->Load(stored, error)) {
    return false;
  }
  mirror_.Reset(stored);
  loaded_ = true;
  return true;
}

bool ReplicatedState::Load(StoredState& out, std::string& error) {
  std::lock_guard lock(lock_);  // the mirror
  if (!loaded_) {
    error = "the pair's state was not read from its store";
    return false;
  }
  out = mirror_.Copy();
  return true;
}

std::optional<RememberedAnswer> ReplicatedState::Recall(const MessageKey& key) {
  return answers_.Recall(key);
}

void ReplicatedState::Remember(const MessageKey& key, std::string answer) {
  answers_.Remember(key, answer);
  std::lock_guard lock(lock_);  // the link's state
  if (leading_) {
    Record(FrameKind::Answer, nullptr, &key, std::move(answer), false);
  }
}

void ReplicatedState::SetLeading(bool leading) {
  std::lock_guard lock(lock_);  // the link's state
  if (leading == leading_) {
    return;
  }
  KeepApplied();  // a promoted backup's first commits come after what it took from the main
  leading_ = leading;
  progress_ = LinkProgress{};
  progress_.stream = leading ? NewStream() : 0;
  kept_.clear();
  keptBytes_ = 0;
  copying_ = false;
  acked_.notify_all();
  framed_.notify_all();
}

bool ReplicatedState::Leading() const {
  std::lock_guard lock(lock_);  // the link's state
  return leading_;
}

LinkProgress ReplicatedState::Progress() const {
  std::lock_guard lock(lock_);  // the link's state
  LinkProgress p = progress_;
  p.degraded = leading_ && !progress_.inStep;
  return p;
}

std::optional<std::string> ReplicatedState::FrameAfter(std::uint64_t stream, std::uint64_t after,
                                                       std::chrono::milliseconds wait,
                                                       bool& covered) {
  std::unique_lock lock(lock_);  // the link's state
  covered = true;
  const std::uint64_t wakes = wakes_;
  framed_.wait_for(lock, wait, [&] {
    return progress_.seq > after || wakes_ != wakes || progress_.stream != stream;
  });
  if (progress_.stream != stream) {
    covered = false;
    return std::nullopt;
  }
  if (progress_.seq <= after) {
    return std::nullopt;
  }
  if (kept_.empty() || kept_.front().first > after + 1) {
    covered = false;
    return std::nullopt;
  }
  return kept_[static_cast<std::size_t>(after + 1 - kept_.front().first)].second;
}

ReplicatedState::WholeCopy ReplicatedState::TakeCopy() {
  std::unique_lock lock(lock_);  // the mirror and the numbers, taken together
  // Changes numbered but still being committed here are not in memory yet: the copy waits
  // for them, and new ones wait for the copy (it takes milliseconds).
  copyWanted_ = true;
  copied_.wait(lock, [this] { return inFlight_ == 0; });
  WholeCopy copy{progress_.stream, progress_.seq, mirror_.MaxKey(), mirror_.AsChanges()};
  copyWanted_ = false;
  copied_.notify_all();
  return copy;
}

bool ReplicatedState::Covers(std::uint64_t stream, std::uint64_t seq) const {
  std::lock_guard lock(lock_);  // the link's state
  if (stream != progress_.stream || seq > progress_.seq) {
    return false;
  }
  return seq == progress_.seq || (!kept_.empty() && kept_.front().first <= seq + 1);
}

void ReplicatedState::LinkUp() {
  std::lock_guard lock(lock_);  // the link's state
  progress_.acked = 0;
}

void ReplicatedState::Acked(std::uint64_t seq) {
  std::lock_guard lock(lock_);  // the link's state
  progress_.acked = std::max(progress_.acked, seq);
  if (leading_ && !progress_.inStep && progress_.acked >= progress_.seq) {
    progress_.inStep = true;
    Log("VIDRA - pair: the backup is in step (change %llu): edits are answered once it has "
        "them",
        static_cast<unsigned long long>(seq));
  }
  acked_.notify_all();
}

void ReplicatedState::LinkDown() {
  std::lock_guard lock(lock_);  // the link's state
  if (progress_.inStep) {
    Log("VIDRA - pair: the link to the backup is down: the main answers alone (degraded)");
  }
  progress_.inStep = false;
  acked_.notify_all();
}

void ReplicatedState::Wake() {
  std::lock_guard lock(lock_);  // the link's state
  ++wakes_;
  framed_.notify_all();
  acked_.notify_all();
}

void ReplicatedState::KeepApplied() {
  for (RoChange& change : unkept_) {
    store_->Post(std::move(change));
  }
  unkept_.clear();
}

void ReplicatedState::Follow(const LinkFrame& frame) {
  {
    std::lock_guard lock(lock_);  // the changes not yet queued for the disk
    KeepApplied();
  }
  if (follower_ && frame.kind == FrameKind::CopyEnd) {
    follower_(nullptr);
  } else if (follower_ && frame.kind == FrameKind::Change) {
    follower_(&frame.change);
  }
}

bool ReplicatedState::LoadRo(std::uint64_t key, StoredState& out) const {
  std::lock_guard lock(lock_);  // the mirror
  return mirror_.RoOf(key, out);
}

std::uint64_t ReplicatedState::MaxKey() const {
  std::lock_guard lock(lock_);  // the mirror
  return mirror_.MaxKey();
}

bool ReplicatedState::ApplyFromMain(const LinkFrame& frame, std::uint64_t stream,
                                    std::string& why) {
  std::lock_guard lock(lock_);  // the link's state and the mirror, in the main's order
  if (leading_) {
    why = "this server is main";
    return false;
  }
  switch (frame.kind) {
    case FrameKind::CopyBegin:
      KeepApplied();
      // Until the copy is whole, a restart or a cut link asks for it again.
      progress_.stream = 0;
      progress_.seq = 0;
      copying_ = true;
      for (const std::uint64_t key : mirror_.RoKeys()) {
        RoChange gone;
        gone.roKey = key;
        gone.removeRo = true;
        mirror_.Apply(gone);
        if (store_ != nullptr) {
          store_->Post(std::move(gone));
        }
      }
      return true;
    case FrameKind::CopyRo:
      if (!copying_) {
        why = "a running order of a copy that did not begin";
        return false;
      }
      mirror_.Apply(frame.change);
      if (store_ != nullptr) {
        store_->Post(frame.change);
      }
      return true;
    case FrameKind::CopyEnd: {
      if (!copying_) {
        why = "the end of a copy that did not begin";
        return false;
      }
      // The copy is on disk before the backup says it has it.
      std::string error;
      if (store_ != nullptr && !store_->Commit(RoChange{}, error)) {
        why = "the copy could not be saved: " + error;
        return false;
      }
      copying_ = false;
      progress_.stream = stream;
      progress_.seq = frame.seq;
      return true;
    }
    case FrameKind::Change:
    case FrameKind::Answer:
      break;
    default:
      why = "a frame that carries no change";
      return false;
  }
  if (copying_ || progress_.stream != stream || frame.seq != progress_.seq + 1) {
    why = "change " + std::to_string(frame.seq) + " came after " + std::to_string(progress_.seq) +
          (copying_ ? ", in a copy" : "");
    return false;
  }
  // Acknowledged once it is in memory, and queued for the disk right after the
  // acknowledgement: the main has it on its own disk before it answers, so only both servers
  // failing within the few milliseconds the backup's writer takes could lose it, and the
  // backup's writer does not take the processor from the acknowledgement on a busy machine.
  if (frame.kind == FrameKind::Answer) {
    if (frame.key) {
      answers_.Remember(*frame.key, frame.answer);
    }
  } else if (store_ != nullptr) {
    unkept_.push_back(frame.change);
  }
  mirror_.Apply(frame.change);
  progress_.seq = frame.seq;
  return true;
}

}  // namespace vidra

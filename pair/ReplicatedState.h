// The durable store as a main/backup pair sees it. On the main every change the channels
// commit or post, and every answer kept for a message sent again, is written to the store
// underneath, then numbered and kept for the link in commit order; a commit returns (and its
// message is answered) once the backup has acknowledged it, or after the sync timeout, past
// which the main goes on alone (degraded) until the backup is in step again. On the backup
// the changes come from the main and go to the store underneath in the main's order, while
// what its own channels would change (they follow the main's) is ignored. Either way a copy
// of the whole state is kept in memory, to send to a backup that needs all of it and for the
// backup's channels to follow. Shared by the connection, playout and link threads: one lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Metrics.h"
#include "pair/LinkFrames.h"
#include "pair/StateMirror.h"
#include "rundown/AnswerMemory.h"
#include "rundown/RoPersistence.h"

namespace vidra {

// The main's changes kept for a backup that falls behind, at most: past this the oldest go
// and a backup that needed them takes a whole copy.
constexpr std::size_t kKeptChangeBytes = std::size_t{256} << 20;

struct LinkProgress {
  std::uint64_t stream = 0;
  std::uint64_t seq = 0;    // the last change numbered (main) or applied (backup)
  std::uint64_t acked = 0;  // main: the last the backup acknowledged
  bool inStep = false;      // main: commits wait for the backup
  bool degraded = false;    // main: a backup is set up but the main answers alone
  std::uint64_t timeouts = 0;
};

class ReplicatedState final : public RoPersistence, public AnswerMemory {
 public:
  // store: the database (null: memory only); answers: where answers are kept.
  // keptBytes: the changes kept for a backup that falls behind, at most.
  ReplicatedState(RoPersistence* store, AnswerMemory& answers, Metrics* metrics,
                  std::chrono::milliseconds syncTimeout, std::size_t keptBytes = kKeptChangeBytes);

  // Reads what the store holds into memory; call once, before anything else. False, with
  // what is wrong in error, when the store cannot be read.
  bool Open(std::string& error);

  bool Commit(RoChange change, std::string& error) override;
  void Post(RoChange change) override;
  // What memory holds: what the store held at Open and every change since (a backup that
  // becomes main puts it into its channels).
  bool Load(StoredState& out, std::string& error) override;
  std::optional<RememberedAnswer> Recall(const MessageKey& key) override;
  void Remember(const MessageKey& key, std::string answer) override;

  // Main (leading) or backup. Becoming main starts a new stream; becoming backup forgets
  // what was applied, so the next main sends a whole copy.
  void SetLeading(bool leading);
  bool Leading() const;
  LinkProgress Progress() const;

  // For the main's link. The frame numbered after, waiting at most wait for one; none when
  // there is none yet, covered false when it is no longer kept (the backup needs a copy).
  // stream: the one the link began with; a new one (after a change this server could not
  // save) is not covered either.
  std::optional<std::string> FrameAfter(std::uint64_t stream, std::uint64_t after,
                                        std::chrono::milliseconds wait, bool& covered);
  struct WholeCopy {
    std::uint64_t stream = 0;
    std::uint64_t seq = 0;
    std::uint64_t maxKey = 0;
    std::vector<RoChange> ros;
  };
  WholeCopy TakeCopy();
  // Whether a backup at stream/seq can be sent the kept changes from seq + 1 on.
  bool Covers(std::uint64_t stream, std::uint64_t seq) const;
  // The link is up and the backup has sent everything before from: commits wait again once
  // it has caught up.
  void LinkUp();
  void Acked(std::uint64_t seq);
  void LinkDown();
  // Wakes whoever waits for a frame or an acknowledgement (a stop).
  void Wake();

  // For the backup's link: applies one frame of the main's (Change, Answer, CopyBegin,
  // CopyRo, CopyEnd of the given stream). False, with why, when it is out of sequence or the
  // store could not take it; the backup then needs a whole copy.
  bool ApplyFromMain(const LinkFrame& frame, std::uint64_t stream, std::string& why);
  // Backup: told of each change applied from the main, in the main's order, with no lock of
  // this state held (null: a whole copy has come). Set before the link starts.
  using Follower = std::function<void(const RoChange* change)>;
  void SetFollower(Follower follower) { follower_ = std::move(follower); }
  // Queues what ApplyFromMain applied for the disk and tells the follower of the frame:
  // called by the link once the frame is acknowledged (or could not be), so that the disk's
  // and the channels' work stay out of the main's wait.
  void Follow(const LinkFrame& frame);
  // One running order as memory holds it, with its items; false when there is none.
  bool LoadRo(std::uint64_t key, StoredState& out) const;
  std::uint64_t MaxKey() const;

 private:
  // A new stream: the backup takes a whole copy. The caller holds lock_.
  void Restart(const char* why);
  // Backup: posts the changes applied and not yet queued for the disk, in order. The caller
  // holds lock_.
  void KeepApplied();
  std::uint64_t Record(FrameKind kind, const RoChange* change, const MessageKey* key,
                       std::string answer, bool waited);

  Follower follower_;
  RoPersistence* store_;
  AnswerMemory& answers_;
  Metrics* metrics_;
  const std::chrono::milliseconds syncTimeout_;
  const std::size_t keptLimit_;

  mutable std::mutex lock_;         // guards everything below
  std::condition_variable framed_;  // a frame was kept
  std::condition_variable acked_;   // the backup acknowledged, or the link changed
  bool leading_ = false;
  bool loaded_ = false;
  StateMirror mirror_;
  LinkProgress progress_;
  std::deque<std::pair<std::uint64_t, std::string>> kept_;  // seq and frame, oldest first
  std::size_t keptBytes_ = 0;
  bool copying_ = false;            // backup: a whole copy is coming in
  std::deque<RoChange> unkept_;     // backup: applied, not yet queued for the disk
  std::condition_variable copied_;  // no commit in flight, or a copy taken
  int inFlight_ = 0;                // main: commits numbered, not yet saved here
  bool copyWanted_ = false;         // main: a copy waits for the commits in flight
  std::uint64_t wakes_ = 0;
};

}  // namespace vidra

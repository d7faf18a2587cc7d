// One server's side of a main/backup pair: its role, its epoch, and the link to its peer.
// The main connects to the peer's link port and sends it every change in commit order (or a
// copy of the whole state when the backup cannot be brought up from the changes kept); the
// backup listens, applies what comes in order and acknowledges it. Roles are set from
// outside (the settings, vidractl role, the VRRP daemon's notify scripts): the pair never
// elects itself, except that a main that meets a main of a higher epoch steps down, and a
// link from a lower epoch than the one known is refused, so two mains never both go on
// taking edits. Owns its two threads (listen, lead), stopped by Stop or its destruction.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Clock.h"
#include "common/HResult.h"
#include "pair/PairSettings.h"
#include "pair/ReplicatedState.h"
#include "transport/RoleGate.h"

namespace vidra {

// The items the backup would play black for: their media is not on the backup. The first
// few are named ("S3/1"); count is all of them.
struct MediaLack {
  std::uint64_t count = 0;
  std::vector<std::string> names;
  bool operator==(const MediaLack&) const = default;
};

// What the page, /api/state, /metrics and vidractl show of the pair.
struct PairStatus {
  PairRole role = PairRole::Single;
  std::uint64_t epoch = 0;
  std::string peer;  // host:port
  std::uint16_t linkPort = 0;
  std::string link = "down";            // "down", "copying", "in step", "behind", "refused"
  std::string refused;                  // why the last link was refused, when it was
  std::uint64_t seq = 0;                // the last change numbered (main) or applied (backup)
  std::uint64_t behind = 0;             // main: changes the backup has not acknowledged
  bool degraded = false;                // main: answering without the backup
  std::optional<double> clockOffsetMs;  // the backup's clock minus the main's
  double halfFrameMs = 20.0;
  std::uint64_t syncTimeouts = 0;
  MediaLack backupLacks;  // as the backup found it (on the main: as the backup last said)
};

// What the host does when the role changes: put the stored running orders into the
// channels (promoted) or take them out (demoted). Called from whichever thread changed the
// role, with no lock of the link's held.
struct PairHooks {
  std::function<void()> promoted;
  std::function<void()> demoted;
  // Keeps the epoch where it survives a restart; false when it could not be kept.
  std::function<bool(std::uint64_t epoch, std::string& error)> saveEpoch;
  // Backup: the items whose media it lacks, as last found (cheap: no look at the disk).
  std::function<MediaLack()> lacking;
};

class PairLink final : public RoleGate {
 public:
  PairLink(PairSettings settings, ReplicatedState& state, std::shared_ptr<Clock> clock,
           std::vector<std::string> channels, double frameRate, std::uint64_t epoch,
           PairHooks hooks);
  ~PairLink() override;
  PairLink(const PairLink&) = delete;
  PairLink& operator=(const PairLink&) = delete;

  // Binds the link port and starts the threads; E_FAIL (with a log line) when the port
  // cannot be bound.
  HResult Start();
  void Stop();

  PairRole Role() const { return role_.load(); }
  // Main: a new epoch is kept, the running orders go into the channels and the server
  // answers from the next message on. Backup: the server stops answering and waits for the
  // main's copy. E_FAIL, with why, when the epoch cannot be kept.
  HResult SetRole(PairRole role, std::string& why);
  // The NACK a backup answers with: "main is HOST"; none while this server is main.
  std::optional<std::string> StandingBy() const override;
  PairStatus Status() const;
  std::uint16_t LinkPort() const { return boundPort_.load(); }

 private:
  class Connection;
  void Follow(Connection& peer, const std::string& from, const std::stop_token& stop);
  void Lead(const std::stop_token& stop);
  void LeadOnce(const std::stop_token& stop);
  // Sends the whole state; stream and from are then the copy's.
  bool SendCopy(Connection& peer, std::uint64_t& stream, std::uint64_t& from);
  // The checks both sides make of a peer's hello; the refusal text, empty when it is fit.
  std::string Unfit(const HelloFrame& hello) const;
  HelloFrame OwnHello() const;
  // Adopts a higher epoch seen on the link (kept as the highest known).
  void SeeEpoch(std::uint64_t epoch);
  void StepDown(std::uint64_t peerEpoch);
  void Refused(const std::string& why);
  void SetLink(const char* link);
  // Backup: tells the main of the items it lacks the media of, when that changed; false when
  // the link failed.
  bool TellLacks(Connection& peer);

  const PairSettings settings_;
  ReplicatedState& state_;
  std::shared_ptr<Clock> clock_;
  const std::vector<std::string> channels_;
  const double halfFrameMs_;
  PairHooks hooks_;
  std::atomic<PairRole> role_;
  std::atomic<std::uint16_t> boundPort_{0};
  std::mutex roleLock_;  // one role change at a time, the epoch kept with it

  mutable std::mutex statusLock_;  // guards the fields below
  std::uint64_t epoch_ = 0;
  std::string link_ = "down";
  std::string refused_;
  std::optional<double> offsetMs_;
  bool offsetAlarm_ = false;
  MediaLack lacks_;

  std::jthread listener_;
  std::jthread leader_;
};

}  // namespace vidra

// The control object through which a controlling program builds, starts, stops and inspects
// the server. The host owns exactly one; its operations run one at a time on the host
// thread. It owns the engine, which owns everything that runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/Clock.h"
#include "common/HResult.h"
#include "host/ServerEngine.h"

namespace vidra {

// The byte that GetStateMOSSrv reports.
enum class ServerState : std::uint8_t {
  Uninitialized = 0,
  InitFailed = 1,
  Active = 2,
  Ready = 3,
};

// "Uninitialized", "InitFailed", "Active", "Ready" for the byte GetStateMOSSrv gives.
const char* ServerStateName(int state);

// Where the server is between its start and its stop, for the page: the MOS states alone
// read Ready all through a start or a stop.
enum class ServerPhase : std::uint8_t {
  Stopped = 0,
  Starting = 1,     // in InitMOSSrv
  Initialised = 2,  // after InitMOSSrv, before StartToWork
  Serving = 3,
  Stopping = 4,
};
const char* ServerPhaseName(ServerPhase phase);

struct ControlOptions {
  // The settings file; empty runs on the built-in defaults.
  std::string configPath;
  std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  // How each connection handles its messages (tests put their own here).
  SessionFactory sessionFactory;
};

class CMOS_SRV_STNDRT {
 public:
  explicit CMOS_SRV_STNDRT(ControlOptions options);
  // Tears down whatever still runs, as DeInitMOSSrv would, so no thread outlives the object.
  ~CMOS_SRV_STNDRT();
  CMOS_SRV_STNDRT(const CMOS_SRV_STNDRT&) = delete;
  CMOS_SRV_STNDRT& operator=(const CMOS_SRV_STNDRT&) = delete;

  HResult InitMOSSrv();
  HResult StartToWork();
  HResult StopApplyingClients();
  HResult DeInitMOSSrv();
  HResult GetStateMOSSrv(std::uint8_t& State);
  HResult GetMessageByNumberInQueue(std::int32_t number, std::string& MessageContent,
                                    std::uint8_t& MessageDest, std::uint64_t& messFiletime,
                                    std::int32_t& clientId);
  // The number of journal entries, so a controller can read them all or follow new ones.
  HResult GetMessageCount(std::int32_t& count);

  // The ports actually listened on after StartToWork (0 before); a setting of port 0 asks
  // for any free port.
  std::uint32_t ListeningLowerPort() const { return engine_.Mos().BoundPort(PortFlag::Lower); }
  std::uint32_t ListeningUpperPort() const { return engine_.Mos().BoundPort(PortFlag::Upper); }
  std::uint32_t ListeningQueryPort() const { return engine_.Mos().BoundPort(PortFlag::Query); }
  // The messageID of the last roAck received from host (network order).
  std::int32_t LastAckedNoticeId(in_addr_t host) const {
    return engine_.Mos().Notices().LastAckedId(host);
  }
  // NRCS hosts that a clip-state sender serves now.
  std::size_t NoticeSenders() const { return engine_.Mos().Notices().Senders(); }
  // The playout manager between InitMOSSrv and DeInitMOSSrv, else null.
  PlayoutManager* Playout() { return engine_.Playout(); }
  // Connection threads still serving a peer.
  std::size_t LiveConnections() const { return engine_.Mos().Connections().Live(); }

  // For the status page, from any thread. The state as GetStateMOSSrv would give it, without
  // changing anything.
  ServerState CurrentState() const;
  ServerPhase CurrentPhase() const { return phase_; }
  // The engine's read-only views: journal, connections, notice hosts and metrics.
  const MosServer& Engine() const { return engine_.Mos(); }
  // Calls read with the playout manager (null outside InitMOSSrv..DeInitMOSSrv) and the
  // ports listened on, which stay as they are until read returns.
  template <typename Read>
  void ReadPlayout(Read&& read) const {
    engine_.ReadPlayout(std::forward<Read>(read));
  }
  // The durable store's path, size, last commit and restored running orders (null when the
  // running orders are kept in memory only).
  nlohmann::json StoreView() const { return engine_.StoreView(); }
  // The pair's role, link and progress; none without a pair (or outside InitMOSSrv ..
  // DeInitMOSSrv).
  std::optional<PairStatus> PairView() const { return engine_.PairView(); }
  // vidractl role: makes this server the main or the backup of its pair. E_UNEXPECTED
  // without a pair set up or a server initialised, E_FAIL when the epoch cannot be kept;
  // why says what is wrong.
  HResult SetPairRole(PairRole role, std::string& why) { return engine_.SetPairRole(role, why); }

 private:
  HResult LoadSettings(std::unique_ptr<SettingsSource>& settings);
  // A start that failed: InitFailed, stopped, and hr handed back.
  HResult InitFailed(HResult hr);

  ControlOptions options_;
  // Written by the control thread only; the status page reads it from its own threads.
  std::atomic<ServerState> state_{ServerState::Uninitialized};
  std::atomic<ServerPhase> phase_{ServerPhase::Stopped};  // the same, for the page
  ServerEngine engine_;
};

}  // namespace vidra

// What runs: the MOS engine (ports, journal, connections, senders), and for each start from
// InitMOSSrv to DeInitMOSSrv the playout manager, the thread that starts its channels, the
// durable state (store and pair link) and the one stop source that every thread of the
// start watches. The MOS engine's threads take that source at its Open; the playout's loops
// follow it through their flag; the durable state's threads end in order at the teardown.
// The control object owns one engine and drives it on the control thread; the status page
// reads it from its own threads through the views below.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/Settings.h"
#include "host/DurableState.h"
#include "pair/PairLink.h"
#include "pair/PairSettings.h"
#include "playout/PlayoutManager.h"
#include "transport/MosServer.h"

namespace vidra {

class ServerEngine {
 public:
  // factory: how each connection handles its messages; empty for the MOS sessions.
  ServerEngine(std::shared_ptr<Clock> clock, SessionFactory factory);
  // Ends whatever still runs, as a failed start's leftovers are ended.
  ~ServerEngine();
  ServerEngine(const ServerEngine&) = delete;
  ServerEngine& operator=(const ServerEngine&) = delete;

  // Reads the network, state and pair settings of settings into the engine.
  HResult ReadSettings(const SettingsSource& settings, std::string& error);
  // A new start: a fresh stop source, the playout manager built from settings, and the
  // durable state opened. The log lines of a failure are the caller's.
  HResult BuildStart(const SettingsSource& settings);
  // Makes a port's socket, on the port its settings name.
  HResult PreparePort(PortFlag port) { return mos_.PreparePort(port); }
  // Fresh client numbers and journal on this start's stop source; the page sees the player.
  void Open();
  // Listens on the three ports, starts the playout's channels once, and shows the ports.
  void StartServing(int backlog);
  // Every thread of the start sees the stop from now on; nothing is joined.
  void RequestStop();

  // How far TearDown goes: what a failed start left is only dropped; DeInitMOSSrv also lets
  // the journal and the client numbers go and writes each channel's playlist (with its log
  // lines, in the order operators know).
  enum class Teardown { Leftovers, Final };
  // Ends every thread of the start and lets go of what they used, in the one order that is
  // safe; the MOS engine stays for the next start.
  void TearDown(Teardown how);
  // Whether anything of a start is left to end.
  bool Started() const;

  // vidractl role: makes this server the main or the backup of its pair. E_UNEXPECTED
  // without a pair set up or a server initialised; why says what is wrong.
  HResult SetPairRole(PairRole role, std::string& why);

  // Views, from any thread.
  const MosServer& Mos() const { return mos_; }
  MosServer& Mos() { return mos_; }
  // The playout manager between BuildStart and TearDown, else null; for the control
  // thread.
  PlayoutManager* Playout() { return player_.get(); }
  // Calls read with the playout manager (null outside a start) and the ports listened on,
  // which stay as they are until read returns.
  template <typename Read>
  void ReadPlayout(Read&& read) const {
    std::shared_lock lock(statusLock_);  // the status view: visible_ and its player's life
    read(visible_.player, visible_.lowerPort, visible_.upperPort);
  }
  // The durable store's path, size, last commit and restored running orders (null when the
  // running orders are kept in memory only).
  nlohmann::json StoreView() const;
  // The pair's role, link and progress; none without a pair (or outside a start).
  std::optional<PairStatus> PairView() const;

 private:
  struct Visible {
    PlayoutManager* player = nullptr;
    std::uint32_t lowerPort = 0;
    std::uint32_t upperPort = 0;
  };
  // Shows the start to the status page, or hides it (with an empty Visible) before the
  // player goes away.
  void SetVisible(Visible visible);
  // Opens the durable store and restores its running orders; E_FAIL when it cannot be used.
  HResult StartDurableState();
  void StopDurableState();
  // Requests the stop and joins the MOS engine's threads and the playout's launcher.
  void StopThreads();

  std::shared_ptr<Clock> clock_;
  StateOptions stateOptions_;
  PairSettings pairSettings_;
  // This start's: requested once, by RequestStop, for every thread of the start.
  std::stop_source stop_;
  std::unique_ptr<PlayoutManager> player_;
  // The playout's loops watch their running flag: it follows the stop source.
  std::optional<std::stop_callback<std::function<void()>>> playoutStop_;
  std::thread launcher_;  // runs the playout manager's start
  // Declared after the player it borrows, so it is destroyed (its threads joined) first.
  MosServer mos_;
  DurableState durable_;
  // Held shared by status readers while they read the player, the store or the link,
  // exclusively by the control thread only to change visible_ or the durable state's life;
  // no other lock is taken while it is held exclusively.
  mutable std::shared_mutex statusLock_;
  Visible visible_;
};

}  // namespace vidra

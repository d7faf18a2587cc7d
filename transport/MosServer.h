// The server engine: the two ports, the journal, the client numbers and every thread that
// serves the NRCS (accept loops, connection threads, notice and object senders). The host's
// engine owns one and drives it through Open and Stop; it lends it the playout manager and
// the answer memory, which outlive every thread this one starts.
//
// All its threads watch the start's one stop source. Stop requests it, wakes every blocked
// accept and receive, and joins the threads in the order that keeps each from outliving
// what it uses; the destructor does the same for one never stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <thread>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/Metrics.h"
#include "transport/ServerParts.h"

namespace vidra {

class MosServer {
 public:
  // factory: how each connection handles its messages; empty for the MOS sessions.
  MosServer(std::shared_ptr<Clock> clock, SessionFactory factory);
  ~MosServer();
  MosServer(const MosServer&) = delete;
  MosServer& operator=(const MosServer&) = delete;

  // The transport settings, read by the control object before PreparePort.
  TransportSettings& Network() { return parts_.network; }
  const TransportSettings& Network() const { return parts_.network; }
  // Lends the playout manager (null: none), the answers of applied messages (null: none)
  // and the pair's role (null: no pair); only while no thread of the engine runs.
  void Lend(PlayoutManager* player, AnswerMemory* answers, const RoleGate* role = nullptr);
  // Makes a port's socket, on the port its settings name.
  HResult PreparePort(PortFlag port);
  // Ready to start: fresh client numbers and journal; every thread of the engine watches
  // stop, the start's one stop source (not yet requested).
  void Open(std::stop_source stop);
  // Binds and listens on one port and starts its accept thread.
  void StartPort(PortFlag port, std::uint32_t address, int backlog);
  // Every thread of the engine sees the stop from now on; nothing is joined.
  void RequestStop();
  // Requests the stop, ends the accept loops, shuts every connection down and joins every
  // thread the engine started. The journal and the ports stay until Close.
  void Stop();
  // Releases the client numbers and the journal, then closes the ports (each step logged
  // by the caller between them, as operators know the sequence). Call after Stop.
  void ReleaseClientNumbers() { parts_.clientQueue.Release(); }
  void ReleaseJournal() { parts_.journal.Release(); }
  void ClosePorts();
  // Drops journal entries past their age (GetStateMOSSrv does, before it reads the state).
  void SweepJournal() { parts_.journal.Sweep(); }

  // Read-only views, from any thread.
  bool IsOpen() const { return parts_.journal.IsInitialized(); }
  bool AcceptsRunning() const {
    return lowerAccept_.joinable() || upperAccept_.joinable() || queryAccept_.joinable();
  }
  std::uint32_t BoundPort(PortFlag port) const;
  const MessageQueue& Journal() const { return parts_.journal; }
  const NoticeHosts& Notices() const { return parts_.noticeHosts; }
  const ResyncRequests& Resync() const { return parts_.resync; }
  const NrcsPair& Nrcs() const { return parts_.nrcs; }
  const ObjectQueues& Objects() const { return parts_.objects; }
  const ConnectionThreads& Connections() const { return parts_.connections; }
  const Metrics& GetMetrics() const { return parts_.metrics; }
  const Clock& GetClock() const { return *parts_.clock; }
  // What the engine shares with the parts the host wires in: the metrics the playout and
  // the store count into, the object queues the catalogue tells of its changes, and the
  // NRCS hosts asked for their running orders (cleared for a new start).
  Metrics& SharedMetrics() { return parts_.metrics; }
  ObjectQueues& SharedObjects() { return parts_.objects; }
  ResyncRequests& SharedResync() { return parts_.resync; }

 private:
  ServerParts parts_;
  std::stop_source stop_;
  std::thread lowerAccept_;
  std::thread upperAccept_;
  std::thread queryAccept_;
};

}  // namespace vidra

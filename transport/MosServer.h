// The server engine record: the sockets, the journal, the client numbers, the send lock and
// the playout manager, plus the threads that serve the ports. The control object owns one
// and drives it from the control thread; accept and connection threads reach it through a
// pointer and are all joined before the parts they use are released.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/Clock.h"
#include "common/Metrics.h"
#include "playout/PlayoutManager.h"
#include "rundown/AnswerMemory.h"
#include "transport/ClientQueue.h"
#include "transport/ConnectionThreads.h"
#include "transport/MessageQueue.h"
#include "transport/MessageSession.h"
#include "transport/NoticeHosts.h"
#include "transport/ObjectQueues.h"
#include "transport/Resync.h"
#include "transport/SocketPort.h"
#include "transport/TransportSettings.h"

namespace vidra {

// The byte that GetStateMOSSrv reports.
enum class ServerState : std::uint8_t {
  Uninitialized = 0,
  InitFailed = 1,
  Active = 2,
  Ready = 3,
};

using SessionFactory = std::function<std::unique_ptr<MessageSession>()>;

struct MOSSrv {
  explicit MOSSrv(std::shared_ptr<Clock> clockIn) : journal(*clockIn), clock(std::move(clockIn)) {}

  std::uint32_t lowPort = 0;
  std::uint32_t upperPort = 0;
  SocketPort upperListener;
  SocketPort lowerListener;
  MessageQueue journal;
  ClientQueue clientQueue;
  // Written by the control thread only; the status page reads it from its own threads.
  std::atomic<ServerState> state{ServerState::Uninitialized};
  std::mutex sendLock;      // held around every single send on any connection, nothing else
  NoticeHosts noticeHosts;  // per NRCS host: its notice sender and its last roAck
  ResyncRequests resync;    // per NRCS host: the running orders to ask it for
  ObjectQueues objects;     // per NRCS host: the mosObj the server sends it
  std::unique_ptr<PlayoutManager> player;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> serverRunning{false};

  // What the Linux server adds to the record.
  std::shared_ptr<Clock> clock;
  TransportSettings network;
  SessionFactory sessionFactory;  // how each connection handles its messages
  std::thread lowerAcceptThread;
  std::thread upperAcceptThread;
  std::thread launcher;  // runs the playout manager's start
  ConnectionThreads connections;
  ConnectionThreads noticeThreads;  // one clip-state and one object sender per NRCS host
  Metrics metrics;  // what monitoring reads: messages, answers, notices, start errors
  // The answers to messages that changed running orders, for messages sent again; set by
  // the host between InitMOSSrv and DeInitMOSSrv.
  AnswerMemory* answers = nullptr;
};

}  // namespace vidra

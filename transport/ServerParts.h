// What the threads of one MosServer share: its settings, journal, client numbers, the
// per-host state of the NRCS senders, its metrics, its connection threads, its stop token,
// and the playout manager and answer memory the host lends it. The engine owns it and
// hands it to each thread it starts; only the transport's own code sees it.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>

#include "common/Clock.h"
#include "common/Metrics.h"
#include "playout/PlayoutManager.h"
#include "rundown/AnswerMemory.h"
#include "transport/ClientQueue.h"
#include "transport/ConnectionThreads.h"
#include "transport/MessageQueue.h"
#include "transport/MessageSession.h"
#include "transport/NoticeHosts.h"
#include "transport/NrcsPair.h"
#include "transport/ObjectQueues.h"
#include "transport/Resync.h"
#include "transport/RoleGate.h"
#include "transport/SocketPort.h"
#include "transport/TransportSettings.h"

namespace vidra {

using SessionFactory = std::function<std::unique_ptr<MessageSession>()>;

struct ServerParts {
  explicit ServerParts(std::shared_ptr<Clock> clockIn)
      : clock(std::move(clockIn)), journal(*clock) {}

  std::shared_ptr<Clock> clock;
  TransportSettings network;
  SessionFactory sessionFactory;  // how each connection handles its messages
  SocketPort upperListener;
  SocketPort lowerListener;
  SocketPort queryListener;
  MessageQueue journal;
  ClientQueue clientQueue;
  NoticeHosts noticeHosts;  // per NRCS host: its notice sender and its last roAck
  NrcsPair nrcs;            // the main NRCS and its buddy: which one takes the notices
  ResyncRequests resync;    // per NRCS host: the running orders to ask it for
  ObjectQueues objects;     // per NRCS host: the mosObj the server sends it
  Metrics metrics;          // what monitoring reads: messages, answers, notices, start errors
  ConnectionThreads connections;
  ConnectionThreads noticeThreads;  // one clip-state and one object sender per NRCS host
  // Lent by the host between InitMOSSrv and DeInitMOSSrv, while no thread runs.
  PlayoutManager* player = nullptr;
  // The answers to messages that changed running orders, for messages sent again.
  AnswerMemory* answers = nullptr;
  // Whether this server is the backup of a pair (null: no pair).
  const RoleGate* role = nullptr;
  // The engine's stop: set by Open while no thread runs, then only read.
  std::stop_token stop;
};

}  // namespace vidra

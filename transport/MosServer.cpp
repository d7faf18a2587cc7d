#include "transport/MosServer.h"

#include <arpa/inet.h>

#include <stdexcept>

#include "common/Log.h"
#include "transport/Listeners.h"
#include "transport/MosSession.h"

namespace vidra {

MosServer::MosServer(std::shared_ptr<Clock> clock, SessionFactory factory)
    : parts_(std::move(clock)) {
  parts_.sessionFactory = factory ? std::move(factory) : MosSessionFactory(parts_);
  parts_.stop = stop_.get_token();
}

MosServer::~MosServer() {
  Stop();
  ClosePorts();
}

void MosServer::Lend(PlayoutManager* player, AnswerMemory* answers, const RoleGate* role) {
  if (AcceptsRunning()) {
    throw std::logic_error("the engine's parts change only while its threads are stopped");
  }
  parts_.player = player;
  parts_.answers = answers;
  parts_.role = role;
}

HResult MosServer::PreparePort(PortFlag port) {
  switch (port) {
    case PortFlag::Lower:
      return parts_.lowerListener.Prepare(parts_.network.lowerPort);
    case PortFlag::Upper:
      return parts_.upperListener.Prepare(parts_.network.upperPort);
    case PortFlag::Query:
      break;
  }
  return parts_.queryListener.Prepare(parts_.network.queryPort);
}

void MosServer::Open(std::stop_source stop) {
  // The start's source, shared: a stop requested before stays with the threads it ended.
  stop_ = std::move(stop);
  parts_.stop = stop_.get_token();
  parts_.clientQueue.Init(0);
  parts_.journal.Init(parts_.network.journalTextBytes);
  parts_.nrcs.Configure(htonl(parts_.network.nrcsBuddy));
}

void MosServer::StartPort(PortFlag port, std::uint32_t address, int backlog) {
  SocketPort& listener = ListenerOf(parts_, port);
  std::thread& accept = port == PortFlag::Lower   ? lowerAccept_
                        : port == PortFlag::Upper ? upperAccept_
                                                  : queryAccept_;
  if (accept.joinable()) {
    throw std::logic_error("the accept thread of this port runs already");
  }
  listener.Bind(address);
  Log("\n The socket %u is binded\n\n", listener.BoundPort());
  listener.Listen(backlog);
  Log("\n Start to listen %u socket\n\n", listener.BoundPort());
  LogText(port == PortFlag::Lower   ? "thread_to_member_thunk AcceptClientsOneByOneOnLowerPort"
          : port == PortFlag::Upper ? "thread_to_member_thunk AcceptClientsOneByOneOnUpperPort"
                                    : "thread_to_member_thunk AcceptClientsOneByOneOnQueryPort");
  accept = std::thread([this, port] { AcceptClientsOneByOne(parts_, port); });
}

void MosServer::RequestStop() {
  stop_.request_stop();
}

// A listener shut down wakes its blocked accept, which then sees the stop; a connection
// shut down makes its blocked receive report the peer's close. The connection threads use
// the journal, the client numbers and the send lock, and start the senders: all end here,
// before any of those is released.
void MosServer::Stop() {
  RequestStop();
  parts_.lowerListener.Shutdown();
  parts_.upperListener.Shutdown();
  parts_.queryListener.Shutdown();
  for (std::thread* accept : {&lowerAccept_, &upperAccept_, &queryAccept_}) {
    if (accept->joinable()) {
      accept->join();
    }
  }
  parts_.connections.ShutdownAll();
  parts_.connections.JoinAll();
  // The senders see the stop within one poll of their connection.
  parts_.noticeThreads.JoinAll();
}

void MosServer::ClosePorts() {
  parts_.lowerListener.Close();
  parts_.upperListener.Close();
  parts_.queryListener.Close();
}

std::uint32_t MosServer::BoundPort(PortFlag port) const {
  return ListenerOf(const_cast<ServerParts&>(parts_), port).BoundPort();
}

}  // namespace vidra

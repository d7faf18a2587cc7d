// The accept threads of the two ports and the connection threads they start. StartToWork
// starts the accept threads on the control thread; each accepted connection is served on a
// thread of its own until its peer closes or DeInitMOSSrv shuts it down.
#pragma once

#include <netinet/in.h>

#include "transport/MosServer.h"

namespace vidra {

// The record handed by value to each thread an accept starts.
struct ClientConnection {
  MOSSrv* owner = nullptr;
  int socket = kInvalidSocket;
  in_addr_t peerAddress = 0;  // network order
};

// Starts the accept thread of one port; the listener must be listening.
void StartAcceptThread(MOSSrv& server, PortFlag port);
// The accept loop: serves connections until stopRequested is seen after an accept returns.
void AcceptClientsOneByOne(MOSSrv& server, PortFlag port);
// The connection thread's work on one accepted connection.
void ServeConnection(const ClientConnection& connection, PortFlag port);

}  // namespace vidra

// The accept loops of the two ports and the connection threads they start. The engine
// (MosServer) runs each accept loop on a thread of its own; each accepted connection is
// served on a thread of its own until its peer closes or the engine's Stop shuts it down.
#pragma once

#include <netinet/in.h>

#include "transport/ServerParts.h"

namespace vidra {

// The record handed by value to each thread an accept starts.
struct ClientConnection {
  ServerParts* owner = nullptr;
  int socket = kInvalidSocket;
  in_addr_t peerAddress = 0;  // network order
};

// The accept loop of one listening port: serves connections until the server's stop is
// seen after an accept returns.
// The listener of a port.
SocketPort& ListenerOf(ServerParts& server, PortFlag port);
void AcceptClientsOneByOne(ServerParts& server, PortFlag port);
// The connection thread's work on one accepted connection.
void ServeConnection(const ClientConnection& connection, PortFlag port);

}  // namespace vidra

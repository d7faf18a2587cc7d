// The clip-state notice sender: takes the playout manager's status notices one at a time,
// sends each as a roElementStat to the NRCS's own upper port over a connection the sender
// opens and owns, and waits up to 5000 ms for the NRCS's roAck, which may come back on that
// connection or on any connection the NRCS holds to this server. One sender serves each
// NRCS host; the upper port's accept loop starts it for the first connection from a host
// that has none, and it ends when the server stops or its connection is lost.
#pragma once

#include <netinet/in.h>

#include "transport/ServerParts.h"

namespace vidra {

// Starts a sender for host (network order) unless one serves it already.
void StartNoticeSender(ServerParts& server, in_addr_t host);

// The sender's thread body; returns when the server stops or the connection cannot be
// made or is lost. Releases the host's claim on the way out.
void SendNotices(ServerParts& server, in_addr_t host);

}  // namespace vidra

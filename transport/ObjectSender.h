// The object sender: one per NRCS host that connected to the lower port. It takes the
// host's object messages (see ObjectQueues) one at a time, sends each as a mosObj to the
// NRCS's own lower port over a connection it opens and owns, and waits up to 5000 ms for
// the NRCS's mosAck on that connection. A host that does not take the connection is tried
// again every ten seconds; its messages wait. It ends when the server stops.
#pragma once

#include <netinet/in.h>

#include "transport/ServerParts.h"

namespace vidra {

// Starts a sender for host (network order) unless one serves it already.
void StartObjectSender(ServerParts& server, in_addr_t host);

}  // namespace vidra

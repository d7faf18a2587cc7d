// Tells systemd about the service's state (a Type=notify unit waits for READY=1): one
// datagram to the socket named by $NOTIFY_SOCKET. Does nothing when not run by systemd.
#pragma once

#include <string_view>

namespace vidra {

void NotifySystemd(std::string_view state);

}  // namespace vidra

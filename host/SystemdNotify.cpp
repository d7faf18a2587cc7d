// The notification protocol is one datagram of "KEY=VALUE" lines; it is small enough that
// the server speaks it itself instead of linking libsystemd.
#include "host/SystemdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vidra {

void NotifySystemd(std::string_view state) {
  // Nothing in this program sets the environment, so reading it from any thread is safe.
  const char* target = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe)
  if (target == nullptr || (target[0] != '/' && target[0] != '@')) {
    return;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(target);
  if (length >= sizeof address.sun_path) {
    return;
  }
  std::memcpy(address.sun_path, target, length);
  if (address.sun_path[0] == '@') {
    address.sun_path[0] = '\0';  // an abstract socket
  }
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  static_cast<void>(::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&address), size));
  ::close(fd);
}

}  // namespace vidra

// POSIX sockets with the listener semantics a station service needs: SO_REUSEADDR so a
// restarted server binds at once while old connections sit in TIME_WAIT (it never lets two
// servers bind one port on Linux), close-on-exec, and shutdown before close so that threads
// blocked on the socket wake up.
#include "transport/SocketPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Text.h"

namespace vidra {

namespace {

// Answers and notices are whole messages sent at once: Nagle's delay would only hold each
// one back until the peer's delayed acknowledgement.
void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string ErrnoText(const char* what, std::uint32_t port) {
  return std::string(what) + " port " + std::to_string(port) + ": " + ErrorText(errno);
}

}  // namespace

HResult SocketPort::Prepare(std::uint32_t port) {
  Close();
  port_ = port;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    return HResult::E_FAIL;
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socket_.store(fd);
  return HResult::S_OK;
}

void SocketPort::Bind(std::uint32_t ipv4) {
  const int fd = socket_.load();
  if (fd == kInvalidSocket) {
    throw SocketError("cannot bind port " + std::to_string(port_) + ": socket not prepared");
  }
  address_ = sockaddr_in{};
  address_.sin_family = AF_INET;
  address_.sin_port = htons(static_cast<std::uint16_t>(port_));
  address_.sin_addr.s_addr = ipv4;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0) {
    throw SocketError(ErrnoText("cannot bind", port_));
  }
}

void SocketPort::Listen(int backlog) {
  const int fd = socket_.load();
  if (fd == kInvalidSocket || ::listen(fd, backlog) != 0) {
    throw SocketError(ErrnoText("cannot listen on", port_));
  }
}

int SocketPort::Accept(sockaddr_in& peer) {
  socklen_t length = sizeof peer;
  const int fd = socket_.load();
  if (fd == kInvalidSocket) {
    return kInvalidSocket;
  }
  int accepted = kInvalidSocket;
  do {
    accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  } while (accepted < 0 && errno == EINTR);
  if (accepted < 0) {
    return kInvalidSocket;
  }
  NoDelay(accepted);
  return accepted;
}

bool SocketPort::IsReadable() const {
  pollfd entry{socket_.load(), POLLIN, 0};
  if (entry.fd == kInvalidSocket) {
    return false;
  }
  return ::poll(&entry, 1, 10) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

HResult SocketPort::Connect(std::uint32_t ipv4, std::uint32_t port, std::chrono::milliseconds limit,
                            const KeepRunning& keepRunning) {
  Close();
  port_ = port;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) {
    return HResult::E_FAIL;
  }
  address_ = sockaddr_in{};
  address_.sin_family = AF_INET;
  address_.sin_port = htons(static_cast<std::uint16_t>(port));
  address_.sin_addr.s_addr = htonl(ipv4);
  bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
    // Waited for in slices so that a stop is seen while a far host does not answer.
    constexpr auto kSlice = std::chrono::milliseconds(50);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (keepRunning() && std::chrono::steady_clock::now() < end) {
      pollfd entry{fd, POLLOUT, 0};
      if (::poll(&entry, 1, static_cast<int>(kSlice.count())) > 0) {
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        break;
      }
    }
  }
  if (!connected) {
    ::close(fd);
    return HResult::E_ACCESSDENIED;
  }
  // Back to blocking: receives wait as on the accepted connections.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  NoDelay(fd);
  socket_.store(fd);
  return HResult::S_OK;
}

void SocketPort::Shutdown() {
  const int fd = socket_.load();
  if (fd != kInvalidSocket) {
    ::shutdown(fd, SHUT_RDWR);
  }
}

void SocketPort::Close() {
  const int fd = socket_.exchange(kInvalidSocket);
  if (fd != kInvalidSocket) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }
}

std::uint32_t SocketPort::BoundPort() const {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  const int fd = socket_.load();
  if (fd == kInvalidSocket ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    return 0;
  }
  return ntohs(bound.sin_port);
}

ssize_t ReceiveOn(int socket, void* buffer, std::size_t length) {
  ssize_t received = 0;
  do {
    received = ::recv(socket, buffer, length, 0);
  } while (received < 0 && errno == EINTR);
  return received < 0 ? -1 : received;
}

ssize_t SendWithin(int socket, const void* buffer, std::size_t length,
                   std::chrono::milliseconds limit, bool more) {
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  const auto end = std::chrono::steady_clock::now() + limit;
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(socket, bytes + sent, length - sent, flags);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd entry{socket, POLLOUT, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
  return static_cast<ssize_t>(length);
}

void PushPending(int socket) {
  // Setting TCP_NODELAY (again) sends whatever MSG_MORE held back.
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void CloseSocket(int socket) {
  if (socket != kInvalidSocket) {
    ::close(socket);
  }
}

void ShutdownSocket(int socket) {
  if (socket != kInvalidSocket) {
    ::shutdown(socket, SHUT_RDWR);
  }
}

std::string FormatAddress(const sockaddr_in& address) {
  return FormatHost(address.sin_addr.s_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string FormatHost(in_addr_t host) {
  return FormatIPv4(host);
}

}  // namespace vidra

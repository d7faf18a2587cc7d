// TCP/IPv4 sockets of the server: the two listening ports and, later, the notice sender's
// outgoing connection. The port owns its descriptor and closes it on destruction.
// Close() and Shutdown() may be called from the control thread while an accept thread is
// blocked on the same port; Shutdown() is what makes that blocked call return.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/Clock.h"
#include "common/HResult.h"

namespace vidra {

constexpr int kInvalidSocket = -1;

// Thrown by Bind and Listen; the control operations turn it into E_FAIL.
class SocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SocketPort {
 public:
  SocketPort() = default;
  ~SocketPort() { Close(); }
  SocketPort(const SocketPort&) = delete;
  SocketPort& operator=(const SocketPort&) = delete;

  // Creates a stream socket for the given port; E_FAIL when none can be created.
  HResult Prepare(std::uint32_t port);
  // Binds to ipv4 (network order) and the prepared port; throws SocketError.
  void Bind(std::uint32_t ipv4 = htonl(INADDR_ANY));
  void Listen(int backlog);
  // The accepted socket, or kInvalidSocket.
  int Accept(sockaddr_in& peer);
  // Waits at most 10 ms for the socket to become readable.
  bool IsReadable() const;
  // Connects a new socket to ipv4:port (both in host order here); E_FAIL when no socket
  // can be made, E_ACCESSDENIED when the peer does not take the connection within limit or
  // keepRunning turns false first (a host that never answers must not hold up a stop).
  HResult Connect(std::uint32_t ipv4, std::uint32_t port, std::chrono::milliseconds limit,
                  const KeepRunning& keepRunning);
  // Takes over a connected socket (one Accept gave), to close it with the port.
  void Adopt(int fd) {
    Close();
    socket_.store(fd);
  }
  // Ends blocked accepts and receives on this socket without closing it.
  void Shutdown();
  void Close();

  int Handle() const { return socket_.load(); }
  // The port the socket is bound to (differs from port when 0 asked for any free port).
  std::uint32_t BoundPort() const;

 private:
  std::uint32_t port_ = 0;
  sockaddr_in address_{};
  std::atomic<int> socket_{kInvalidSocket};
};

// One receive on a connected socket: bytes received, 0 when the peer closed, -1 on error.
ssize_t ReceiveOn(int socket, void* buffer, std::size_t length);
// How long a peer may take to make room for what is sent to it.
constexpr std::chrono::milliseconds kSendLimit{5000};
// Sends all of buffer within limit; never raises SIGPIPE on a peer that went away. Takes no
// lock: each socket has one thread that sends on it (its connection thread, its notice
// sender or its object sender), so messages never interleave on a connection, and sends on
// different connections need not wait for each other. length when all went out, -1
// when the peer did not take it all in time or the connection failed: what went out may
// then be part of a message, so the connection is no longer fit for MOS text.
// With more, the kernel may hold the bytes back to go out with the next send (MSG_MORE):
// a thread answering several buffered messages sends them in few segments and wakes the
// peer once. Whoever sends with more must end with a send without it or PushPending.
ssize_t SendWithin(int socket, const void* buffer, std::size_t length,
                   std::chrono::milliseconds limit = kSendLimit, bool more = false);
// Sends at once what sends with more left held back.
void PushPending(int socket);
void CloseSocket(int socket);
void ShutdownSocket(int socket);
std::string FormatAddress(const sockaddr_in& address);
// "192.0.2.7" for an IPv4 address in network order.
std::string FormatHost(in_addr_t host);

}  // namespace vidra

// Owns the threads that serve accepted connections, and their sockets. The accept threads
// start them; the control thread shuts their sockets down and joins them before the journal,
// the client numbers and the send lock go away, so no connection outlives what it uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/FileTime.h"

namespace vidra {

// Who a thread serves, for the status page.
struct ConnectionInfo {
  std::string peer;                  // the NRCS's address and port
  std::uint32_t port = 0;            // the server's port it connected to
  std::int32_t receivedNumber = -1;  // client numbers in the journal, -1 until taken
  std::int32_t answerNumber = -1;
  FileTime since = 0;
};

class ConnectionThreads {
 public:
  ConnectionThreads() = default;
  ~ConnectionThreads();
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  // Runs body on a new thread. socket (may be -1) belongs to the thread: it is closed when
  // body returns, and shut down by ShutdownAll while body runs. Threads that have ended are
  // joined here, so a server that runs for years keeps no dead threads.
  void Start(int socket, std::function<void()> body, ConnectionInfo info = {});
  // Records the client numbers the thread serving socket has taken.
  void SetClientNumbers(int socket, std::int32_t receivedNumber, std::int32_t answerNumber);
  // Who the live threads serve, in the order they started.
  std::vector<ConnectionInfo> Describe() const;
  // Number of threads still running.
  std::size_t Live() const;
  // Makes every blocked receive on the threads' sockets return, so the threads end.
  void ShutdownAll();
  // Waits for every thread to end.
  void JoinAll();

 private:
  struct Entry {
    int socket = -1;
    bool done = false;
    ConnectionInfo info;
    std::thread thread;
  };

  void ReapEnded();

  mutable std::mutex lock_;  // guards entries_ and each entry's socket, done and info
  std::list<std::shared_ptr<Entry>> entries_;
};

}  // namespace vidra

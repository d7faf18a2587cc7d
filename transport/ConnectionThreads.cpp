// A thread closes its own socket under the lock, so ShutdownAll never touches a descriptor
// number that has been closed and perhaps reused by a new connection.
#include "transport/ConnectionThreads.h"

#include <vector>

#include "transport/SocketPort.h"

namespace vidra {

ConnectionThreads::~ConnectionThreads() {
  ShutdownAll();
  JoinAll();
}

void ConnectionThreads::Start(int socket, std::function<void()> body, ConnectionInfo info) {
  ReapEnded();
  auto entry = std::make_shared<Entry>();
  entry->socket = socket;
  entry->info = std::move(info);
  std::lock_guard lock(lock_);
  entries_.push_back(entry);
  entry->thread = std::thread([this, entry, body = std::move(body)] {
    body();
    std::lock_guard ended(lock_);
    CloseSocket(entry->socket);
    entry->socket = kInvalidSocket;
    entry->done = true;
  });
}

std::size_t ConnectionThreads::Live() const {
  std::lock_guard lock(lock_);
  std::size_t live = 0;
  for (const auto& entry : entries_) {
    live += entry->done ? 0 : 1;
  }
  return live;
}

void ConnectionThreads::SetClientNumbers(int socket, std::int32_t receivedNumber,
                                         std::int32_t answerNumber) {
  std::lock_guard lock(lock_);
  for (const auto& entry : entries_) {
    if (entry->socket == socket && !entry->done) {
      entry->info.receivedNumber = receivedNumber;
      entry->info.answerNumber = answerNumber;
    }
  }
}

std::vector<ConnectionInfo> ConnectionThreads::Describe() const {
  std::lock_guard lock(lock_);
  std::vector<ConnectionInfo> live;
  for (const auto& entry : entries_) {
    if (!entry->done) {
      live.push_back(entry->info);
    }
  }
  return live;
}

void ConnectionThreads::ShutdownAll() {
  std::lock_guard lock(lock_);
  for (const auto& entry : entries_) {
    ShutdownSocket(entry->socket);  // never blocks
  }
}

void ConnectionThreads::JoinAll() {
  std::list<std::shared_ptr<Entry>> all;
  {
    std::lock_guard lock(lock_);
    all.swap(entries_);
  }
  // Joined outside the lock: an ending thread takes it to close its socket.
  for (const auto& entry : all) {
    if (entry->thread.joinable()) {
      entry->thread.join();
    }
  }
}

void ConnectionThreads::ReapEnded() {
  std::list<std::shared_ptr<Entry>> ended;
  {
    std::lock_guard lock(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if ((*it)->done) {
        ended.push_back(*it);
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& entry : ended) {
    entry->thread.join();
  }
}

}  // namespace vidra

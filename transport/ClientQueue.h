// Hands out client numbers: each connection takes two (one labels what it receives, one what
// it answers), never reused while the server lives. Taken by connection and notice threads.
#pragma once

#include <cstdint>
#include <mutex>

namespace vidra {

class ClientQueue {
 public:
  void Init(std::int32_t first) {
    std::lock_guard lock(lock_);
    next_ = first;
  }
  void Release() {
    std::lock_guard lock(lock_);
    next_ = 0;
  }
  std::int32_t NextClientNumber() {
    std::lock_guard lock(lock_);
    return next_++;
  }

 private:
  std::mutex lock_;  // guards next_
  std::int32_t next_ = 0;
};

}  // namespace vidra

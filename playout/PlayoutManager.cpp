// Threads are joined only if they were started, so a stop without a start never waits.
#include "playout/PlayoutManager.h"

namespace vidra {

PlayoutManager::~PlayoutManager() {
  running = false;
  WaitThreadsEnd();
}

HResult PlayoutManager::InitPlayout(const SettingsSource& /*settings*/) {
  return HResult::S_OK;
}

void PlayoutManager::StartPlayout() {
  running = true;
}

void PlayoutManager::WaitThreadsEnd() {
  for (auto& thread : threads_) {
    if (thread.joinable()) {
      thread.join();
    }
  }
  threads_.clear();
}

void PlayoutManager::SaveSchedules() {}

}  // namespace vidra

// Threads are joined only if they were started, so a stop without a start never waits.
#include "playout/PlayoutManager.h"

namespace vidra {

PlayoutManager::~PlayoutManager() {
  running = false;
  WaitThreadsEnd();
}

HResult PlayoutManager::InitPlayout(const SettingsSource& settings) {
  if (const auto path = settings.Get("VIDRAServer", "Path")) {
    mediaPath = *path;
  }
  return HResult::S_OK;
}

std::int32_t PlayoutManager::FindChannelByName(const MosText& /*mosID*/) const {
  return 0;
}

RoStore& PlayoutManager::Store(std::int32_t channel) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= kChannels) {
    return stores_[0];
  }
  return stores_[static_cast<std::size_t>(channel)];
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

// Threads are joined only if they were started, so a stop without a start never waits.
#include "playout/PlayoutManager.h"

#include "playout/PlaylistExport.h"

namespace vidra {

PlayoutManager::~PlayoutManager() {
  running = false;
  WaitThreadsEnd();
}

HResult PlayoutManager::InitPlayout(const SettingsSource& settings) {
  ChannelSettings read;
  const HResult loaded = LoadSettings(settings, read);
  if (loaded != HResult::S_OK) {
    return loaded;
  }
  serverName_ = read.serverName;
  if (!read.mediaPath.empty()) {
    mediaPath = read.mediaPath;
  }
  channels_ = std::move(read.channels);
  running = true;
  return HResult::S_OK;
}

std::int32_t PlayoutManager::FindChannelByName(const MosText& mosID) const {
  const std::string& text = mosID.Str();
  const auto dot = text.rfind('.');
  const std::string_view name =
      dot == std::string::npos ? std::string_view(text) : std::string_view(text).substr(dot + 1);
  for (std::size_t k = 0; k < channels_.size(); ++k) {
    if (EqualsIgnoringCase(name, channels_[k].channelName)) {
      return static_cast<std::int32_t>(k);
    }
  }
  return 0;
}

bool PlayoutManager::PushNotice(StatusNotice notice) {
  std::lock_guard lock(noticeLock_);
  if (notices_.size() >= kNoticeLimit) {
    return false;
  }
  notices_.push_back(std::move(notice));
  return true;
}

std::optional<StatusNotice> PlayoutManager::PopNotice() {
  std::lock_guard lock(noticeLock_);
  if (notices_.empty()) {
    return std::nullopt;
  }
  StatusNotice oldest = std::move(notices_.front());
  notices_.pop_front();
  return oldest;
}

std::size_t PlayoutManager::NoticeCount() const {
  std::lock_guard lock(noticeLock_);
  return notices_.size();
}

RoStore& PlayoutManager::Store(std::int32_t channel) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= kMaxChannels) {
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

bool PlayoutManager::SaveSchedules() {
  bool result = true;
  for (std::size_t k = 0; k < channels_.size(); ++k) {
    if (!channels_[k].playlistPath.empty() &&
        !WritePlaylistFile(channels_[k].playlistPath, stores_[k])) {
      result = false;
    }
  }
  return result;
}

}  // namespace vidra

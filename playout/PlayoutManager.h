// The playout side of the server: channels, players and the threads that play running
// orders. Created by InitMOSSrv and destroyed by DeInitMOSSrv on the control thread;
// StartPlayout runs on the launcher thread. This is the manager's frame: it has no channels
// yet and its start and stop succeed.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/MosText.h"
#include "common/Settings.h"
#include "rundown/RoStore.h"

namespace vidra {

class PlayoutManager {
 public:
  explicit PlayoutManager(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}
  ~PlayoutManager();
  PlayoutManager(const PlayoutManager&) = delete;
  PlayoutManager& operator=(const PlayoutManager&) = delete;

  // Reads the channel settings and opens the players.
  HResult InitPlayout(const SettingsSource& settings);
  // Sets running and starts the playout threads.
  void StartPlayout();
  // Waits for the threads StartPlayout started; they end once running is cleared.
  void WaitThreadsEnd();
  // Writes each channel's playlist.
  void SaveSchedules();

  std::size_t ChannelCount() const { return 0; }

  // The channel that a message's mosID addresses: the part after its last "." against the
  // channel names, without regard to case; 0 when none matches. No channels are configured
  // yet, so every mosID addresses channel 0.
  std::int32_t FindChannelByName(const MosText& mosID) const;
  // The running orders of one channel (0 to 7); a channel out of range gives channel 0.
  RoStore& Store(std::int32_t channel);

  // The media folder that relative objPaths are completed with.
  MosText mediaPath;

  // Cleared by a stop; the playout threads end when they see it.
  std::atomic<bool> running{false};

 private:
  static constexpr std::size_t kChannels = 8;

  std::shared_ptr<Clock> clock_;
  std::array<RoStore, kChannels> stores_;
  std::vector<std::thread> threads_;
};

}  // namespace vidra

// The playout side of the server: channels, players and the threads that play running
// orders. Created by InitMOSSrv and destroyed by DeInitMOSSrv on the control thread;
// StartPlayout runs on the launcher thread. This is the manager's frame: it has no channels
// yet and its start and stop succeed.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/Settings.h"

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

  // Cleared by a stop; the playout threads end when they see it.
  std::atomic<bool> running{false};

 private:
  std::shared_ptr<Clock> clock_;
  std::vector<std::thread> threads_;
};

}  // namespace vidra

// Keeps the catalogue in line with the media folder: one thread that first walks the
// folder, then follows what inotify reports of it and of every subfolder. Files are taken
// when they are closed after writing or renamed in, as ingest systems deliver them; a file
// still being written is left alone until then. A folder that vanishes (an unmounted share)
// empties the catalogue with one log line; it is looked for every two seconds and walked
// again when it is back, also when a share is mounted again on the same folder. Folders that
// cannot all be watched (the system's watch limit) are walked again every minute instead.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "common/Clock.h"
#include "media/MediaCatalogue.h"

namespace vidra {

class MediaWatcher {
 public:
  // checkEvery: how often the folder is looked for while it is gone, and compared with the
  // one watched while it is there.
  explicit MediaWatcher(MediaCatalogue& catalogue,
                        std::chrono::milliseconds checkEvery = std::chrono::seconds(2));
  ~MediaWatcher();
  MediaWatcher(const MediaWatcher&) = delete;
  MediaWatcher& operator=(const MediaWatcher&) = delete;

  // Starts the thread: the first walk, then the watch.
  void Start();
  // Ends the thread and waits for it.
  void Stop();
  // The number of folders watched now.
  std::size_t Watches() const { return watchCount_; }

 private:
  struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
  };

  void Run();
  // Watches the folder and every subfolder under relativeFolder; false when the folder
  // itself could not be watched.
  bool AddWatches(const std::string& relativeFolder);
  void AddWatch(const std::string& relativeFolder);
  void RemoveWatches(const std::string& relativeFolder);
  void ReadEvents();
  // The folder is gone, or another one stands in its place: the watch is dropped.
  void Lose(const char* why);
  // Every two seconds: is the folder there, and is it the one watched?
  void CheckFolder();
  std::optional<FolderIdentity> IdentityOfFolder() const;

  MediaCatalogue& catalogue_;
  std::chrono::milliseconds checkEvery_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  int inotify_ = -1;
  int wake_ = -1;  // an eventfd that ends the wait for events
  bool watching_ = false;
  bool reportedFull_ = false;  // the watch limit was reported once
  std::optional<FolderIdentity> watched_;
  std::unordered_map<int, std::string> folders_;  // watch descriptor to relative folder
  std::unordered_map<std::string, int> watches_;  // relative folder to watch descriptor
  std::atomic<std::size_t> watchCount_{0};
  std::chrono::steady_clock::time_point nextCheck_{};
  std::chrono::steady_clock::time_point nextRescan_{};  // without a full watch, a walk
  bool partial_ = false;                                // some subfolders could not be watched
};

}  // namespace vidra

#include "media/MediaWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace fs = std::filesystem;

namespace {

using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kFolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                      IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW |
                                      IN_EXCL_UNLINK | IN_ONLYDIR;
constexpr auto kPartialRescan = 60s;

std::string Join(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

bool IsUnder(const std::string& path, const std::string& folder) {
  return folder.empty() || path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

}  // namespace

MediaWatcher::MediaWatcher(MediaCatalogue& catalogue, std::chrono::milliseconds checkEvery)
    : catalogue_(catalogue), checkEvery_(checkEvery) {}

MediaWatcher::~MediaWatcher() {
  Stop();
}

void MediaWatcher::Start() {
  if (thread_.joinable()) {
    return;
  }
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (inotify_ < 0 || wake_ < 0) {
    Log("VIDRA - the media folder cannot be watched (%s): it is walked again every minute",
        ErrorText(errno).c_str());
  }
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void MediaWatcher::Stop() {
  running_ = false;
  catalogue_.Stop();
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    static_cast<void>(::write(wake_, &one, sizeof one));  // a full counter wakes it as well
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  for (int* fd : {&inotify_, &wake_}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
}

std::optional<MediaWatcher::FolderIdentity> MediaWatcher::IdentityOfFolder() const {
  struct stat info {};
  if (::stat(catalogue_.Folder().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return std::nullopt;
  }
  return FolderIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

void MediaWatcher::Run() {
  watched_ = IdentityOfFolder();
  if (watched_) {
    watching_ = AddWatches("");
  } else {
    Log("VIDRA - the media folder %s is not there: items that name its files are NOT READY "
        "until it comes",
        catalogue_.Folder().c_str());
  }
  catalogue_.Rescan(true);
  nextCheck_ = Steady::now() + checkEvery_;
  nextRescan_ = Steady::now() + kPartialRescan;
  while (running_) {
    std::array<pollfd, 2> waits{pollfd{inotify_, POLLIN, 0}, pollfd{wake_, POLLIN, 0}};
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(nextCheck_ - Steady::now());
    const int ready = ::poll(waits.data(), waits.size(),
                             static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
    if (!running_) {
      break;
    }
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) {
      ReadEvents();
    }
    if (Steady::now() >= nextCheck_) {
      nextCheck_ = Steady::now() + checkEvery_;
      CheckFolder();
    }
    if ((partial_ || inotify_ < 0) && watching_ && Steady::now() >= nextRescan_) {
      nextRescan_ = Steady::now() + kPartialRescan;
      catalogue_.Rescan(false);
    }
  }
}

void MediaWatcher::CheckFolder() {
  const std::optional<FolderIdentity> now = IdentityOfFolder();
  if (watching_ && now == watched_) {
    return;
  }
  if (watching_ || (watched_ && !now)) {
    Lose(now ? "another folder (a share mounted again) stands in its place"
             : "it is gone (an unmounted share?)");
  }
  if (!now) {
    return;
  }
  if (!watched_ || !(*watched_ == *now)) {
    watched_ = now;
    Log("VIDRA - the media folder %s is there: it is walked and watched again",
        catalogue_.Folder().c_str());
    watching_ = AddWatches("");
    catalogue_.Rescan(false);
  }
}

void MediaWatcher::Lose(const char* why) {
  if (watching_) {
    Log("VIDRA - the media folder %s: %s; the items that name its files are NOT READY until it "
        "is back",
        catalogue_.Folder().c_str(), why);
  }
  for (const auto& [wd, folder] : folders_) {
    ::inotify_rm_watch(inotify_, wd);
  }
  folders_.clear();
  watches_.clear();
  watchCount_ = 0;
  watching_ = false;
  watched_.reset();
  catalogue_.FolderLost();
}

bool MediaWatcher::AddWatches(const std::string& relativeFolder) {
  if (inotify_ < 0) {
    return true;  // no inotify: the walk every minute stands in for it
  }
  const std::string start =
      relativeFolder.empty() ? catalogue_.Folder() : catalogue_.Folder() + "/" + relativeFolder;
  AddWatch(relativeFolder);
  if (!watches_.contains(relativeFolder)) {
    return !relativeFolder.empty();
  }
  std::error_code error;
  fs::recursive_directory_iterator walk(fs::path(start),
                                        fs::directory_options::skip_permission_denied, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    std::error_code kind;
    if (walk->is_directory(kind) && !walk->is_symlink(kind)) {
      AddWatch(walk->path().lexically_relative(fs::path(catalogue_.Folder())).string());
    }
  }
  return true;
}

void MediaWatcher::AddWatch(const std::string& relativeFolder) {
  const std::string path =
      relativeFolder.empty() ? catalogue_.Folder() : catalogue_.Folder() + "/" + relativeFolder;
  const int wd = ::inotify_add_watch(inotify_, path.c_str(), kFolderMask);
  if (wd < 0) {
    if ((errno == ENOSPC || errno == ENOMEM) && !reportedFull_) {
      reportedFull_ = true;
      Log("VIDRA - %s cannot be watched: the system's limit of watched folders "
          "(fs.inotify.max_user_watches) is reached; the media folder is walked every minute",
          path.c_str());
    }
    partial_ = partial_ || errno == ENOSPC || errno == ENOMEM;
    return;
  }
  folders_[wd] = relativeFolder;
  watches_[relativeFolder] = wd;
  watchCount_ = watches_.size();
}

void MediaWatcher::RemoveWatches(const std::string& relativeFolder) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (IsUnder(it->first, relativeFolder)) {
      ::inotify_rm_watch(inotify_, it->second);
      folders_.erase(it->second);
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
  watchCount_ = watches_.size();
}

void MediaWatcher::ReadEvents() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
    if (length <= 0) {
      return;  // EAGAIN: all read
    }
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        Log("VIDRA - more media changes came at once than the system keeps: the media folder "
            "%s is walked again",
            catalogue_.Folder().c_str());
        RemoveWatches("");
        watching_ = AddWatches("");
        catalogue_.Rescan(false);
        continue;
      }
      const auto found = folders_.find(event->wd);
      if (found == folders_.end()) {
        continue;  // a watch dropped meanwhile
      }
      const std::string folder = found->second;
      if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) != 0) {
        if (folder.empty()) {
          Lose((event->mask & IN_UNMOUNT) != 0 ? "its file system was unmounted"
                                               : "it was removed or renamed");
          return;  // the rest of this read names watches that are gone
        }
        if ((event->mask & IN_IGNORED) != 0) {
          watches_.erase(folder);
          folders_.erase(found);
          watchCount_ = watches_.size();
        }
        continue;
      }
      if (event->len == 0) {
        continue;
      }
      const std::string name = Join(folder, event->name);
      if ((event->mask & IN_ISDIR) != 0) {
        if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
          // Files may have come in before the watch stood: the new folder is walked.
          AddWatches(name);
          catalogue_.ScanFolder(name);
        } else if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
          RemoveWatches(name);
          catalogue_.FolderRemoved(name);
        }
        continue;
      }
      if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0) {
        catalogue_.FileChanged(name);
      } else if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
        catalogue_.FileRemoved(name);
      } else if ((event->mask & IN_CREATE) != 0) {
        // A link (symbolic or hard) is complete when it appears; a new file is not.
        struct stat info {};
        const std::string path = catalogue_.Folder() + "/" + name;
        if (::lstat(path.c_str(), &info) == 0 &&
            (S_ISLNK(info.st_mode) || (S_ISREG(info.st_mode) && info.st_nlink > 1))) {
          catalogue_.FileChanged(name);
        }
      }
    }
  }
}

}  // namespace vidra

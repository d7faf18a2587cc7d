// The first scan of a large folder is logged every few seconds (files found, probed, left)
// and shown on the status page through Progress. Files are probed through the probe cache,
// so the media check and the catalogue never probe the same unchanged file twice.
#include "media/MediaCatalogue.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <unordered_set>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

constexpr auto kProgressEvery = 5s;
// Changes told to the listeners in one event at most, so a long scan reaches the media
// check piece by piece.
constexpr std::size_t kEventBatch = 256;

std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : text) {
    hash = (hash ^ c) * 1099511628211ull;
  }
  return hash;
}

FileTime FromTimespec(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds < 0) {
    return kUnixEpochFileTime;
  }
  return kUnixEpochFileTime + static_cast<FileTime>(seconds) * kTicksPerSecond +
         static_cast<FileTime>(nanoseconds) / 100;
}

// The file's birth time where the file system keeps one, else its modification time.
FileTime CreatedTime(const std::string& path, const FileIdentity& identity) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &info) == 0 &&
      (info.stx_mask & STATX_BTIME) != 0) {
    return FromTimespec(info.stx_btime.tv_sec, info.stx_btime.tv_nsec);
  }
  return FromTimespec(identity.modifiedNs / 1'000'000'000, identity.modifiedNs % 1'000'000'000);
}

}  // namespace

// A name the protocol can carry: UTF-8 without control characters, which XML 1.0 cannot
// hold.
bool WritableName(std::string_view text) {
  if (!IsValidUtf8(text)) {
    return false;
  }
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

std::string_view MediaObject::Slug() const {
  if (nrcs != nullptr) {
    return nrcs->objSlug;
  }
  const std::string_view relative = relativePath;
  const std::size_t slash = relative.rfind('/');
  std::string_view slug = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
  if (const std::size_t dot = slug.rfind('.'); dot != std::string_view::npos && dot > 0) {
    slug = slug.substr(0, dot);
  }
  return slug;
}

std::string_view MediaObject::Type() const {
  if (Placeholder()) {
    return nrcs->objType;
  }
  switch (media.kind) {
    case MediaKind::Audio:
      return "AUDIO";
    case MediaKind::Still:
      return "STILL";
    case MediaKind::Video:
      break;
  }
  return "VIDEO";
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
  return folder.empty() ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

std::string ObjectIdOf(std::string_view relativePath) {
  if (relativePath.size() <= kMaxObjIdBytes) {
    return std::string(relativePath);
  }
  char digest[20];
  std::snprintf(digest, sizeof digest, "~%016llx",
                static_cast<unsigned long long>(Fnv1a(relativePath)));
  // The start of the path, cut where a character begins, then the digest of the whole.
  std::size_t keep = kMaxObjIdBytes - 17;
  while (keep > 0 && (static_cast<unsigned char>(relativePath[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return std::string(relativePath.substr(0, keep)) + digest;
}

std::string NormalPath(std::string_view path) {
  if (path.empty()) {
    return {};
  }
  std::error_code error;
  fs::path absolute = fs::absolute(fs::path(path), error);
  if (error) {
    absolute = fs::path(path);
  }
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

MediaCatalogue::MediaCatalogue(const std::string& folder, ProbeCache& cache, Clock& clock)
    : folder_(NormalPath(folder)),
      cache_(cache),
      clock_(clock),
      placeholderLog_(folder_.empty() ? std::string() : folder_ + "/" + kPlaceholderLogName) {}

std::optional<MediaObject> MediaCatalogue::Find(std::string_view objID) const {
  std::lock_guard guard(lock_);  // byPath_ and byId_
  const auto id = byId_.find(std::string(objID));
  if (id == byId_.end()) {
    return std::nullopt;
  }
  return byPath_.at(id->second);
}

std::string MediaCatalogue::PathOf(std::string_view objID) const {
  if (objID.empty() || objID.size() > kMaxObjIdBytes) {
    return {};
  }
  std::lock_guard guard(lock_);  // byPath_ and byId_
  const auto id = byId_.find(std::string(objID));
  return id == byId_.end() ? std::string() : byPath_.at(id->second).path;
}

std::vector<MediaObject> MediaCatalogue::List() const {
  std::lock_guard guard(lock_);  // byPath_
  std::vector<MediaObject> list;
  list.reserve(byPath_.size());
  for (const auto& [relative, object] : byPath_) {
    list.push_back(object);
  }
  return list;
}

std::size_t MediaCatalogue::Count() const {
  std::lock_guard guard(lock_);  // byPath_
  return byPath_.size();
}

ScanProgress MediaCatalogue::Progress() const {
  std::lock_guard guard(lock_);  // progress_
  return progress_;
}

std::string MediaCatalogue::WholePath(const std::string& relativePath) const {
  return relativePath.empty() ? folder_ : folder_ + "/" + relativePath;
}

std::vector<MediaCatalogue::Found> MediaCatalogue::Walk(const std::string& relativeFolder,
                                                        bool logSkipped) {
  std::vector<Found> found;
  std::error_code error;
  const fs::path start(WholePath(relativeFolder));
  const std::string real = fs::canonical(fs::path(folder_), error).string();
  if (error) {
    return found;
  }
  fs::recursive_directory_iterator walk(start, fs::directory_options::skip_permission_denied,
                                        error);
  const fs::recursive_directory_iterator end;
  for (; !error && walk != end && !stopping_; walk.increment(error)) {
    const fs::directory_entry& entry = *walk;
    std::error_code kind;
    const bool link = entry.is_symlink(kind);
    if (!link && !entry.is_regular_file(kind)) {
      continue;  // folders are walked into; devices, sockets and pipes are no media
    }
    std::string relative = entry.path().lexically_relative(fs::path(folder_)).string();
    if (IsPlaceholderLog(relative)) {
      continue;
    }
    if (!WritableName(relative)) {
      if (logSkipped) {
        Log("VIDRA - media file %s is not catalogued: its name is not UTF-8 text",
            entry.path().filename().string().c_str());
      }
      continue;
    }
    if (link) {
      // A link that leaves the media folder would make the catalogue show what the station
      // never put there; one to a folder is not walked (it could loop).
      const fs::path target = fs::canonical(entry.path(), kind);
      if (kind || !IsInsideFolder(target.string(), real) || !fs::is_regular_file(target, kind)) {
        if (logSkipped) {
          Log("VIDRA - media link %s is not catalogued: it does not lead to a file in the media "
              "folder",
              relative.c_str());
        }
        continue;
      }
    }
    const std::string path = WholePath(relative);
    if (const std::optional<FileIdentity> identity = IdentityOf(path)) {
      found.push_back(Found{std::move(relative), *identity, CreatedTime(path, *identity)});
    }
  }
  return found;
}

void MediaCatalogue::Rescan(bool first) {
  if (first) {
    LoadPlaceholders();
  }
  std::error_code error;
  const bool present = fs::is_directory(fs::path(folder_), error);
  {
    std::lock_guard guard(lock_);  // progress_
    progress_.folderPresent = present;
  }
  if (!present) {
    FolderLost();
    if (first) {
      std::lock_guard guard(lock_);  // progress_
      progress_.complete = true;
    }
    return;
  }
  Reconcile("", Walk("", true), first);
}

void MediaCatalogue::ScanFolder(const std::string& relativeFolder) {
  Reconcile(relativeFolder, Walk(relativeFolder, true), false);
}

void MediaCatalogue::Reconcile(const std::string& relativeFolder, const std::vector<Found>& found,
                               bool first) {
  {
    std::lock_guard guard(lock_);  // progress_
    progress_.scanning = true;
    progress_.found = found.size();
    progress_.probed = 0;
  }
  std::unordered_set<std::string> seen;
  seen.reserve(found.size());
  CatalogueEvent event;
  event.firstScan = first;
  auto lastReport = clock_.Monotonic();
  std::size_t probed = 0;
  for (const Found& file : found) {
    if (stopping_) {
      return;  // the server stops: the catalogue is not used any more
    }
    seen.insert(file.relativePath);
    bool same = false;
    {
      std::lock_guard guard(lock_);  // byPath_
      const auto known = byPath_.find(file.relativePath);
      same = known != byPath_.end() && known->second.identity == file.identity;
    }
    if (!same) {
      Apply(file, cache_.Lookup(WholePath(file.relativePath)), event);
    }
    ++probed;
    {
      std::lock_guard guard(lock_);  // progress_
      progress_.probed = probed;
    }
    if (event.objects.size() + event.paths.size() >= kEventBatch) {
      Tell(event);
      event = CatalogueEvent{};
      event.firstScan = first;
    }
    if (clock_.Monotonic() - lastReport >= kProgressEvery) {
      lastReport = clock_.Monotonic();
      Log("VIDRA - media catalogue of %s: %zu files found, %zu probed, %zu left", folder_.c_str(),
          found.size(), probed, found.size() - probed);
    }
  }
  std::vector<std::string> gone;
  {
    std::lock_guard guard(lock_);  // byPath_
    for (const auto& [relative, object] : byPath_) {
      if (IsInsideFolder(relative, relativeFolder) && !seen.contains(relative)) {
        gone.push_back(relative);
      }
    }
  }
  for (const std::string& relative : gone) {
    RemoveObject(relative, event);
  }
  Tell(event);
  std::size_t count = 0;
  {
    std::lock_guard guard(lock_);  // progress_ and byPath_
    progress_.scanning = false;
    progress_.folderPresent = true;
    count = byPath_.size();
    if (first) {
      progress_.complete = true;
    }
  }
  if (first) {
    Log("VIDRA - media catalogue of %s: %zu files found, %zu are media objects", folder_.c_str(),
        found.size(), count);
  }
}

void MediaCatalogue::Apply(const Found& file, const ProbeResult& media, CatalogueEvent& event) {
  const std::string path = WholePath(file.relativePath);
  event.paths.push_back(path);
  if (!media.media) {
    RemoveObject(file.relativePath, event);
    return;
  }
  std::lock_guard guard(lock_);  // byPath_ and byId_
  const auto known = byPath_.find(file.relativePath);
  if (known != byPath_.end()) {
    MediaObject& object = known->second;
    object.media = media;
    object.identity = file.identity;
    object.changed = FromTimespec(file.identity.modifiedNs / 1'000'000'000,
                                  file.identity.modifiedNs % 1'000'000'000);
    ++object.revision;
    event.objects.push_back(ObjectDelta{ObjectChange::Changed, object});
    return;
  }
  MediaObject object;
  object.objID = ObjectIdOf(file.relativePath);
  if (const auto taken = byId_.find(object.objID); taken != byId_.end()) {
    Log("VIDRA - media file %s is not catalogued: its objID %s is %s's already",
        file.relativePath.c_str(), object.objID.c_str(), taken->second.c_str());
    return;
  }
  object.relativePath = file.relativePath;
  object.path = path;
  object.media = media;
  object.identity = file.identity;
  object.created = file.created;
  object.changed = FromTimespec(file.identity.modifiedNs / 1'000'000'000,
                                file.identity.modifiedNs % 1'000'000'000);
  byId_.emplace(object.objID, object.relativePath);
  event.objects.push_back(ObjectDelta{ObjectChange::Added, object});
  byPath_.emplace(file.relativePath, std::move(object));
}

void MediaCatalogue::RemoveObject(const std::string& relativePath, CatalogueEvent& event) {
  std::lock_guard guard(lock_);  // byPath_ and byId_
  const auto known = byPath_.find(relativePath);
  if (known == byPath_.end()) {
    return;
  }
  if (MediaObject& object = known->second; object.nrcs) {
    // The NRCS's object outlives its file: it waits for the next one, as a placeholder.
    if (object.media.media) {
      object.media = ProbeResult{};
      object.identity = FileIdentity{};
      object.changed = clock_.UtcNow();
      ++object.revision;
      event.objects.push_back(ObjectDelta{ObjectChange::Changed, object});
    }
    return;
  }
  byId_.erase(known->second.objID);
  event.objects.push_back(ObjectDelta{ObjectChange::Removed, std::move(known->second)});
  byPath_.erase(known);
}

void MediaCatalogue::FileChanged(const std::string& relativePath) {
  if (IsPlaceholderLog(relativePath)) {
    return;
  }
  CatalogueEvent event;
  std::vector<Found> found;
  const std::string path = WholePath(relativePath);
  std::error_code error;
  if (fs::is_symlink(fs::path(path), error)) {
    // A link is checked as a walk checks it; a walk of its folder would be too much.
    for (Found& file : Walk(fs::path(relativePath).parent_path().string(), false)) {
      if (file.relativePath == relativePath) {
        found.push_back(std::move(file));
      }
    }
  } else if (const std::optional<FileIdentity> identity = IdentityOf(path);
             identity && WritableName(relativePath)) {
    found.push_back(Found{relativePath, *identity, CreatedTime(path, *identity)});
  }
  if (found.empty()) {
    event.paths.push_back(path);
    RemoveObject(relativePath, event);
  } else {
    Apply(found.front(), cache_.Lookup(path), event);
  }
  Tell(event);
}

void MediaCatalogue::FileRemoved(const std::string& relativePath) {
  CatalogueEvent event;
  event.paths.push_back(WholePath(relativePath));
  RemoveObject(relativePath, event);
  Tell(event);
}

void MediaCatalogue::FolderRemoved(const std::string& relativeFolder) {
  CatalogueEvent event;
  event.folders.push_back(WholePath(relativeFolder));
  std::vector<std::string> gone;
  {
    std::lock_guard guard(lock_);  // byPath_
    for (const auto& [relative, object] : byPath_) {
      if (IsInsideFolder(relative, relativeFolder)) {
        gone.push_back(relative);
      }
    }
  }
  for (const std::string& relative : gone) {
    RemoveObject(relative, event);
  }
  Tell(event);
}

void MediaCatalogue::FolderLost() {
  {
    std::lock_guard guard(lock_);  // progress_
    progress_.folderPresent = false;
  }
  FolderRemoved("");
}

void MediaCatalogue::Tell(const CatalogueEvent& event) {
  if (event.objects.empty() && event.paths.empty() && event.folders.empty()) {
    return;
  }
  for (CatalogueListener* listener : listeners_) {
    listener->CatalogueChanged(event);
  }
}

}  // namespace vidra

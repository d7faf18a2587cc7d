// The catalogue of the media folder: every file under it, in any subfolder, that opens as
// media (a clip, a sound or a still) is an object with a stable ID. The watcher's thread
// changes it; any thread reads it. Each change is told, with no lock held, to the
// listeners: the media check (which files changed) and the object pushes to the NRCS
// (which objects were added, changed or removed).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/Clock.h"
#include "common/FileTime.h"
#include "media/ProbeCache.h"

namespace vidra {

// The longest objID the NRCS accepts.
constexpr std::size_t kMaxObjIdBytes = 128;

struct MediaObject {
  std::string objID;
  std::string relativePath;  // under the media folder, "/" between its parts
  std::string path;          // the whole path, as the server opens it
  ProbeResult media;
  FileIdentity identity;
  FileTime created = 0;        // UTC: the file's birth where the file system keeps it
  FileTime changed = 0;        // UTC: its last modification
  std::uint32_t revision = 1;  // counts the changes this server has seen
};

enum class ObjectChange { Added, Changed, Removed };

struct ObjectDelta {
  ObjectChange change = ObjectChange::Added;
  MediaObject object;
};

// One change of the folder's content.
struct CatalogueEvent {
  std::vector<ObjectDelta> objects;
  // Whole paths of files that appeared, changed or went (media or not), and folders whose
  // whole content did.
  std::vector<std::string> paths;
  std::vector<std::string> folders;
  bool firstScan = false;  // the catalogue's first filling, not news for the NRCS
};

class CatalogueListener {
 public:
  virtual ~CatalogueListener() = default;
  // On the watcher's thread; short work only (queue it).
  virtual void CatalogueChanged(const CatalogueEvent& event) = 0;
};

// The objID of a file at this path under the media folder: the path itself when it fits,
// else its start and a digest of the whole, so that every file keeps its ID across restarts.
std::string ObjectIdOf(std::string_view relativePath);
// The path made absolute and lexically normal, with no trailing "/": the form in which
// paths of items and of the folder are compared.
std::string NormalPath(std::string_view path);

struct ScanProgress {
  bool scanning = false;  // the first scan (or a rescan) runs now
  bool complete = false;  // the first scan has ended
  bool folderPresent = false;
  std::size_t found = 0;
  std::size_t probed = 0;
};

class MediaCatalogue {
 public:
  MediaCatalogue(const std::string& folder, ProbeCache& cache, Clock& clock);

  // Before the watcher starts.
  void AddListener(CatalogueListener* listener) { listeners_.push_back(listener); }
  const std::string& Folder() const { return folder_; }
  ProbeCache& Cache() { return cache_; }

  std::optional<MediaObject> Find(std::string_view objID) const;
  // The whole path of the object with this ID, or empty.
  std::string PathOf(std::string_view objID) const;
  // Every object, in the order of their relative paths.
  std::vector<MediaObject> List() const;
  std::size_t Count() const;
  ScanProgress Progress() const;

  // The watcher's side: a walk of the whole folder that brings the catalogue in line with
  // it (the first, and after a lost watch or an overflow); what came in under a folder; one
  // file written, renamed in, changed or gone; the folder itself gone.
  void Rescan(bool first);
  void ScanFolder(const std::string& relativeFolder);
  void FileChanged(const std::string& relativePath);
  void FileRemoved(const std::string& relativePath);
  void FolderRemoved(const std::string& relativeFolder);
  void FolderLost();
  // Ends a walk or a scan under way soon, for a stop of the server.
  void Stop() { stopping_ = true; }

 private:
  // A file found by a walk, with what a listing needs before it is probed.
  struct Found {
    std::string relativePath;
    FileIdentity identity;
    FileTime created = 0;
  };
  // The files under relativeFolder ("" for all), those a symbolic link brings in from
  // outside the folder, or that have unwritable names, left out.
  std::vector<Found> Walk(const std::string& relativeFolder, bool logSkipped);
  // Probes found and brings the objects under relativeFolder in line with it.
  void Reconcile(const std::string& relativeFolder, const std::vector<Found>& found, bool first);
  // Adds, changes or removes the object of one file after its probe, into event.
  void Apply(const Found& file, const ProbeResult& media, CatalogueEvent& event);
  void RemoveObject(const std::string& relativePath, CatalogueEvent& event);
  void Tell(const CatalogueEvent& event);
  std::string WholePath(const std::string& relativePath) const;

  std::string folder_;  // normal form
  ProbeCache& cache_;
  Clock& clock_;
  std::vector<CatalogueListener*> listeners_;
  mutable std::mutex lock_;                            // guards byPath_, byId_ and progress_
  std::map<std::string, MediaObject> byPath_;          // by relative path
  std::unordered_map<std::string, std::string> byId_;  // objID to relative path
  ScanProgress progress_;
  std::atomic<bool> stopping_{false};
};

}  // namespace vidra

// The catalogue of the media folder: every file under it, in any subfolder, that opens as
// media (a clip, a sound or a still) is an object with a stable ID. The watcher's thread
// changes it; any thread reads it. Each change is told, with no lock held, to the
// listeners: the media check (which files changed) and the object pushes to the NRCS
// (which objects were added, changed or removed).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/Clock.h"
#include "common/FileTime.h"
#include "media/PlaceholderLog.h"
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
  // What the NRCS said of an object it made; null for a file the station put in the folder.
  std::shared_ptr<const NrcsObjectText> nrcs;

  // An object the NRCS made whose media file has not landed yet.
  bool Placeholder() const { return nrcs != nullptr && !media.media; }
  // objSlug: the NRCS's for its own objects, else the file name without its extension.
  std::string_view Slug() const;
  // objType: VIDEO, AUDIO or STILL; a placeholder's is the one the NRCS gave.
  std::string_view Type() const;
};

// The folder, under the media folder, where placeholders' files are named, and the log
// that keeps the objects the NRCS made.
constexpr const char* kPlaceholderFolder = "placeholders";
constexpr const char* kPlaceholderLogName = "placeholders/.placeholders.log";
// Objects the NRCS may make, placeholders and landed ones together.
constexpr std::size_t kMaxNrcsObjects = 50000;

// What became of the NRCS's change of an object.
enum class ObjectEdit {
  Done,
  NoFolder,       // the server has no media folder
  UnknownObject,  // no object has the objID
  StationFile,    // the object is a file the station put there, not the NRCS's to change
  HasMedia,       // its media file is there: the server does not delete media
  PathOutside,    // the objPath asked for leaves the media folder
  PathTaken,      // another object has that path
  TooMany,        // kMaxNrcsObjects reached
  NotSaved,       // the placeholder log could not be written
};

struct ObjectEditResult {
  ObjectEdit outcome = ObjectEdit::Done;
  std::string detail;  // the path, objID or error it concerns
  MediaObject object;  // the object as it now is (as it was, for a deletion)
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
// Whether path lies inside folder (both in normal form); every path does when folder is "".
bool IsInsideFolder(const std::string& path, const std::string& folder);
// A name the protocol can carry: UTF-8 without control characters.
bool WritableName(std::string_view text);
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
  // Calls visit with each object in the order of their relative paths, under the
  // catalogue's lock: short work only (a search that copies what it keeps).
  template <typename Visit>
  void ForEach(Visit&& visit) const {
    std::lock_guard guard(lock_);  // byPath_
    for (const auto& [relative, object] : byPath_) {
      visit(object);
    }
  }
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
  // The NRCS's own objects. A placeholder is named under kPlaceholderFolder from its slug
  // (wantedPath, relative or whole, names another place in the media folder); it is an
  // object without media until a file lands at its path, and becomes one again if that file
  // goes. An update replaces the NRCS's texts (createdBy stays); only a placeholder
  // without its file is deleted. Each is in the placeholder log before it returns Done.
  ObjectEditResult CreatePlaceholder(NrcsObjectText text, const std::string& wantedPath);
  ObjectEditResult UpdateNrcsObject(const std::string& objID, NrcsObjectText text);
  ObjectEditResult DeleteNrcsObject(const std::string& objID);
  // Whether the path (relative) is the placeholder log's, which is no media.
  static bool IsPlaceholderLog(std::string_view relativePath);

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
  // The placeholder log's objects, as placeholders, before the first walk.
  void LoadPlaceholders();
  // A free relative path under kPlaceholderFolder for a slug.
  std::string PlaceholderPath(const NrcsObjectText& text);
  PlaceholderRecord RecordOf(const MediaObject& object) const;
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
  PlaceholderLog placeholderLog_;
  std::mutex editLock_;  // serialises the NRCS's changes of its objects and their log lines;
                         // taken before lock_
  std::size_t nrcsObjects_ = 0;        // guarded by lock_
  std::uint64_t nextPlaceholder_ = 1;  // guarded by editLock_
};

}  // namespace vidra

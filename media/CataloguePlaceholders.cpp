// The objects the NRCS makes in the catalogue: placeholders that wait for their media file,
// kept in the placeholder log so they outlive a restart.
#include <filesystem>

#include "common/Log.h"
#include "common/Text.h"
#include "media/MediaCatalogue.h"

namespace vidra {

namespace {

namespace fs = std::filesystem;

// The longest slug part of a placeholder's file name, in bytes.
constexpr std::size_t kSlugInName = 48;

// A file name's part made of the slug: letters, digits, '-' and '_' kept, every other
// character (and each byte of one that is not ASCII) a '_', so the name is the same on every
// file system an ingest system writes through.
std::string NamePart(std::string_view slug) {
  std::string part;
  for (const unsigned char c : slug) {
    if (part.size() == kSlugInName) {
      break;
    }
    part += (std::isalnum(c) != 0 && c < 0x80) || c == '-' || c == '_' ? static_cast<char>(c) : '_';
  }
  return part.empty() ? std::string("object") : part;
}

// The extension the station's ingest writes for each kind; the player reads a file by its
// content, so another format under this name plays too.
const char* ExtensionOf(const std::string& objType) {
  if (objType == "AUDIO") {
    return ".wav";
  }
  if (objType == "STILL") {
    return ".png";
  }
  return ".mxf";
}

}  // namespace

bool MediaCatalogue::IsPlaceholderLog(std::string_view relativePath) {
  const std::string_view log = kPlaceholderLogName;
  return relativePath == log ||
         (relativePath.size() == log.size() + 4 && relativePath.substr(0, log.size()) == log &&
          relativePath.substr(log.size()) == ".new");
}

PlaceholderRecord MediaCatalogue::RecordOf(const MediaObject& object) const {
  PlaceholderRecord record;
  record.objID = object.objID;
  record.relativePath = object.relativePath;
  record.created = object.created;
  record.changed = object.changed;
  if (object.nrcs) {
    record.text = *object.nrcs;
  }
  return record;
}

void MediaCatalogue::LoadPlaceholders() {
  if (folder_.empty()) {
    return;
  }
  std::vector<PlaceholderRecord> records;
  std::string error;
  if (!placeholderLog_.Load(records, error)) {
    Log("VIDRA - %s; the NRCS's objects of before are not known", error.c_str());
    return;
  }
  std::lock_guard edit(editLock_);  // nextPlaceholder_
  std::lock_guard guard(lock_);     // byPath_, byId_ and nrcsObjects_
  for (PlaceholderRecord& record : records) {
    if (byId_.contains(record.objID) || byPath_.contains(record.relativePath)) {
      continue;
    }
    MediaObject object;
    object.objID = record.objID;
    object.relativePath = record.relativePath;
    object.path = WholePath(record.relativePath);
    object.created = record.created;
    object.changed = record.changed;
    object.nrcs = std::make_shared<const NrcsObjectText>(std::move(record.text));
    byId_.emplace(object.objID, object.relativePath);
    byPath_.emplace(object.relativePath, std::move(object));
    ++nrcsObjects_;
  }
  nextPlaceholder_ = records.size() + 1;
  if (!records.empty()) {
    Log("VIDRA - %zu object(s) the NRCS made are known again from %s", records.size(),
        placeholderLog_.Path().c_str());
  }
}

std::string MediaCatalogue::PlaceholderPath(const NrcsObjectText& text) {
  const std::string stem = std::string(kPlaceholderFolder) + "/" + NamePart(text.objSlug) + "_";
  for (;; ++nextPlaceholder_) {
    char number[24];
    std::snprintf(number, sizeof number, "%06llu",
                  static_cast<unsigned long long>(nextPlaceholder_));
    std::string relative = stem + number + ExtensionOf(text.objType);
    std::error_code error;
    bool taken = fs::exists(fs::path(WholePath(relative)), error);
    {
      std::lock_guard guard(lock_);  // byPath_ and byId_
      taken = taken || byPath_.contains(relative) || byId_.contains(ObjectIdOf(relative));
    }
    if (!taken) {
      ++nextPlaceholder_;
      return relative;
    }
  }
}

ObjectEditResult MediaCatalogue::CreatePlaceholder(NrcsObjectText text,
                                                   const std::string& wantedPath) {
  ObjectEditResult result;
  if (folder_.empty()) {
    result.outcome = ObjectEdit::NoFolder;
    return result;
  }
  std::lock_guard edit(editLock_);  // the NRCS's objects and the placeholder log
  std::string relative;
  if (wantedPath.empty()) {
    relative = PlaceholderPath(text);
  } else {
    const std::string whole =
        NormalPath(wantedPath.front() == '/' ? wantedPath : folder_ + "/" + wantedPath);
    if (!IsInsideFolder(whole, folder_) || !WritableName(whole) ||
        IsPlaceholderLog(whole.substr(folder_.size() + 1))) {
      result.outcome = ObjectEdit::PathOutside;
      result.detail = wantedPath;
      return result;
    }
    relative = whole.substr(folder_.size() + 1);
  }
  MediaObject object;
  object.objID = ObjectIdOf(relative);
  object.relativePath = relative;
  object.path = WholePath(relative);
  object.created = clock_.UtcNow();
  object.changed = object.created;
  object.nrcs = std::make_shared<const NrcsObjectText>(std::move(text));
  {
    std::lock_guard guard(lock_);  // byPath_, byId_ and nrcsObjects_
    if (byPath_.contains(relative) || byId_.contains(object.objID)) {
      result.outcome = ObjectEdit::PathTaken;
      result.detail = relative;
      return result;
    }
    if (nrcsObjects_ >= kMaxNrcsObjects) {
      result.outcome = ObjectEdit::TooMany;
      result.detail = std::to_string(kMaxNrcsObjects);
      return result;
    }
  }
  if (std::string error; !placeholderLog_.Put(RecordOf(object), error)) {
    Log("VIDRA - %s", error.c_str());
    result.outcome = ObjectEdit::NotSaved;
    result.detail = error;
    return result;
  }
  CatalogueEvent event;
  event.paths.push_back(object.path);
  event.objects.push_back(ObjectDelta{ObjectChange::Added, object});
  {
    std::lock_guard guard(lock_);  // byPath_, byId_ and nrcsObjects_
    byId_.emplace(object.objID, relative);
    byPath_.emplace(relative, object);
    ++nrcsObjects_;
  }
  Log("VIDRA - placeholder %s made for the NRCS: its media goes to %s", object.objID.c_str(),
      object.path.c_str());
  result.object = std::move(object);
  Tell(event);
  // A file already there (written before the NRCS asked) makes it an object at once.
  FileChanged(relative);
  if (auto now = Find(result.object.objID)) {
    result.object = std::move(*now);
  }
  return result;
}

ObjectEditResult MediaCatalogue::UpdateNrcsObject(const std::string& objID, NrcsObjectText text) {
  ObjectEditResult result;
  result.detail = objID;
  std::lock_guard edit(editLock_);  // the NRCS's objects and the placeholder log
  MediaObject changed;
  {
    std::lock_guard guard(lock_);  // byPath_ and byId_
    const auto id = byId_.find(objID);
    if (id == byId_.end()) {
      result.outcome = ObjectEdit::UnknownObject;
      return result;
    }
    changed = byPath_.at(id->second);
  }
  if (!changed.nrcs) {
    result.outcome = ObjectEdit::StationFile;
    return result;
  }
  text.createdBy = changed.nrcs->createdBy;
  changed.nrcs = std::make_shared<const NrcsObjectText>(std::move(text));
  changed.changed = clock_.UtcNow();
  ++changed.revision;
  if (std::string error; !placeholderLog_.Put(RecordOf(changed), error)) {
    Log("VIDRA - %s", error.c_str());
    result.outcome = ObjectEdit::NotSaved;
    result.detail = error;
    return result;
  }
  {
    std::lock_guard guard(lock_);  // byPath_
    if (const auto known = byPath_.find(changed.relativePath); known != byPath_.end()) {
      // Only the NRCS's part: the file may have landed meanwhile.
      known->second.nrcs = changed.nrcs;
      known->second.changed = changed.changed;
      known->second.revision = std::max(known->second.revision + 1, changed.revision);
      changed = known->second;
    }
  }
  CatalogueEvent event;
  event.objects.push_back(ObjectDelta{ObjectChange::Changed, changed});
  result.object = changed;
  Tell(event);
  return result;
}

ObjectEditResult MediaCatalogue::DeleteNrcsObject(const std::string& objID) {
  ObjectEditResult result;
  result.detail = objID;
  std::lock_guard edit(editLock_);  // the NRCS's objects and the placeholder log
  {
    std::lock_guard guard(lock_);  // byPath_ and byId_
    const auto id = byId_.find(objID);
    if (id == byId_.end()) {
      result.outcome = ObjectEdit::UnknownObject;
      return result;
    }
    result.object = byPath_.at(id->second);
  }
  if (!result.object.nrcs) {
    result.outcome = ObjectEdit::StationFile;
    return result;
  }
  if (result.object.media.media) {
    result.outcome = ObjectEdit::HasMedia;
    result.detail = result.object.path;
    return result;
  }
  if (std::string error; !placeholderLog_.Remove(objID, error)) {
    Log("VIDRA - %s", error.c_str());
    result.outcome = ObjectEdit::NotSaved;
    result.detail = error;
    return result;
  }
  CatalogueEvent event;
  {
    std::lock_guard guard(lock_);  // byPath_, byId_ and nrcsObjects_
    byPath_.erase(result.object.relativePath);
    byId_.erase(objID);
    --nrcsObjects_;
  }
  event.paths.push_back(result.object.path);
  event.objects.push_back(ObjectDelta{ObjectChange::Removed, result.object});
  Tell(event);
  return result;
}

}  // namespace vidra

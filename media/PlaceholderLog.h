// The objects the NRCS made (placeholders and what became of them), kept across restarts in
// a log beside their files: one line per change, appended and flushed to the disk before the
// NRCS hears of it, compacted when it is read at the start. Knows no catalogue.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/FileTime.h"

namespace vidra {

// What the NRCS said of an object it made (mosObjCreate, mosReqObjAction): written back in
// each mosObj of it, as it came.
struct NrcsObjectText {
  std::string objSlug;
  std::string mosAbstract;
  std::string objGroup;
  std::string objType;  // VIDEO, AUDIO or STILL
  std::string objTB;
  std::string objDur;  // the planned length, in frames at objTB; empty if not given
  std::string createdBy;
  std::string changedBy;
  std::string description;
  std::string metadataXml;  // the mosExternalMetadata elements, as sent
};

struct PlaceholderRecord {
  std::string objID;
  std::string relativePath;  // where its media file must be written, under the media folder
  FileTime created = 0;      // UTC
  FileTime changed = 0;      // UTC: the NRCS's last change
  NrcsObjectText text;
};

class PlaceholderLog {
 public:
  // path: the log file; its folder is made when the first record is written.
  explicit PlaceholderLog(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  // Every record the log holds, each object's last. A line cut short by a crash is left
  // out and logged; a log that cannot be read at all is an error. The log is then written
  // again with just those records.
  bool Load(std::vector<PlaceholderRecord>& records, std::string& error);
  // Appends one object's whole record, or its removal; on the disk when they return true.
  bool Put(const PlaceholderRecord& record, std::string& error);
  bool Remove(const std::string& objID, std::string& error);

 private:
  bool Append(const std::string& line, std::string& error);

  std::string path_;
};

}  // namespace vidra

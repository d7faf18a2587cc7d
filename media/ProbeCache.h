// What the probe said of each file, kept by the file's identity (path, size, modification
// time), so that a running order sent again, or a clip that many items name, costs no new
// probe. A file that changes gets a new identity and is probed again. Two threads that ask
// for the same file at once wait for one probe. Safe to use from any thread; the probe
// runs with no lock of the cache held.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "media/MediaProbe.h"

namespace vidra {

// A regular file as stat sees it; none when the path names nothing, or no regular file.
struct FileIdentity {
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::string& path);

// Why a file cannot play, for the readiness sheet.
enum class FileCondition { Playable, Missing, Unplayable };

class ProbeCache {
 public:
  ProbeCache(MediaProbe& probe, std::chrono::milliseconds limit) : probe_(probe), limit_(limit) {}

  // The probe's result for the file as it is now; a missing file is no media, unprobed.
  ProbeResult Lookup(const std::string& path);
  // The same with a time limit of its own (a check that someone waits for).
  ProbeResult Lookup(const std::string& path, std::chrono::milliseconds limit);
  // What is known of the file without probing it: none when it exists but was not probed
  // in its present form.
  std::optional<ProbeResult> Peek(const std::string& path, FileCondition& condition) const;
  // How many probes were run, for tests and the status page.
  std::uint64_t Probes() const;
  std::size_t Size() const;

 private:
  struct Entry {
    FileIdentity identity;
    ProbeResult result;
  };

  MediaProbe& probe_;
  std::chrono::milliseconds limit_;
  mutable std::mutex lock_;  // guards entries_, probing_ and probes_
  std::condition_variable probed_;
  std::unordered_map<std::string, Entry> entries_;
  std::unordered_set<std::string> probing_;  // the paths under probe now
  std::uint64_t probes_ = 0;
};

}  // namespace vidra

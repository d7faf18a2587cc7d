#include "media/ProbeCache.h"

#include <sys/stat.h>

namespace vidra {

namespace {

// Far beyond any station's media folder; past it the cache starts again rather than grow
// without end on a folder that keeps changing.
constexpr std::size_t kMaxEntries = 200'000;

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return FileIdentity{
      static_cast<std::int64_t>(info.st_size),
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

ProbeResult ProbeCache::Lookup(const std::string& path) {
  return Lookup(path, limit_);
}

ProbeResult ProbeCache::Lookup(const std::string& path, std::chrono::milliseconds limit) {
  std::unique_lock guard(lock_, std::defer_lock);  // entries_ and probing_
  for (;;) {
    // Looked at before the lock is taken: a file on a slow share holds up only its own
    // lookup, not every other worker's.
    const std::optional<FileIdentity> identity = IdentityOf(path);
    if (!identity) {
      return {};
    }
    guard.lock();
    if (const auto found = entries_.find(path);
        found != entries_.end() && found->second.identity == *identity) {
      return found->second.result;
    }
    if (!probing_.contains(path)) {
      probing_.insert(path);
      break;
    }
    // Another thread probes this file now: its result serves here too, unless the file
    // changed meanwhile, which the next turn sees.
    probed_.wait(guard, [&] { return !probing_.contains(path); });
    guard.unlock();
  }
  guard.unlock();
  const std::optional<FileIdentity> before = IdentityOf(path);
  ProbeResult result = probe_.Probe(path, limit);
  const std::optional<FileIdentity> after = IdentityOf(path);
  guard.lock();
  ++probes_;
  probing_.erase(path);
  // A file that changed under the probe (still being written) is not kept: its next
  // lookup probes it again.
  if (before && after && *before == *after) {
    if (entries_.size() >= kMaxEntries) {
      entries_.clear();
    }
    entries_[path] = Entry{*after, result};
  }
  probed_.notify_all();
  return result;
}

std::optional<ProbeResult> ProbeCache::Peek(const std::string& path,
                                            FileCondition& condition) const {
  const std::optional<FileIdentity> identity = IdentityOf(path);
  if (!identity) {
    condition = FileCondition::Missing;
    return ProbeResult{};
  }
  std::lock_guard guard(lock_);  // entries_
  const auto found = entries_.find(path);
  if (found == entries_.end() || !(found->second.identity == *identity)) {
    condition = FileCondition::Unplayable;
    return std::nullopt;
  }
  condition = found->second.result.playable ? FileCondition::Playable : FileCondition::Unplayable;
  return found->second.result;
}

std::uint64_t ProbeCache::Probes() const {
  std::lock_guard guard(lock_);  // probes_
  return probes_;
}

std::size_t ProbeCache::Size() const {
  std::lock_guard guard(lock_);  // entries_
  return entries_.size();
}

}  // namespace vidra

#include "rundown/AnswerMemory.h"

namespace vidra {

std::optional<RememberedAnswer> AnswerWindow::Find(const MessageKey& key, FileTime now) {
  std::lock_guard guard(lock_);  // the window
  Drop(now);
  const auto port = ports_.find({key.host, key.port});
  if (port == ports_.end()) {
    return std::nullopt;
  }
  for (auto entry = port->second.entries.rbegin(); entry != port->second.entries.rend(); ++entry) {
    if (entry->messageID == key.messageID && entry->digest == key.digest) {
      return RememberedAnswer{entry->answer};
    }
  }
  return std::nullopt;
}

void AnswerWindow::Keep(const MessageKey& key, std::optional<std::string> answer, FileTime at) {
  std::lock_guard guard(lock_);  // the window
  auto& entries = ports_[{key.host, key.port}].entries;
  for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
    if (entry->messageID == key.messageID && entry->digest == key.digest) {
      textBytes_ -= entry->answer ? entry->answer->size() : 0;
      entries.erase(entry);
      break;
    }
  }
  textBytes_ += answer ? answer->size() : 0;
  entries.push_back(Entry{key.messageID, key.digest, at, std::move(answer)});
  if (entries.size() > kRememberedPerPort) {
    textBytes_ -= entries.front().answer ? entries.front().answer->size() : 0;
    entries.pop_front();
  }
  Drop(at);
}

std::size_t AnswerWindow::Size() const {
  std::lock_guard guard(lock_);  // the window
  std::size_t n = 0;
  for (const auto& [where, port] : ports_) {
    n += port.entries.size();
  }
  return n;
}

// Entries older than the window, and the oldest while the text is over its cap, leave.
void AnswerWindow::Drop(FileTime now) {
  for (auto& [where, port] : ports_) {
    auto& entries = port.entries;
    while (!entries.empty() && now > entries.front().at + kRememberedFor) {
      textBytes_ -= entries.front().answer ? entries.front().answer->size() : 0;
      entries.pop_front();
    }
  }
  while (textBytes_ > kRememberedTextBytes) {
    Port* oldest = nullptr;
    for (auto& [where, port] : ports_) {
      if (!port.entries.empty() &&
          (oldest == nullptr || port.entries.front().at < oldest->entries.front().at)) {
        oldest = &port;
      }
    }
    if (oldest == nullptr) {
      break;
    }
    textBytes_ -= oldest->entries.front().answer ? oldest->entries.front().answer->size() : 0;
    oldest->entries.pop_front();
  }
}

}  // namespace vidra

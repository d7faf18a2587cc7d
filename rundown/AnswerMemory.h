// What the server answered to the messages that change running orders, so that a message
// sent again with the same messageID (an NRCS resends when an answer is lost) is answered
// again and not applied twice. Kept per NRCS host and port: the last 1,000 messages of each
// that carried a messageID, for 10 minutes. A messageID sent again with another body is a
// new message. The window is shared by the connection threads; it takes its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/FileTime.h"

namespace vidra {

struct MessageKey {
  std::string host;          // the NRCS host, as dotted IPv4
  std::int32_t port = 0;     // the server's port it came in on
  std::string messageID;     // as written
  std::uint64_t digest = 0;  // of the whole message
};

// What is remembered of a message: its answer, or none when the change it made was saved
// but its answer was not (the server stopped between the two).
struct RememberedAnswer {
  std::optional<std::string> answer;
};

class AnswerMemory {
 public:
  virtual ~AnswerMemory() = default;
  // The message as it was answered before, within the window; none for a new message.
  virtual std::optional<RememberedAnswer> Recall(const MessageKey& key) = 0;
  // Keeps the answer given to the message.
  virtual void Remember(const MessageKey& key, std::string answer) = 0;
};

constexpr std::size_t kRememberedPerPort = 1000;
constexpr FileTime kRememberedFor = 10ull * 60 * 10'000'000;  // 10 minutes
// Answer text held in memory at most; the oldest answers leave first.
constexpr std::size_t kRememberedTextBytes = std::size_t{64} << 20;

// The window itself, in memory: what AnswerMemory implementations keep and look up.
class AnswerWindow {
 public:
  std::optional<RememberedAnswer> Find(const MessageKey& key, FileTime now);
  // Keeps the entry (answer absent: applied, answer not yet known), replacing an older one
  // of the same message; drops what falls out of the window.
  void Keep(const MessageKey& key, std::optional<std::string> answer, FileTime at);
  std::size_t Size() const;

 private:
  struct Entry {
    std::string messageID;
    std::uint64_t digest = 0;
    FileTime at = 0;
    std::optional<std::string> answer;
  };
  struct Port {
    std::deque<Entry> entries;  // oldest first
  };
  void Drop(FileTime now);

  mutable std::mutex lock_;  // guards ports_ and textBytes_
  std::map<std::pair<std::string, std::int32_t>, Port> ports_;
  std::size_t textBytes_ = 0;
};

// The window alone, for a server without a durable store: it is lost with the process.
class InMemoryAnswers final : public AnswerMemory {
 public:
  explicit InMemoryAnswers(std::function<FileTime()> now) : now_(std::move(now)) {}
  std::optional<RememberedAnswer> Recall(const MessageKey& key) override {
    return window_.Find(key, now_());
  }
  void Remember(const MessageKey& key, std::string answer) override {
    window_.Keep(key, std::move(answer), now_());
  }

 private:
  std::function<FileTime()> now_;
  AnswerWindow window_;
};

}  // namespace vidra

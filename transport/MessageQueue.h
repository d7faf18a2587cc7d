// The message journal ("mesQ"): every message received and every answer and notice sent,
// kept for an hour for the controlling program. Connection and notice threads append; the
// control thread sweeps and reads. Bounded by age and by the total text it holds, so it
// cannot grow without a controller polling it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "common/Clock.h"
#include "common/FileTime.h"
#include "common/HResult.h"
#include "transport/Encoding.h"

namespace vidra {

constexpr std::uint8_t kDirectionSent = 0;
constexpr std::uint8_t kDirectionReceived = 1;

// One journal entry; its text is UTF-8 at its real length.
struct MessageRecord {
  std::int32_t clientNumber = 0;
  std::string text;
  EncodingType encodingType = EncodingType::Undetermined;
  EncodingType previousType = EncodingType::Undetermined;
  std::uint8_t direction = kDirectionSent;
  FileTime time = 0;
  // An answer sent again to a message sent again, not applied again.
  bool repeat = false;
};

// One hour in 100-ns units: entries at least this old leave the journal.
constexpr FileTime kJournalAge = 36'000'000'000ull;
constexpr std::size_t kDefaultJournalTextBytes = 64u << 20;

class MessageQueue {
 public:
  explicit MessageQueue(const Clock& clock) : clock_(clock) {}

  void Init(std::size_t maxTextBytes = kDefaultJournalTextBytes);
  // Adds a copy at the end; entries an hour old, and the oldest beyond the text cap, leave.
  // Does nothing on a journal that is not initialised.
  void Append(MessageRecord record);
  std::size_t Count() const;
  // Drops the entries an hour old or stamped in the future; returns how many.
  std::size_t Sweep();
  // Time of the newest entry, 0 when there is none.
  FileTime GetLastTime() const;
  // Entry n, 0 being the oldest held; E_FAIL when there is none such.
  HResult GetByNumber(std::int64_t n, MessageRecord& out) const;
  void Release();

  bool IsInitialized() const;
  std::size_t TextBytes() const;

 private:
  enum class ReadLock { Taken, TakenAfterWait, Busy };
  // Takes lock_ for a reader: at once if free, else after one bounded wait, with the log
  // lines the controlling tools know.
  ReadLock LockForReading(std::unique_lock<std::mutex>& lock, const char* lockedLine) const;
  std::size_t DropAged(FileTime now);
  void DropOverCap();

  const Clock& clock_;
  mutable std::mutex lock_;  // guards every field below
  std::deque<MessageRecord> records_;
  std::size_t textBytes_ = 0;
  std::size_t maxTextBytes_ = kDefaultJournalTextBytes;
  bool initialized_ = false;
  bool droppingOverCap_ = false;
};

}  // namespace vidra

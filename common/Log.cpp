// Records are queued whole under one lock, so lines of different threads never mix; the
// writer thread puts many of them into each write to standard error. A thread with a
// LogBatch queues its records a batch at a time.
#include "common/Log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "common/LogWriter.h"
#include "common/Text.h"

namespace vidra {

namespace {

std::mutex logMutex;  // guards currentSink and every write to it
LogSink* currentSink = nullptr;
// Whether a sink is set, read without the lock: a server has none, and its many threads
// would otherwise all take logMutex for every record only to find that out.
std::atomic<bool> sinkSet{false};
thread_local LogBatch* threadsBatch = nullptr;

// Made on first use: a writer that cannot be made then is an error of that log call, not one
// no handler can catch before main.
LogWriter& StderrWriter() {
  static LogWriter writer(STDERR_FILENO);
  return writer;
}

// Has write(sink) write the records to the sink when one is set; false when none is.
template <typename Write>
bool WriteToSink(const Write& write) {
  if (!sinkSet.load(std::memory_order_acquire)) {
    return false;
  }
  std::lock_guard lock(logMutex);
  if (currentSink == nullptr) {
    return false;
  }
  write(*currentSink);
  return true;
}

void Emit(std::string_view text) {
  if (threadsBatch != nullptr) {
    AddToBatch(*threadsBatch, text);
    return;
  }
  if (WriteToSink([text](LogSink& sink) { sink.Write(text); })) {
    return;
  }
  // The writer keeps records in the order it takes them, under its own lock.
  StderrWriter().Append(text, text.empty() || text.back() != '\n');
}

// Byte length of the first `characters` UTF-8 characters of text.
std::size_t PrefixOfCharacters(std::string_view text, std::size_t characters) {
  std::size_t i = 0;
  for (std::size_t n = 0; i < text.size() && n < characters; ++n) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
      ++i;
    }
  }
  return i;
}

}  // namespace

void AddToBatch(LogBatch& batch, std::string_view record) {
  batch.records_.emplace_back(batch.text_.size(), record.size());
  batch.text_.append(record);
  if (record.empty() || record.back() != '\n') {
    batch.text_ += '\n';
  }
  if (batch.text_.size() >= LogBatch::kFlushBytes) {
    batch.Flush();
  }
}

LogBatch::LogBatch() : previous_(threadsBatch) {
  threadsBatch = this;
}

LogBatch::~LogBatch() {
  Flush();
  threadsBatch = previous_;
}

void LogBatch::Flush() {
  if (records_.empty()) {
    return;
  }
  const bool toSink = WriteToSink([this](LogSink& sink) {
    for (const auto& [offset, length] : records_) {
      sink.Write(std::string_view(text_).substr(offset, length));
    }
  });
  if (!toSink) {
    StderrWriter().Append(text_);
  }
  text_.clear();
  records_.clear();
  if (text_.capacity() > 4 * kFlushBytes) {
    text_.shrink_to_fit();
  }
}

void FlushLogBatch() {
  if (threadsBatch != nullptr) {
    threadsBatch->Flush();
  }
}

void FlushLog() {
  StderrWriter().Flush();
}

void LogText(std::string_view text) {
  Emit(text);
}

void Log(const char* format, ...) {
  char small[4 * kLogRecordCharacters + 1];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    va_end(again);
    const std::string_view text(small, static_cast<std::size_t>(needed));
    Emit(text.substr(0, PrefixOfCharacters(text, kLogRecordCharacters)));
    return;
  }
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.resize(PrefixOfCharacters(text, kLogRecordCharacters));
  Emit(text);
}

void LogUtf16(std::u16string_view text) {
  // Each character is one or two units: twice the record's characters always suffice.
  std::size_t units = std::min(text.size(), 2 * kLogRecordCharacters);
  if (units < text.size() && units > 0 && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) {
    ++units;  // keep the pair whole
  }
  std::string record = Utf16ToUtf8(text.substr(0, units));
  record.resize(PrefixOfCharacters(record, kLogRecordCharacters));
  Emit(record);
}

ScopedLogSink::ScopedLogSink(LogSink& sink) {
  std::lock_guard lock(logMutex);
  previous_ = currentSink;
  currentSink = &sink;
  sinkSet.store(true, std::memory_order_release);
}

ScopedLogSink::~ScopedLogSink() {
  std::lock_guard lock(logMutex);
  currentSink = previous_;
  sinkSet.store(currentSink != nullptr, std::memory_order_release);
}

void LogCapture::Write(std::string_view record) {
  std::lock_guard lock(mutex_);
  records_.emplace_back(record);
}

std::vector<std::string> LogCapture::Records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

bool LogCapture::HasInOrder(const std::vector<std::string>& expected) const {
  std::lock_guard lock(mutex_);
  auto at = records_.begin();
  for (const auto& line : expected) {
    at = std::find(at, records_.end(), line);
    if (at == records_.end()) {
      return false;
    }
    ++at;
  }
  return true;
}

std::size_t LogCapture::CountOf(std::string_view record) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(records_.begin(), records_.end(), record));
}

}  // namespace vidra

namespace vidra {

std::size_t LogCapture::CountStartingWith(std::string_view prefix) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(records_.begin(), records_.end(),
                    [prefix](const std::string& record) { return record.rfind(prefix, 0) == 0; }));
}

}  // namespace vidra

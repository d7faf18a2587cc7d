// The pair's link as a backup hears it: frames cut out of any bytes, and each one that reads
// applied to a backup's state in memory (changes of any shape, copies begun and ended out of
// turn, numbers out of sequence).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/Log.h"
#include "pair/LinkFrames.h"
#include "pair/ReplicatedState.h"

namespace {

class QuietLog final : public vidra::LogSink {
 public:
  void Write(std::string_view) override {}
};

class NullStore final : public vidra::RoPersistence {
 public:
  bool Commit(vidra::RoChange, std::string&) override { return true; }
  void Post(vidra::RoChange) override {}
  bool Load(vidra::StoredState&, std::string&) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vidra;
  static QuietLog quiet;
  static ScopedLogSink sink(quiet);
  NullStore store;
  InMemoryAnswers answers([] { return FileTime{1}; });
  ReplicatedState backup(&store, answers, nullptr, std::chrono::milliseconds(1));
  std::string error;
  if (!backup.Open(error)) {
    return 0;
  }
  FrameReader reader;
  reader.Feed(std::string_view(reinterpret_cast<const char*>(data), size));
  LinkFrame frame;
  std::string why;
  // One stream throughout: a copy's end adopts it, and the changes after it apply in turn.
  while (reader.Next(frame, why) == FrameReader::Status::Frame) {
    why.clear();
    if (!backup.ApplyFromMain(frame, 1, why) && why.empty()) {
      std::abort();  // a refusal always says why
    }
  }
  StoredState held;
  if (!backup.Load(held, error)) {
    std::abort();
  }
  return 0;
}

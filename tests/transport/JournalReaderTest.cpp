// The control thread reads the journal while connection threads write it: a reader that
// finds the journal busy waits once, for at most half a second, and then gives up.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "common/Log.h"
#include "tests/support/TestSupport.h"
#include "transport/MessageQueue.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

constexpr FileTime kStart = kUnixEpochFileTime + 1'800'000'000ull * kTicksPerSecond;

// A clock whose wall time can be made to wait: the journal reads it while it holds its
// lock during a sweep, so a held clock keeps the journal busy for as long as a test needs.
class HeldClock final : public Clock {
 public:
  FileTime UtcNow() const override {
    std::unique_lock lock(mutex_);
    ++readers_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
    return kStart;
  }
  FileTime LocalNow() const override { return kStart; }
  std::chrono::nanoseconds Monotonic() const override { return 0ns; }
  void SleepFor(std::chrono::nanoseconds) override {}
  void SleepWhile(std::chrono::nanoseconds, const KeepRunning&) override {}

  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
    readers_ = 0;
  }
  void WaitForReader() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return readers_ > 0; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }

 private:
  mutable std::mutex mutex_;  // guards held_ and readers_
  mutable std::condition_variable changed_;
  bool held_ = false;
  mutable int readers_ = 0;
};

TEST(JournalReader, WaitsOnceForABusyJournalThenReadsOrGivesUp) {
  LogCapture log;
  HeldClock clock;
  MessageQueue queue{clock};
  queue.Init();
  MessageRecord first;
  first.text = "<mos><heartbeat/></mos>";
  first.time = kStart;
  queue.Append(first);

  // Busy for a moment: the reader waits, then reads the entry whole.
  clock.Hold();
  std::thread sweeper([&] { queue.Sweep(); });
  clock.WaitForReader();
  auto read = std::async(std::launch::async, [&] {
    MessageRecord out;
    const HResult hr = queue.GetByNumber(0, out);
    return std::make_pair(hr, out.text);
  });
  ASSERT_TRUE(test::WaitUntil([&] { return log.CountOf("can't enter to cs, wait event") == 1; }));
  clock.Release();
  sweeper.join();
  const auto [hr, text] = read.get();
  EXPECT_EQ(hr, HResult::S_OK);
  EXPECT_EQ(text, first.text);
  EXPECT_TRUE(
      log.HasInOrder({"can't enter to cs, wait event", "2nd try to enter CS for getting message",
                      "locked for getting message ", "the mess is getted, try to unlock",
                      "unlocked, go from GetMessage"}));

  // Busy past the reader's wait: it gives up with E_FAIL and the journal is unharmed.
  clock.Hold();
  std::thread stuck([&] { queue.Sweep(); });
  clock.WaitForReader();
  MessageRecord out;
  EXPECT_EQ(queue.GetByNumber(0, out), HResult::E_FAIL);
  EXPECT_EQ(queue.GetLastTime(), 0u) << "the time reader gives up the same way";
  EXPECT_EQ(log.CountOf("still can't enter to cs, go away"), 2u);
  clock.Release();
  stuck.join();
  EXPECT_EQ(queue.GetByNumber(0, out), HResult::S_OK);
  EXPECT_EQ(queue.GetLastTime(), kStart);
}

}  // namespace
}  // namespace vidra

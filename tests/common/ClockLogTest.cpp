#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/Clock.h"
#include "common/Log.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

TEST(ManualClock, SleepersWakeOnlyWhenTheirTimeHasCome) {
  ManualClock clock(kUnixEpochFileTime);
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    clock.SleepFor(100ms);
    woke = true;
  });
  ASSERT_TRUE(test::WaitUntil([&] { return clock.Sleepers() == 1; }));
  clock.Advance(99ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(woke);
  clock.Advance(1ms);
  EXPECT_TRUE(test::WaitUntil([&] { return woke.load(); }));
  sleeper.join();
  EXPECT_EQ(clock.UtcNow(), kUnixEpochFileTime + 100 * kTicksPerMillisecond);
  EXPECT_EQ(clock.Monotonic(), 100ms);
}

TEST(ManualClock, WakeAllEndsSleepsAndAutoAdvanceMovesTime) {
  ManualClock blocking(0);
  std::thread sleeper([&] { blocking.SleepFor(1h); });
  ASSERT_TRUE(test::WaitUntil([&] { return blocking.Sleepers() == 1; }));
  blocking.WakeAll();
  sleeper.join();
  blocking.SleepFor(1h);  // returns at once after WakeAll
  EXPECT_EQ(blocking.Monotonic(), 0ns);

  ManualClock automatic(1000, ManualClock::Mode::AutoAdvance, std::chrono::hours(2));
  automatic.SleepFor(1500ms);
  EXPECT_EQ(automatic.UtcNow(), 1000 + 15 * kTicksPerSecond / 10);
  EXPECT_EQ(automatic.LocalNow(), automatic.UtcNow() + 7200 * kTicksPerSecond);
  automatic.SetUtc(5);
  EXPECT_EQ(automatic.UtcNow(), 5u);
  EXPECT_EQ(automatic.Monotonic(), 1500ms);
}

TEST(Log, FormattedRecordsAreCutAtCharactersNotBytes) {
  LogCapture capture;
  Log("value=%d", 42);
  LogText("\n The socket 10540 is binded\n\n");
  // 2047 ASCII characters then multi-byte ones: the cut falls after the first 'é'.
  const std::string longText = std::string(2047, 'x') + "\xC3\xA9\xC3\xA9";
  Log("%s", longText.c_str());
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "value=42");
  EXPECT_EQ(records[1], "\n The socket 10540 is binded\n\n");
  EXPECT_EQ(records[2], std::string(2047, 'x') + "\xC3\xA9");
  EXPECT_TRUE(capture.HasInOrder({"value=42", "\n The socket 10540 is binded\n\n"}));
  EXPECT_FALSE(capture.HasInOrder({"\n The socket 10540 is binded\n\n", "value=42"}));
}

TEST(Log, RecordsOfManyThreadsStayWhole) {
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        Log("thread %d record %d", t, i);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(capture.Records().size(), 800u);
  EXPECT_EQ(capture.CountOf("thread 3 record 199"), 1u);
}

}  // namespace
}  // namespace vidra

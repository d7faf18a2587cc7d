#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/Clock.h"
#include "common/Log.h"
#include "common/Metrics.h"
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

TEST(Log, ABatchHandsOnItsRecordsWholeAndInOrderWhenFlushedBigOrEnded) {
  LogCapture capture;
  std::atomic<int> stage{0};
  const auto waitFor = [&stage](int wanted) {
    while (stage != wanted) {
      std::this_thread::yield();
    }
  };
  const std::string big(LogBatch::kFlushBytes / 2, 'b');
  std::thread batching([&] {
    LogBatch batch;
    LogText("first");
    Log("second %d", 2);
    LogText("third\n");
    stage = 1;
    waitFor(2);
    FlushLogBatch();
    LogText("after the flush");
    // Past kFlushBytes the batch goes on by itself, each record still whole.
    LogText(big);
    LogText(big);
    stage = 3;
    waitFor(4);
    LogText("last");
  });
  waitFor(1);
  LogText("from another thread");  // logged at once: it has no batch
  EXPECT_EQ(capture.Records(), std::vector<std::string>{"from another thread"})
      << "records of a batch wait for its flush";
  stage = 2;
  waitFor(3);
  EXPECT_TRUE(capture.HasInOrder(
      {"from another thread", "first", "second 2", "third\n", "after the flush", big, big}));
  EXPECT_EQ(capture.CountOf("last"), 0u);
  stage = 4;
  batching.join();
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 8u);
  EXPECT_EQ(records.back(), "last") << "the batch's end hands on what it holds";
}

// On standard error (a child process's, read by the death test) a batch's records come out
// one per line, a newline added where a record has none, as records logged one by one do.
TEST(LogDeathTest, ABatchWritesItsRecordsToStandardErrorLineByLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LogText("alone");
        {
          LogBatch batch;
          LogText("first");
          Log("second %d", 2);
          LogText("third\n");
          LogText("");
        }
        LogText("after");
        FlushLog();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "^alone\nfirst\nsecond 2\nthird\n\nafter\n$");
}

TEST(Metrics, CountsOfManyThreadsAddUpExactly) {
  Metrics metrics;
  std::vector<std::thread> threads;
  for (int t = 0; t < 24; ++t) {
    threads.emplace_back([&metrics, t] {
      for (int i = 0; i < 1000; ++i) {
        metrics.Add("vidra_messages_received_total", "type=\"heartbeat\"");
        metrics.Add("vidra_answers_total", t % 2 == 0 ? "status=\"OK\"" : "status=\"NACK\"", 2);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(metrics.Value("vidra_messages_received_total", "type=\"heartbeat\""), 24000u);
  EXPECT_EQ(metrics.Value("vidra_answers_total", "status=\"OK\""), 24000u);
  EXPECT_EQ(metrics.Value("vidra_answers_total", "status=\"NACK\""), 24000u);
  EXPECT_EQ(metrics.Value("vidra_answers_total"), 0u);
  const std::string page = metrics.Render();
  // One header and one sample per counter, however many threads counted it.
  EXPECT_NE(page.find("vidra_answers_total{status=\"NACK\"} 24000\n"
                      "vidra_answers_total{status=\"OK\"} 24000\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("vidra_messages_received_total{type=\"heartbeat\"} 24000\n"),
            std::string::npos);
  std::size_t headers = 0;
  for (std::size_t at = page.find("# TYPE"); at != std::string::npos;
       at = page.find("# TYPE", at + 1)) {
    ++headers;
  }
  EXPECT_EQ(headers, 2u) << page;
}

}  // namespace
}  // namespace vidra

#include "transport/MessageQueue.h"

#include <gtest/gtest.h>

#include "common/Log.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

constexpr FileTime kStart = kUnixEpochFileTime + 1'800'000'000ull * kTicksPerSecond;

MessageRecord Entry(std::string text, std::int32_t client = 7) {
  MessageRecord record;
  record.clientNumber = client;
  record.text = std::move(text);
  record.direction = kDirectionReceived;
  return record;
}

class Journal : public ::testing::Test {
 protected:
  void AppendStamped(std::string text) {
    MessageRecord record = Entry(std::move(text));
    record.time = clock.UtcNow();
    queue.Append(std::move(record));
  }
  std::string TextOf(std::int64_t n) {
    MessageRecord record;
    EXPECT_EQ(queue.GetByNumber(n, record), HResult::S_OK);
    return record.text;
  }

  ManualClock clock{kStart};
  MessageQueue queue{clock};
};

TEST_F(Journal, UnusableBeforeInitAndAfterRelease) {
  MessageRecord out;
  EXPECT_FALSE(queue.IsInitialized());
  EXPECT_EQ(queue.Count(), 0u);
  AppendStamped("<mos/>");
  EXPECT_EQ(queue.Count(), 0u) << "an append before Init keeps nothing";
  EXPECT_EQ(queue.GetByNumber(0, out), HResult::E_FAIL);
  queue.Init();
  AppendStamped("<mos/>");
  EXPECT_EQ(queue.Count(), 1u);
  queue.Release();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.GetByNumber(0, out), HResult::E_FAIL);
  EXPECT_EQ(queue.GetLastTime(), 0u);
}

TEST_F(Journal, SweepDropsFromTheOldestAndRenumbers) {
  queue.Init();
  for (int i = 0; i < 8; ++i) {
    AppendStamped("entry " + std::to_string(i));
    clock.Advance(10min);
  }
  // Entries 0..7 are now 80, 70, ... 10 minutes old.
  EXPECT_EQ(queue.Count(), 6u) << "appends already dropped the two over an hour old";
  clock.Advance(25min);  // ages now 105 .. 35 min: five more are an hour old
  EXPECT_EQ(TextOf(5), "entry 7");
  EXPECT_EQ(queue.Sweep(), 3u);
  EXPECT_EQ(queue.Count(), 3u);
  EXPECT_EQ(TextOf(0), "entry 5");
  EXPECT_EQ(TextOf(2), "entry 7") << "number 5 became number 5 - 3";
  MessageRecord out;
  EXPECT_EQ(queue.GetByNumber(3, out), HResult::E_FAIL);
  EXPECT_EQ(queue.GetByNumber(-1, out), HResult::E_FAIL);
  EXPECT_EQ(queue.GetLastTime(), kStart + 70 * 60 * kTicksPerSecond);
  EXPECT_EQ(queue.Sweep(), 0u);
}

TEST_F(Journal, AnHourOldIsGoneAndFutureStampsCountAsOld) {
  queue.Init();
  AppendStamped("first");
  clock.Advance(59min + 59s);
  EXPECT_EQ(queue.Sweep(), 0u);
  clock.Advance(1s);
  EXPECT_EQ(queue.Sweep(), 1u) << "exactly one hour old leaves";

  AppendStamped("before the clock went back");
  clock.SetUtc(kStart);  // set back by more than an hour
  EXPECT_EQ(queue.Sweep(), 1u);
  EXPECT_EQ(queue.Count(), 0u);
}

TEST_F(Journal, TextCapDropsOldestWithOneLogLinePerBurst) {
  LogCapture capture;
  queue.Init(1000);
  for (int i = 0; i < 10; ++i) {
    AppendStamped(std::string(100, static_cast<char>('a' + i)));
  }
  EXPECT_EQ(queue.Count(), 10u);
  EXPECT_EQ(queue.TextBytes(), 1000u);
  AppendStamped(std::string(250, 'k'));  // 1250 bytes: three oldest must go
  EXPECT_EQ(queue.Count(), 8u);
  EXPECT_EQ(queue.TextBytes(), 950u);
  EXPECT_EQ(TextOf(0)[0], 'd');
  AppendStamped(std::string(100, 'l'));  // still over: the burst goes on, no new line
  const std::string line =
      "VIDRA - mesQ holds more than 1000 bytes of text, the oldest entries are dropped";
  EXPECT_EQ(capture.CountOf(line), 1u);
  queue.Sweep();
  AppendStamped("x");  // 951 + 1: fits, the burst ends
  AppendStamped(std::string(500, 'm'));
  EXPECT_EQ(capture.CountOf(line), 2u);
  EXPECT_LE(queue.TextBytes(), 1000u);

  AppendStamped(std::string(5000, 'z'));  // alone over the cap: kept, as the newest
  EXPECT_EQ(queue.Count(), 1u);
  EXPECT_EQ(TextOf(0).size(), 5000u);
}

TEST_F(Journal, EntriesKeepEveryField) {
  queue.Init();
  MessageRecord record = Entry("<mos><heartbeat/></mos>", 3);
  record.direction = kDirectionSent;
  record.encodingType = EncodingType::HighByteFirst;
  record.time = kStart - 12345;
  queue.Append(record);
  MessageRecord out;
  ASSERT_EQ(queue.GetByNumber(0, out), HResult::S_OK);
  EXPECT_EQ(out.clientNumber, 3);
  EXPECT_EQ(out.text, record.text);
  EXPECT_EQ(out.direction, kDirectionSent);
  EXPECT_EQ(out.encodingType, EncodingType::HighByteFirst);
  EXPECT_EQ(out.time, kStart - 12345);
}

}  // namespace
}  // namespace vidra

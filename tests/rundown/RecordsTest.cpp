// Items, stories and running orders as values: copy rules, status words, timing, schedule
// and the roEdStart text.
#include <gtest/gtest.h>

#include "rundown/Ro.h"
#include "tests/rundown/RundownBuilders.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using test::MakeItem;
using test::MakeStory;

TEST(Records, TriggerTextsMapExactly) {
  EXPECT_EQ(ParseTriggerMode("MANUAL"), MANUAL);
  EXPECT_EQ(ParseTriggerMode("TIMED"), TIMED);
  EXPECT_EQ(ParseTriggerMode("timed"), CHAINED) << "case-sensitive";
  EXPECT_EQ(ParseTriggerMode("CHAINED"), CHAINED);
  EXPECT_EQ(ParseTriggerMode(""), CHAINED);
  EXPECT_EQ(ParseTriggerMode(MosText()), CHAINED);
  ro r;
  EXPECT_EQ(r.trigger, CHAINED) << "a running order without roTrigger";
  r.trigger = TIMED;
  r.roTrigger = "TIMED";
  EXPECT_FALSE(r.TimedStartUsed());
  r.ConsumeTimedStart();
  EXPECT_EQ(r.trigger, MANUAL);
  EXPECT_EQ(r.roTrigger, "TIMED") << "the NRCS's word, as roList gives it back";
  EXPECT_TRUE(r.TimedStartUsed());
  r.roTrigger = "CHAINED";
  r.trigger = CHAINED;
  r.ConsumeTimedStart();
  EXPECT_EQ(r.roTrigger, "CHAINED");
}

TEST(Records, TheLastItemThatWentToAirCountsEveryItemBeforeIt) {
  const auto r = test::MakeRo("R", {"A", "B"});
  EXPECT_EQ(r->LastAired(), -1);
  std::vector<item*> items;
  for (story& s : r->stories) {
    for (item& i : s.items) {
      items.push_back(&i);
    }
  }
  ASSERT_GE(items.size(), 2u);
  items[0]->state = READY;
  items[1]->state = DONE;
  EXPECT_EQ(r->LastAired(), 1);
  items.back()->state = NOT_READY;
  EXPECT_EQ(r->LastAired(), 1) << "a NOT READY item after it is still to come";
}

TEST(Records, StatusWordsAndTheStopOfAPlayedItem) {
  item i;
  const std::pair<std::int32_t, const char*> words[] = {
      {NEW, "NEW"},   {NOT_READY, "NOT READY"}, {READY, "READY"}, {CUE, "CUE"},
      {PLAY, "PLAY"}, {PAUSE, "PAUSE"},         {DONE, "DONE"},   {42, "READY"}};
  for (const auto& [code, word] : words) {
    i.SetState(code);
    EXPECT_STREQ(i.StateWord(), word) << code;
  }
  i.SetState(READY);
  EXPECT_EQ(i.SetStateTime(0xFFFFFFFFull), 0xFFFFFFFFull);
  EXPECT_STREQ(i.StateWord(), "READY") << "only the upper half marks a played item";
  i.SetStateTime(0x0022D0100022D010ull);
  EXPECT_STREQ(i.StateWord(), "STOP");
  i.SetState(7);
  EXPECT_STREQ(i.StateWord(), "STOP");
  i.SetState(CUE);
  EXPECT_STREQ(i.StateWord(), "CUE");
}

TEST(Records, CopiesLeaveOutWhatTheCheckComputes) {
  item original = MakeItem("I1");
  original.paths.objPath = "clip.mxf";
  original.markIn = 1.5;
  original.playDuration = 8.0;
  original.playDurationTicks = 80'000'000;
  original.state = READY;
  original.stateTime = 77;
  const item copy(original);
  EXPECT_FALSE(copy.markIn.has_value());
  EXPECT_FALSE(copy.playDuration.has_value());
  EXPECT_EQ(copy.playDurationTicks, 80'000'000u);
  EXPECT_EQ(copy.paths.objPath, "clip.mxf");
  EXPECT_EQ(copy.state, READY);
  EXPECT_EQ(copy.stateTime, 77u);
  item assigned = MakeItem("other");
  assigned.markIn = 3.0;
  assigned = original;
  EXPECT_EQ(assigned.itemID, "I1");
  EXPECT_EQ(assigned.markIn, 3.0) << "an assigned item keeps its own mark-in";
  EXPECT_FALSE(assigned.playDuration.has_value());

  story s = MakeStory("S");
  s.duration = 5;
  s.startTime = 6;
  s.state = READY;
  const story copied(s);
  EXPECT_EQ(copied.duration, 5u);
  EXPECT_EQ(copied.startTime, 6u);
  story target = MakeStory("T", 1);
  target.duration = 1;
  target.startTime = 2;
  target = s;
  EXPECT_EQ(target.storyID, "S");
  EXPECT_EQ(target.items.size(), 2u);
  EXPECT_EQ(target.state, READY);
  EXPECT_EQ(target.duration, 1u) << "assignment keeps the schedule's duration";
  EXPECT_EQ(target.startTime, 2u);
}

TEST(Records, TimingClampsAndRoundsAsStationsExpect) {
  item i;
  i.ComputeTiming(250, 25.0);  // 10 s of media, nothing asked: all of it
  EXPECT_DOUBLE_EQ(*i.markIn, 0.0);
  EXPECT_DOUBLE_EQ(*i.playDuration, 10.0);
  EXPECT_EQ(i.playDurationTicks, 100'000'000u);

  i.itemEdStart = "300";  // 12 s: past the end
  i.ComputeTiming(250, 25.0);
  EXPECT_DOUBLE_EQ(*i.markIn, 10.0 - 0.01);
  EXPECT_DOUBLE_EQ(*i.playDuration, 0.0);

  i.itemEdStart = "50";  // 2 s in, a duration over the end is cut to it
  i.itemUserTimingDur = "500";
  i.ComputeTiming(250, 25.0);
  EXPECT_DOUBLE_EQ(*i.markIn, 2.0);
  EXPECT_DOUBLE_EQ(*i.playDuration, 8.0);
  EXPECT_EQ(i.playDurationTicks, 80'000'000u);

  for (const char* slowBase : {"0", "0.1", ""}) {
    i.objTB = slowBase;  // not above 0.1: the playout rate converts the frame counts
    i.itemUserTimingDur = "0";
    i.ComputeTiming(250, 25.0);
    EXPECT_DOUBLE_EQ(*i.markIn, 2.0) << slowBase;
    EXPECT_DOUBLE_EQ(*i.playDuration, 8.0) << "a zero duration plays to the end";
  }
  i.objTB = "50";
  i.ComputeTiming(250, 25.0);
  EXPECT_DOUBLE_EQ(*i.markIn, 1.0) << "objTB converts the item's frames";

  item rounded;
  rounded.itemUserTimingDur = "100";
  rounded.ComputeTiming(1000, 29.97);
  EXPECT_DOUBLE_EQ(*rounded.playDuration, 100 / 29.97);
  EXPECT_EQ(rounded.playDurationTicks, 33'366'700u);

  item noMedia;
  noMedia.ComputeTiming(0, 25.0);
  EXPECT_DOUBLE_EQ(*noMedia.markIn, -0.01);
  EXPECT_DOUBLE_EQ(*noMedia.playDuration, 0.0);
  EXPECT_EQ(noMedia.playDurationTicks, 0u);

  item hostile;
  hostile.itemEdStart = "-99999999999999999999";
  hostile.itemUserTimingDur = "junk";
  hostile.ComputeTiming(2'000'000'000, 25.0);
  EXPECT_EQ(hostile.playDurationTicks, static_cast<std::uint64_t>(INT32_MAX) * 10'000'000 / 25)
      << "frame counts saturate instead of overflowing";
  hostile.ComputeTiming(100, 0.0);
  EXPECT_EQ(hostile.playDurationTicks, 0u) << "no rate, no time";
}

TEST(Records, ScheduleChainsStoriesAndItemsAndWraps) {
  ro r;
  r.startTime = 1'000;
  r.stories = {MakeStory("A", 2), MakeStory("B", 0), MakeStory("C", 1)};
  r.stories[0].items[0].playDurationTicks = 100;
  r.stories[0].items[1].playDurationTicks = 50;
  r.stories[2].items[0].playDurationTicks = 30;
  r.RecomputeSchedule();
  EXPECT_EQ(r.stories[0].startTime, 1'000u);
  EXPECT_EQ(r.stories[0].items[1].startTime, 1'100u);
  EXPECT_EQ(r.stories[0].duration, 150u);
  EXPECT_EQ(r.stories[1].startTime, 1'150u);
  EXPECT_EQ(r.stories[1].duration, 0u) << "a story without items";
  EXPECT_EQ(r.stories[2].startTime, 1'150u) << "the next story starts at the same time";
  EXPECT_EQ(r.stories[2].items[0].startTime, 1'150u);
  EXPECT_EQ(r.totalDuration, 180u);

  r.stories[2].items[0].playDurationTicks = UINT64_MAX;  // wraps, as unsigned sums do
  r.RecomputeSchedule();
  EXPECT_EQ(r.totalDuration, 149u);

  ro empty;
  empty.totalDuration = 9;
  empty.RecomputeSchedule();
  EXPECT_EQ(empty.totalDuration, 0u);
}

TEST(Records, EditorialStartIsReadAsWritten) {
  ro r;
  r.SetEdStart(ParseEdStart("2026-12-06T19:22:29"));
  FileTime expected = 0;
  CalendarTime date{2026, 12, 0, 6, 19, 22, 29, 0};
  ASSERT_TRUE(FromCalendar(date, expected));
  EXPECT_EQ(r.startTime, expected);
  EXPECT_EQ(r.edStart, date);
  EXPECT_EQ(ParseEdStart("20261206T192229"), date) << "separators are optional";
  EXPECT_EQ(ParseEdStart("2026-12-06T19:22:29 local"), date) << "what is no zone is ignored";
  CalendarTime withMs = date;
  withMs.milliseconds = 500;
  EXPECT_EQ(ParseEdStart("2026-12-06T19:22:29.5"), withMs);
  EXPECT_EQ(ParseEdStart("2026-12-06T19:22:29,500"), withMs) << "a comma as NRCS libraries write";
  EXPECT_EQ(ParseEdStart("2026-12-06T19:22:29,5009"), withMs);
  const CalendarTime shortFields{2026, 1, 0, 2, 3, 4, 5, 0};
  EXPECT_EQ(ParseEdStart("2026-1-2T3:4:5"), shortFields);

  for (const char* invalid : {"", "2026-13-01T00:00:00", "2026-00-10", "2026-02-30T10:00:00",
                              "2026-12-06T25:00:00", "garbage", "2026/12/06"}) {
    r.startTime = 5;
    r.SetEdStart(ParseEdStart(invalid));
    EXPECT_EQ(r.startTime, 0u) << invalid;
  }
}

// A written zone is converted to the station's time; a time without one is taken as written.
TEST(Records, ZonedTimesBecomeLocal) {
  const auto at = [](std::uint16_t day, std::uint16_t hour, std::uint16_t minute) {
    return CalendarTime{2026, 12, 0, day, hour, minute, 0, 0};
  };
  {
    test::ScopedTimeZone east("<+01>-1");  // one hour east of UTC
    EXPECT_EQ(ParseEdStart("2026-12-07T21:00:00,000Z"), at(7, 22, 0));
    EXPECT_EQ(ParseEdStart("2026-12-07T21:00:00+03:00"), at(7, 19, 0));
    EXPECT_EQ(ParseEdStart("2026-12-07T21:00:00-0130"), at(7, 23, 30));
    EXPECT_EQ(ParseEdStart("2026-12-07T23:30:00-02"), at(8, 2, 30)) << "past midnight";
    EXPECT_EQ(ParseEdStart("2026-12-07T21:00:00"), at(7, 21, 0));
    EXPECT_EQ(ParseEdStart("2026-12-07T21:00:00+3"), at(7, 21, 0)) << "not a zone";
  }
  {
    test::ScopedTimeZone west("<-05>5");
    EXPECT_EQ(ParseEdStart("2026-12-07T21:00:00.250Z"),
              (CalendarTime{2026, 12, 0, 7, 16, 0, 0, 250}));
    EXPECT_EQ(ParseEdStart("2026-12-07T21:00:00"), at(7, 21, 0));
  }
  test::ScopedTimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(ParseEdStart("2026-07-01T12:00:00Z"), (CalendarTime{2026, 7, 0, 1, 14, 0, 0, 0}))
      << "daylight saving";
  ro r;
  r.SetEdStart(ParseEdStart("2026-02-30T12:00:00Z"));
  EXPECT_EQ(r.startTime, 0u) << "no calendar date, zone or not";
}

}  // namespace
}  // namespace vidra

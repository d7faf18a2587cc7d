// Times and lengths as the page, the API and vidractl write them, and the on-air lines of
// vidractl from the API's view.
#include "host/ShowTimes.h"

#include <gtest/gtest.h>

#include "host/OnAirText.h"

namespace vidra {
namespace {

constexpr std::int64_t kSecond = static_cast<std::int64_t>(kTicksPerSecond);

TEST(ShowTimes, LengthsCountdownsAndStationTimes) {
  EXPECT_EQ(FormatTimecode(0, 25), "00:00:00:00");
  EXPECT_EQ(FormatTimecode(5 * kSecond + kSecond / 2, 25), "00:00:05:12");
  EXPECT_EQ(FormatTimecode(3725 * kSecond + kSecond * 24 / 25, 25), "01:02:05:24");
  EXPECT_EQ(FormatTimecode(-kSecond / 25, 25), "-00:00:00:01");
  EXPECT_EQ(FormatTimecode(kSecond - 1, 29.97), "00:00:00:29") << "never frame 30 at 29.97";
  EXPECT_EQ(FormatCountdown(42 * kSecond), "0:42");
  EXPECT_EQ(FormatCountdown(41 * kSecond + 1), "0:42") << "up: 0:00 only when it is time";
  EXPECT_EQ(FormatCountdown(0), "0:00");
  EXPECT_EQ(FormatCountdown(3600 * kSecond + 61 * kSecond), "1:01:01");
  EXPECT_EQ(FormatCountdown(-5 * kSecond), "-0:05");

  const FileTime utc = kUnixEpochFileTime + 1'800'000'000ull * kTicksPerSecond;  // 08:00:00Z
  EXPECT_EQ(OffsetSeconds(utc + 3600 * kTicksPerSecond + 7, utc), 3600) << "to the minute";
  EXPECT_EQ(OffsetSeconds(utc - 19'800 * kTicksPerSecond, utc), -19'800);
  EXPECT_EQ(FormatStationTime(utc - 19'800 * kTicksPerSecond, -19'800),
            "2027-01-15T02:30:00.000-05:30");
  EXPECT_EQ(FormatOffset(0), "+00:00");
  const ShowTimes times{utc + 3600 * kTicksPerSecond, utc, 3600, 25.0};
  EXPECT_EQ(times.At(times.local), "2027-01-15T09:00:00.000+01:00");
  EXPECT_EQ(times.FromUtc(utc), "2027-01-15T09:00:00.000+01:00");
  EXPECT_TRUE(times.At(0).is_null());
  EXPECT_EQ(times.Clock(times.local), "09:00:00");
}

TEST(ShowTimes, PlannedLengthsOfRunningOrders) {
  EXPECT_EQ(ParseEdDur("00:30:00", 25), 1800u * kTicksPerSecond);
  EXPECT_EQ(ParseEdDur("1:02:03", 25), 3723u * kTicksPerSecond);
  EXPECT_EQ(ParseEdDur("02:03", 25), 123u * kTicksPerSecond) << "minutes and seconds";
  EXPECT_EQ(ParseEdDur("00:00:05.5", 25), 55u * kTicksPerSecond / 10);
  EXPECT_EQ(ParseEdDur("00:00:05:12", 25), 5u * kTicksPerSecond + 12u * kTicksPerSecond / 25);
  for (const char* bad : {"", "5", "00:61:00", "00:00:60", "00:00:05:25", "a:b:c", "00:00:05 ",
                          "-1:00:00", "00:00:05.5x", "1:2:3:4:5", "99999999999:00:00"}) {
    EXPECT_FALSE(ParseEdDur(bad, 25).has_value()) << bad;
  }
}

TEST(ShowTimes, TheOnAirLinesSayWhatPlaysWhatIsNextAndWhatATimedStartWillCut) {
  const nlohmann::json view = nlohmann::json::parse(R"({
    "now": "2027-01-15T09:00:05.000+01:00", "zone": "+01:00", "state": "Active",
    "phase": "serving", "badge": {"text": "NRCS OK", "level": "ok"},
    "alarms": [{"kind": "media", "level": "alarm", "text": "NEWS RO1 S2/1: file missing: x"}],
    "channels": [{"name": "NEWS", "frameRate": 25.0,
      "onAir": {"roID": "RO1", "storyID": "S4", "itemID": "1", "itemSlug": "Fire", "paused": false,
                "durationSeconds": 30.0, "elapsedSeconds": 24.5,
                "ends": "2027-01-15T09:00:10.500+01:00"},
      "next": {"storyID": "S5", "itemID": "1", "itemSlug": "", "state": "NOT READY",
               "ready": false, "expectedStart": "2027-01-15T09:00:10.500+01:00"},
      "timedStart": {"warning": "LATE-2200 starts in 0:42 and cuts S4 with 5.5 s left",
                     "at": "2027-01-15T09:00:05.000+01:00"},
      "runningOrders": [{"roID": "RO1", "trigger": "TIMED", "timedStartUsed": true,
        "plannedSeconds": 60, "playedSeconds": 24.5, "remainingSeconds": 5.5,
        "estimatedEnd": "2027-01-15T09:00:10.500+01:00", "overUnderSeconds": -1.2}]},
      {"name": "SPORT", "frameRate": 25.0, "onAir": null, "next": null, "timedStart": null,
       "runningOrders": []}]})");
  EXPECT_EQ(OnAirText(view),
            "09:00:05 +01:00  Active, serving, link NRCS OK\n"
            "  ! NEWS RO1 S2/1: file missing: x\n"
            "NEWS\n"
            "  ON AIR S4/1 \u201cFire\u201d of RO1  00:00:24:12 of 00:00:30:00, 0:06 left, ends "
            "09:00:10\n"
            "  NEXT   S5/1 NOT READY (NOT READY TO PLAY) at 09:00:10\n"
            "  TIMED  LATE-2200 starts in 0:42 and cuts S4 with 5.5 s left (at 09:00:05)\n"
            "  running order RO1 (TIMED, started): planned 00:01:00:00, played 00:00:24:12, "
            "remaining 00:00:05:12, ends 09:00:10, under 00:00:01:05\n"
            "SPORT\n"
            "  nothing on air\n");
  EXPECT_EQ(OnAirText(nlohmann::json::object()), "   , , link \n") << "no crash on a bare view";
}

}  // namespace
}  // namespace vidra

// Playlist files byte for byte.
#include "playout/PlaylistExport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/Log.h"
#include "common/Text.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Utf16Le(const std::string& utf8) {
  return test::Utf16Bytes(Utf8ToUtf16(utf8), false);
}

TEST(Playlist, TimecodesCountHundredths) {
  EXPECT_EQ(FormatTimecode(12.345), "00:00:12.34");
  EXPECT_EQ(FormatTimecode(3725.5), "01:02:05.50");
  EXPECT_EQ(FormatTimecode(-1.5), "00:00:01.50");
  EXPECT_EQ(FormatTimecode(4.9996), "00:00:05.00");
  EXPECT_EQ(FormatTimecode(90000), "23:00:00.00") << "only the hour is clamped";
  EXPECT_EQ(FormatTimecode(90061.25), "23:01:01.25");
  EXPECT_EQ(FormatTimecode(0), "00:00:00.00");
}

TEST(Playlist, FileHoldsEveryLineFormInUtf16WithMarkAndCrLf) {
  RoStore store;
  RoAckInfo ack;
  auto timed = std::make_unique<ro>();
  timed->roID = "R1";
  timed->roSlug =
      "Evening \xC3\xA9"
      "dition";
  timed->trigger = TIMED;
  timed->SetEdStart(CalendarTime{2026, 12, 0, 6, 12, 5, 30, 250});
  story s;
  s.storySlug = "Opener";
  item played;
  played.itemSlug = "Titles";
  played.paths.objPath = "/srv/media/titles.mxf";
  item tiny;
  tiny.paths.objPath = "/srv/media/sting.mxf";
  item unchecked;  // never checked: no mark-in, no duration
  unchecked.paths.objPath = "clip.mxf";
  s.items = {played, tiny, unchecked};
  timed->stories = {s};
  // Copies leave the computed timing unset: set it where the media check would.
  auto& items = timed->stories[0].items;
  items[0].markIn = 1.5;
  items[0].playDuration = 8.0;
  items[1].markIn = 0.0;
  items[1].playDuration = 0.0005;  // not above 0.001 s: the short form
  ASSERT_EQ(store.AddRo(std::move(timed), ack), EditResult::Ok);
  auto chained = std::make_unique<ro>();
  chained->roID = "R2";
  chained->roSlug = "Late";
  ASSERT_EQ(store.AddRo(std::move(chained), ack), EditResult::Ok);
  auto manual = std::make_unique<ro>();
  manual->roID = "R3";
  manual->trigger = MANUAL;
  manual->stories.resize(1);
  ASSERT_EQ(store.AddRo(std::move(manual), ack), EditResult::Ok);

  test::TempFile file("", "NEWS.airx");
  ASSERT_TRUE(WritePlaylistFile(file.Path(), store));
  const std::string expected =
      "<wait start=\"time active\" time=\"12:05:30.25\" preload=\"5\" title=\"Evening "
      "\xC3\xA9"
      "dition\" />\r\n"
      "<comment title=\"Story : Opener\" />\r\n"
      "<comment title=\"Item : Titles\" />\r\n"
      "<movie file=\"/srv/media/titles.mxf\" duration=\"00:00:08.00\" markin=\"00:00:01.50\" />\r\n"
      "<movie file=\"/srv/media/sting.mxf\" />\r\n"
      "<movie file=\"clip.mxf\" />\r\n"
      "<wait start=\"follow\" title=\"Late\" />\r\n"
      "<wait start=\"operator\" title=\"\" />\r\n"
      "<comment title=\"Story : \" />\r\n";
  EXPECT_EQ(ReadBytes(file.Path()), "\xFF\xFE" + Utf16Le(expected));
}

TEST(Playlist, EmptyChannelAndUnwritableFolder) {
  RoStore store;
  test::TempFile file("old contents", "SPORT.airx");
  ASSERT_TRUE(WritePlaylistFile(file.Path(), store));
  EXPECT_EQ(ReadBytes(file.Path()), "\xFF\xFE") << "replaced, only the byte-order mark";

  LogCapture log;
  EXPECT_FALSE(WritePlaylistFile("/nonexistent/folder/NEWS.airx", store));
  EXPECT_EQ(
      log.CountStartingWith("VIDRA - cannot write the playlist /nonexistent/folder/NEWS.airx: "
                            "No such file or directory"),
      1u);
}

}  // namespace
}  // namespace vidra

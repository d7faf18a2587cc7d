// Channel configuration from the settings, message routing by mosID, the notice queue and
// the playlists of several channels.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/Log.h"
#include "playout/PlayoutManager.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using Entries = std::vector<SettingsSource::Entry>;

Entries Channels(int count, const std::vector<std::pair<std::string, std::string>>& entries) {
  Entries settings{{"Devices", "out1", "virtual 25"},
                   {"Devices", "out2", "virtual"},
                   {"VIDRAServer", "ChannelCount", std::to_string(count)}};
  int n = 1;
  for (const auto& [name, player] : entries) {
    if (!name.empty()) {
      settings.push_back({"VIDRAServer", "CHANNEL_NAME" + std::to_string(n), name});
    }
    if (!player.empty()) {
      settings.push_back({"VIDRAServer", "CHANNEL_PLAYER" + std::to_string(n), player});
    }
    ++n;
  }
  return settings;
}

std::vector<std::string> Names(const ChannelSettings& read) {
  std::vector<std::string> names;
  for (const auto& channel : read.channels) {
    names.push_back(channel.channelName);
  }
  return names;
}

TEST(ChannelSettings, EntriesAreReadInOrderUpToEight) {
  std::vector<std::pair<std::string, std::string>> twelve;
  for (int i = 1; i <= 12; ++i) {
    twelve.emplace_back("C" + std::to_string(i), i % 2 == 0 ? "out2" : "out1");
  }
  ChannelSettings read;
  ASSERT_EQ(LoadSettings(MapSettings(Channels(12, twelve)), read), HResult::S_OK);
  EXPECT_EQ(Names(read),
            (std::vector<std::string>{"C1", "C2", "C3", "C4", "C5", "C6", "C7", "C8"}));
  EXPECT_EQ(read.channels[0].deviceParameter, "25");
  EXPECT_EQ(read.channels[1].playerName, "out2");
  EXPECT_EQ(read.channels[0].deviceId, read.channels[2].deviceId) << "derived from the name";
  EXPECT_NE(read.channels[0].deviceId, read.channels[1].deviceId);
  EXPECT_EQ(read.serverName, "VIDRA");
  EXPECT_TRUE(read.channels[0].playlistPath.empty()) << "no Airx, no playlists";
}

TEST(ChannelSettings, SkippedDevicesAndEntriesThatEndTheReading) {
  LogCapture log;
  ChannelSettings read;
  auto skipped = Channels(3, {{"NEWS", "out1"}, {"GONE", "OUT1"}, {"SPORT", "out2"}});
  skipped.push_back({"VIDRAServer", "Airx", "/var/lists/"});
  skipped.push_back({"VIDRAServer", "Path", "/srv/media/"});
  skipped.push_back({"VIDRAServer", "Name", "Studio 2"});
  ASSERT_EQ(LoadSettings(MapSettings(skipped, "site.ini"), read), HResult::S_OK);
  EXPECT_EQ(Names(read), (std::vector<std::string>{"NEWS", "SPORT"})) << "device names keep case";
  EXPECT_EQ(read.channels[1].playlistPath, "/var/lists/SPORT.airx");
  EXPECT_EQ(read.mediaPath, "/srv/media/");
  EXPECT_EQ(read.serverName, "Studio 2");
  EXPECT_EQ(log.CountOf("VIDRA - site.ini: [VIDRAServer] CHANNEL_PLAYER2 = 'OUT1' names no device "
                        "of [Devices]; the entry is skipped"),
            1u);

  ASSERT_EQ(
      LoadSettings(MapSettings(Channels(3, {{"NEWS", "out1"}, {"HALF", ""}, {"SPORT", "out2"}})),
                   read),
      HResult::S_OK);
  EXPECT_EQ(Names(read), (std::vector<std::string>{"NEWS"})) << "an entry without player ends it";
}

TEST(ChannelSettings, NothingToPlayOnIsRefusedWithTheValueAtFault) {
  LogCapture log;
  ChannelSettings read;
  read.serverName = "unchanged";
  EXPECT_EQ(LoadSettings(MapSettings(Channels(0, {{"NEWS", "out1"}}), "site.ini"), read),
            HResult::S_FALSE);
  EXPECT_EQ(log.CountOf("VIDRA - site.ini: [VIDRAServer] ChannelCount = '0' gives no channel"), 1u);
  EXPECT_EQ(LoadSettings(MapSettings(Channels(1, {{"NEWS", "nothing"}}), "site.ini"), read),
            HResult::S_FALSE);
  EXPECT_EQ(
      LoadSettings(MapSettings(Entries{{"VIDRAServer", "ChannelCount", "1"}}, "site.ini"), read),
      HResult::S_FALSE);
  EXPECT_EQ(log.CountOf("VIDRA - site.ini: [Devices] names no output device"), 1u);
  EXPECT_EQ(LoadSettings(MapSettings(Entries{{"Devices", "out1", "virtual"}}, "site.ini"), read),
            HResult::S_FALSE);
  EXPECT_EQ(log.CountOf("VIDRA - site.ini: there is no [VIDRAServer] section"), 1u);
  auto badBackend = Channels(1, {{"NEWS", "out1"}});
  badBackend.push_back({"Devices", "sdi", "decklink 0"});
  EXPECT_EQ(LoadSettings(MapSettings(badBackend, "site.ini"), read), HResult::E_INVALIDARG);
  EXPECT_EQ(log.CountOf("VIDRA - site.ini: [Devices] sdi = 'decklink 0': the backend must be one "
                        "of: virtual"),
            1u);
  EXPECT_EQ(read.serverName, "unchanged") << "nothing half configured";
}

TEST(PlayoutManager, RoutesByTheLastPartOfTheMosId) {
  PlayoutManager manager(std::make_shared<ManualClock>(0));
  ASSERT_EQ(manager.InitPlayout(MapSettings(Channels(2, {{"NEWS", "out1"}, {"SPORT", "out2"}}))),
            HResult::S_OK);
  EXPECT_EQ(manager.FindChannelByName("server.sport"), 1);
  EXPECT_EQ(manager.FindChannelByName("a.b.Sport"), 1);
  EXPECT_EQ(manager.FindChannelByName("SPORT"), 1);
  EXPECT_EQ(manager.FindChannelByName("server.weather"), 0);
  EXPECT_EQ(manager.FindChannelByName("sport."), 0) << "the part after the dot is empty";
  EXPECT_EQ(manager.FindChannelByName(MosText()), 0);
  EXPECT_TRUE(manager.running);
}

TEST(PlayoutManager, NoticeQueueHoldsTenAndPopsInOrder) {
  PlayoutManager manager(std::make_shared<ManualClock>(0));
  for (int i = 0; i < 10; ++i) {
    StatusNotice notice;
    notice.itemID = std::to_string(i);
    EXPECT_TRUE(manager.PushNotice(notice));
  }
  EXPECT_FALSE(manager.PushNotice(StatusNotice{})) << "an eleventh is dropped";
  EXPECT_EQ(manager.NoticeCount(), 10u);
  for (int i = 0; i < 10; ++i) {
    const auto notice = manager.PopNotice();
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->itemID, std::to_string(i));
  }
  EXPECT_FALSE(manager.PopNotice().has_value());
}

TEST(PlayoutManager, EachChannelGetsItsPlaylistEvenWhenOneFails) {
  test::TempFile folder("", "placeholder");
  const std::string airx = std::filesystem::path(folder.Path()).parent_path().string() + "/";
  auto settings = Channels(2, {{"NEWS", "out1"}, {"missing/SPORT", "out2"}});
  settings.push_back({"VIDRAServer", "Airx", airx});
  PlayoutManager manager(std::make_shared<ManualClock>(0));
  ASSERT_EQ(manager.InitPlayout(MapSettings(settings)), HResult::S_OK);
  LogCapture log;
  EXPECT_FALSE(manager.SaveSchedules());
  EXPECT_TRUE(std::filesystem::exists(airx + "NEWS.airx"));
  EXPECT_EQ(
      log.CountStartingWith("VIDRA - cannot write the playlist " + airx + "missing/SPORT.airx"),
      1u);
}

}  // namespace
}  // namespace vidra

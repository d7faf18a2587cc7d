// Channel configuration from the settings, message routing by mosID, the notice queue and
// the playlists of several channels.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/Log.h"
#include "playout/PlayoutManager.h"
#include "tests/support/FakeProbe.h"
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
  EXPECT_EQ(log.CountStartingWith("VIDRA - site.ini: [Devices] sdi = 'decklink 0': the backend "
                                  "must be one of: virtual"),
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

TEST(PlayoutManager, NoticesWaitForTheirOwnNrcsTenAtMostAndTheOldestMakesWay) {
  PlayoutManager manager(std::make_shared<ManualClock>(0));
  constexpr std::uint32_t kFirst = 0x0100007F;   // 127.0.0.1 as it stands in memory
  constexpr std::uint32_t kSecond = 0x0200007F;  // 127.0.0.2
  const auto push = [&](std::uint32_t host, const std::string& item) {
    StatusNotice notice;
    notice.host = host;
    notice.itemID = item;
    notice.status = "PLAY";
    return manager.PushNotice(notice);
  };
  LogCapture log;
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(push(kFirst, std::to_string(i)));
  }
  EXPECT_TRUE(push(kSecond, "other")) << "the limit is each host's own";
  EXPECT_TRUE(push(0, "anyone"));
  EXPECT_FALSE(push(kFirst, "10")) << "an eleventh for one host drops that host's oldest";
  EXPECT_EQ(log.CountOf("VIDRA - 10 notices wait for NRCS 127.0.0.1 already: the oldest (PLAY "
                        "of item 0) is dropped\n"),
            1u);
  EXPECT_EQ(manager.NoticeCount(kFirst), 11u) << "its ten and the one for any host";
  EXPECT_EQ(manager.NoticeCount(kSecond), 2u);
  EXPECT_EQ(manager.NoticeCount(), 12u);

  const auto second = manager.PopNotice(kSecond);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->itemID, "other") << "never another host's notice";
  std::vector<std::string> popped;
  while (const auto notice = manager.PopNotice(kFirst)) {
    popped.emplace_back(notice->itemID.Str());
  }
  const std::vector<std::string> expected = {"1", "2", "3", "4",      "5", "6",
                                             "7", "8", "9", "anyone", "10"};
  EXPECT_EQ(popped, expected) << "in the order they came, the dropped one missing";
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

namespace vidra {
namespace {

TEST(PlayoutManager, OpensPlayersChecksMediaAndStopsItsThreads) {
  auto clock = std::make_shared<ManualClock>(kUnixEpochFileTime, ManualClock::Mode::Blocking);
  PlayoutManager manager(clock, std::make_unique<test::FakeProbe>());
  const test::TempDir media;
  const std::string clip = media.Write("clip.mxf", "clip 10");
  auto settings = Channels(1, {{"NEWS", "out1"}});
  settings.push_back({"Devices", "slow", "virtual 50"});
  ASSERT_EQ(manager.InitPlayout(MapSettings(settings)), HResult::S_OK);
  EXPECT_DOUBLE_EQ(manager.frameRate, 25.0) << "channel 0's player gives the rate";
  EXPECT_NE(manager.Actions(0).anchorTime, 0u) << "anchored at init";

  auto r = std::make_unique<ro>();
  r->roID = "R";
  story s;
  item i;
  i.itemID = "1";
  i.paths.objPath = clip;
  s.items = {i};
  r->stories = {s};
  RoAckInfo ack;
  ASSERT_EQ(manager.Store(0).AddRo(std::move(r), ack), EditResult::Ok);
  const auto stored = manager.Store(0).GetRo("R");
  manager.StartPlayout();
  ASSERT_TRUE(test::WaitUntil([&] {
    clock->Advance(std::chrono::milliseconds(100));
    return stored->GetCheckState() == CheckState::Checked;
  }));
  EXPECT_EQ(stored->stories[0].items[0].state, READY);
  EXPECT_EQ(stored->stories[0].items[0].playDurationTicks, 100'000'000u);

  manager.running = false;  // a stop: the media check ends without the clock moving
  manager.WaitThreadsEnd();
  manager.StartPlayout();  // after a stop nothing starts again
  manager.WaitThreadsEnd();
}

TEST(PlayoutManager, APlayerThatCannotOpenFailsInit) {
  LogCapture log;
  PlayoutManager manager(std::make_shared<ManualClock>(0));
  Entries settings{{"Devices", "out1", "virtual fast"},
                   {"VIDRAServer", "ChannelCount", "1"},
                   {"VIDRAServer", "CHANNEL_NAME1", "NEWS"},
                   {"VIDRAServer", "CHANNEL_PLAYER1", "out1"}};
  EXPECT_EQ(manager.InitPlayout(MapSettings(settings, "site.ini")), HResult::E_INVALIDARG);
  EXPECT_EQ(log.CountOf("VIDRA - site.ini: [Devices] out1: the virtual player takes a frame rate "
                        "above 0 and up to 1000, not 'fast'"),
            1u);
  EXPECT_EQ(manager.ChannelCount(), 0u) << "nothing half configured";
  EXPECT_FALSE(manager.running);
}

}  // namespace
}  // namespace vidra

// The on-air picture of a serving server on a manual clock an hour ahead of UTC: what plays
// and how far, what is next, a timed start and what it will cut, the totals, the alarms as
// they come and go, and the NRCS link as it is lost and back.
#include "host/OnAirView.h"

#include <gtest/gtest.h>

#include "common/Text.h"
#include "host/StatusView.h"
#include "tests/host/ServerFixture.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct NrcsPort {
  TestListener listener;
};

std::string Item(const std::string& story, const std::string& slug, const std::string& file) {
  return "<story><storyID>" + story + "</storyID><storySlug>" + slug +
         "</storySlug><item><itemID>1" + "</itemID><itemSlug>" + slug + "</itemSlug><objID>" +
         file + "</objID><mosID>VIDRA</mosID><objPaths><objPath>" + file +
         "</objPath></objPaths></item></story>";
}

class OnAir : public NrcsPort, public ServerTest {
 protected:
  OnAir()
      : ServerTest({},
                   "NrcsUpperPort = " + std::to_string(listener.Port()) +
                       "\n[VIDRAServer]\nPath = " VIDRA_SOURCE_DATA
                       "/media/\n[State]\nResyncOnConnect = no\n",
                   ManualClock::Mode::Blocking, std::chrono::hours(1)) {}
  void SetUp() override {
    InitAndStart();
    ASSERT_TRUE(nrcs.Connect(Upper()));
    ASSERT_TRUE(listener.Accept(notices));
  }
  std::string Ask(const std::string& body) {
    const std::u16string message = u"<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>" +
                                   Utf8ToUtf16(std::to_string(++messageID)) + u"</messageID>" +
                                   Utf8ToUtf16(body) + u"</mos>";
    EXPECT_TRUE(nrcs.Send(Utf16Bytes(message, true)));
    return Utf16ToUtf8(nrcs.ReceiveMessage(true));
  }
  json Channel() { return OnAirView(Control())["channels"][0]; }
  json RunningOrder(const json& channel, const std::string& roID) {
    for (const json& r : channel["runningOrders"]) {
      if (r["roID"] == roID) {
        return r;
      }
    }
    ADD_FAILURE() << "no running order " << roID;
    return json();
  }
  static bool HasAlarm(const json& view, const std::string& kind, const std::string& part) {
    for (const json& alarm : view["alarms"]) {
      if (alarm["kind"] == kind &&
          alarm["text"].get<std::string>().find(part) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  // Runs the clock (the server's threads with it) to the given second after the test's start.
  void At(double seconds) { RunClockTo(kTestStart + static_cast<FileTime>(seconds * 1e7)); }

  TestPeer nrcs;
  TestPeer notices;
  int messageID = 100;
};

TEST_F(OnAir, TheItemOnAirTheNextATimedStartThatCutsItTotalsAlarmsAndTheLink) {
  // Local time is UTC + 1 h: the test starts at 09:00:00 station time.
  ASSERT_NE(Ask("<roCreate><roID>RO1</roID><roSlug>Evening</roSlug><roEdStart>2027-01-15T09:00:05"
                "</roEdStart><roEdDur>00:00:05</roEdDur>" +
                Item("S1", "Opener", "opener.wav") + Item("S2", "Gone", "missing.wav") +
                Item("S3", "Sting", "sting.wav") + "</roCreate>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  ASSERT_NE(Ask("<roCreate><roID>LATE</roID><roEdStart>2027-01-15T09:00:05.500</roEdStart>"
                "<roTrigger>TIMED</roTrigger>" +
                Item("L1", "Late news", "opener.wav") + "</roCreate>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  At(4.0);  // the media check has been through both
  json view = OnAirView(Control());
  EXPECT_EQ(view["zone"], "+01:00");
  EXPECT_EQ(view["now"], "2027-01-15T09:00:04.000+01:00");
  EXPECT_EQ(view["badge"]["text"], "NRCS OK");
  EXPECT_TRUE(HasAlarm(view, "media", "NEWS RO1 S2/1 \u201cGone\u201d: file missing: "))
      << view["alarms"].dump();
  EXPECT_FALSE(HasAlarm(view, "link", ""));

  ASSERT_NE(Ask("<roCtrl><roID>RO1</roID><storyID>S1</storyID><itemID>1</itemID><command>EXECUTE"
                "</command></roCtrl>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  At(5.0);
  view = OnAirView(Control());
  json channel = view["channels"][0];
  const json& onAir = channel["onAir"];
  ASSERT_TRUE(onAir.is_object()) << channel.dump();
  const std::string start = onAir["started"];
  ASSERT_EQ(start.rfind("2027-01-15T09:00:04.", 0), 0u) << start;
  const double late = std::stod(start.substr(17, 6)) - 4.0;  // how long after 09:00:04
  ASSERT_LT(late, 0.3);
  EXPECT_EQ(start.substr(23), "+01:00");
  EXPECT_EQ(onAir["itemSlug"], "Opener");
  EXPECT_EQ(onAir["storySlug"], "Opener");
  EXPECT_DOUBLE_EQ(onAir["durationSeconds"].get<double>(), 2.0);
  EXPECT_NEAR(onAir["elapsedSeconds"].get<double>(), 1.0 - late, 0.01);
  EXPECT_NEAR(onAir["remainingSeconds"].get<double>(), 1.0 + late, 0.01);
  EXPECT_EQ(channel["next"]["storyID"], "S2");
  EXPECT_EQ(channel["next"]["state"], "NOT READY");
  EXPECT_FALSE(channel["next"]["ready"].get<bool>());
  // LATE starts at 05.5, the opener runs to 06.0 and a little.
  const json& timed = channel["timedStart"];
  EXPECT_EQ(timed["roID"], "LATE");
  EXPECT_EQ(timed["at"], "2027-01-15T09:00:05.500+01:00");
  EXPECT_EQ(timed["countdown"], "0:01");
  ASSERT_TRUE(timed["clash"].is_object()) << timed.dump();
  EXPECT_EQ(timed["clash"]["storyID"], "S1");
  EXPECT_NEAR(timed["clash"]["secondsLeft"].get<double>(), 0.5 + late, 0.01);
  EXPECT_EQ(timed["warning"].get<std::string>().rfind("LATE starts in 0:01 and cuts S1 with 0.", 0),
            0u)
      << timed.dump();
  EXPECT_TRUE(HasAlarm(view, "cut", "NEWS: LATE starts in 0:01 and cuts S1"));
  const json totals = RunningOrder(channel, "RO1");
  EXPECT_EQ(totals["plannedFrom"], "roEdDur");
  EXPECT_DOUBLE_EQ(totals["plannedSeconds"].get<double>(), 5.0);
  EXPECT_NEAR(totals["playedSeconds"].get<double>(), 1.0 - late, 0.01);
  EXPECT_NEAR(totals["remainingSeconds"].get<double>(), 1.0 + late + 1.0, 0.01)
      << "the opener's rest and the sting: the missing item will not play";
  EXPECT_EQ(totals["plannedEnd"], "2027-01-15T09:00:10.000+01:00");
  EXPECT_NEAR(totals["overUnderSeconds"].get<double>(), -(3.0 - late), 0.01) << "ends at 07.0";
  EXPECT_EQ(RunningOrder(channel, "LATE")["trigger"], "TIMED");
  EXPECT_FALSE(RunningOrder(channel, "LATE")["timedStartUsed"].get<bool>());

  // The timed start has come: LATE plays, the opener was cut, LATE still reads TIMED.
  At(6.5);
  view = OnAirView(Control());
  channel = view["channels"][0];
  EXPECT_EQ(channel["onAir"]["roID"], "LATE");
  EXPECT_TRUE(channel["timedStart"].is_null());
  EXPECT_EQ(RunningOrder(channel, "LATE")["trigger"], "TIMED");
  EXPECT_TRUE(RunningOrder(channel, "LATE")["timedStartUsed"].get<bool>());
  const json rundown = ChannelsView(Control())["channels"][0]["runningOrders"];
  const json& opener = rundown[0]["stories"][0]["items"][0];
  EXPECT_EQ(opener["state"], "DONE");
  ASSERT_TRUE(opener["cut"].is_object()) << opener.dump();
  EXPECT_NEAR(opener["cut"]["secondsLeft"].get<double>(), 0.5 + late, 0.01);
  EXPECT_EQ(opener["cut"]["at"], "2027-01-15T09:00:05.500+01:00");
  EXPECT_TRUE(HasAlarm(view, "cut", "NEWS RO1 S1/1 \u201cOpener\u201d was cut at 09:00:05 with "))
      << view["alarms"].dump();
  EXPECT_FALSE(rundown[0]["stories"][1]["items"][0]["skipped"].get<bool>()) << "not reached";

  // The opener again once LATE is over: the sequence passes over the missing item.
  At(8.0);
  ASSERT_NE(Ask("<roCtrl><roID>RO1</roID><storyID>S1</storyID><itemID>1</itemID><command>EXECUTE"
                "</command></roCtrl>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  At(10.5);
  view = OnAirView(Control());
  EXPECT_EQ(view["channels"][0]["onAir"]["storyID"], "S3") << view["channels"][0].dump();
  EXPECT_TRUE(HasAlarm(view, "skipped", "NEWS RO1 S2/1 \u201cGone\u201d was skipped"));
  const auto skipped = [&] {
    return ChannelsView(
               Control())["channels"][0]["runningOrders"][0]["stories"][1]["items"][0]["skipped"]
        .get<bool>();
  };
  EXPECT_TRUE(skipped());
  At(12.0);  // the show is over: the skip is history, still marked in the rundown
  view = OnAirView(Control());
  EXPECT_TRUE(view["channels"][0]["onAir"].is_null());
  EXPECT_FALSE(HasAlarm(view, "skipped", ""));
  EXPECT_TRUE(skipped());

  // The NRCS goes: the badge and an alarm say so, and both go when it is back.
  nrcs.Close();
  ASSERT_TRUE(WaitUntil([&] { return OnAirView(Control())["badge"]["text"] == "NRCS LOST"; }));
  view = OnAirView(Control());
  EXPECT_EQ(view["badge"]["level"], "alarm");
  EXPECT_TRUE(HasAlarm(view, "link", "NRCS 127.0.0.1 is not connected"));
  const json link = view["links"][0];
  EXPECT_EQ(link["host"], "127.0.0.1");
  EXPECT_FALSE(link["connected"].get<bool>());
  EXPECT_GE(link["lastMessageAgeSeconds"].get<double>(), 0.0);
  ASSERT_TRUE(nrcs.Connect(Upper()));
  ASSERT_TRUE(WaitUntil([&] { return OnAirView(Control())["badge"]["text"] == "NRCS OK"; }));
  EXPECT_FALSE(HasAlarm(OnAirView(Control()), "link", ""));
}

TEST_F(OnAir, TheChannelsViewAnswersUnchangedUntilSomethingItShowsChanges) {
  json first = ChannelsView(Control());
  const std::string version = first["version"];
  EXPECT_FALSE(first["unchanged"].get<bool>());
  json again = ChannelsView(Control(), version);
  EXPECT_TRUE(again["unchanged"].get<bool>());
  EXPECT_FALSE(again.contains("channels")) << "nothing is built for a page that has it";
  ASSERT_NE(Ask("<roCreate><roID>R</roID>" + Item("S", "&lt;b&gt;bold&lt;/b&gt;", "sting.wav") +
                "</roCreate>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  const json changed = ChannelsView(Control(), version);
  EXPECT_FALSE(changed["unchanged"].get<bool>());
  EXPECT_EQ(changed["channels"][0]["runningOrders"][0]["stories"][0]["items"][0]["itemSlug"],
            "<b>bold</b>")
      << "text as sent: the page writes it as text";
  At(3.0);  // the media check has been through it
  const json outline = ChannelsView(Control(), "", true)["channels"][0]["runningOrders"][0];
  EXPECT_TRUE(outline["stories"].is_null()) << "an outline: each running order's version only";
  const std::string before = outline["version"];
  const std::string channelsBefore = ChannelsView(Control())["version"];
  EXPECT_TRUE(ChannelsView(Control(), channelsBefore)["unchanged"].get<bool>());
  ASSERT_NE(Ask("<roReadyToAir><roID>R</roID><roAir>READY</roAir></roReadyToAir>")
                .find("<roStatus>OK</roStatus>"),
            std::string::npos);
  EXPECT_FALSE(ChannelsView(Control(), channelsBefore)["unchanged"].get<bool>());
  const auto detail = RunningOrderView(Control(), 0, "R");
  ASSERT_TRUE(detail.has_value());
  EXPECT_NE((*detail)["version"], before);
  EXPECT_EQ((*detail)["version"],
            ChannelsView(Control(), "", true)["channels"][0]["runningOrders"][0]["version"]);
  EXPECT_EQ((*detail)["readyToAir"], "READY");
  EXPECT_EQ((*detail)["stories"][0]["items"][0]["state"], "READY");
  EXPECT_FALSE(RunningOrderView(Control(), 0, "NONE").has_value());
  EXPECT_FALSE(RunningOrderView(Control(), 7, "R").has_value()) << "no such channel";
}

}  // namespace
}  // namespace vidra::test

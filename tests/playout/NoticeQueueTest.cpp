// The queues of status notices that wait for the NRCS: play states first, then media
// states; a media state replaces the waiting one of the same item; a notice handed over
// from one NRCS of a pair to the other goes first.
#include <gtest/gtest.h>

#include "playout/PlayoutManager.h"
#include "tests/support/TestSupport.h"

namespace vidra::test {
namespace {

StatusNotice Of(const char* roID, const char* storyID, const char* itemID, const char* status,
                std::uint32_t host = 0) {
  StatusNotice notice;
  notice.roID = roID;
  notice.storyID = storyID;
  notice.itemID = itemID;
  notice.status = status;
  notice.host = host;
  return notice;
}

std::string Popped(PlayoutManager& manager, std::uint32_t host = 0) {
  const std::optional<StatusNotice> notice = manager.PopNotice(host);
  return notice ? std::string(notice->roID.Str()) + "/" + std::string(notice->storyID.Str()) + "/" +
                      std::string(notice->itemID.Str()) + " " + std::string(notice->status.Str())
                : "none";
}

TEST(NoticeQueue, MediaStatesReplaceTheirItemsAndPlayStatesGoFirst) {
  PlayoutManager manager(std::make_shared<ManualClock>(kUnixEpochFileTime));
  EXPECT_TRUE(manager.PushMediaNotice(Of("RO1", "A", "BC", "NOT READY")));
  EXPECT_TRUE(manager.PushMediaNotice(Of("RO1", "AB", "C", "NOT READY")))
      << "IDs that run together are other items";
  EXPECT_TRUE(manager.PushMediaNotice(Of("RO1", "S", "1", "NOT READY")));
  EXPECT_TRUE(manager.PushMediaNotice(Of("RO1", "A", "BC", "READY")));
  EXPECT_TRUE(manager.PushNotice(Of("RO1", "S", "2", "PLAY")));
  EXPECT_EQ(manager.NoticeCount(), 4u);
  EXPECT_EQ(Popped(manager), "RO1/S/2 PLAY");
  EXPECT_EQ(Popped(manager), "RO1/A/BC READY") << "in the place of the state it replaced";
  EXPECT_EQ(Popped(manager), "RO1/AB/C NOT READY");
  // Once sent, a state of the same item is news again.
  EXPECT_TRUE(manager.PushMediaNotice(Of("RO1", "A", "BC", "NOT READY")));
  EXPECT_EQ(Popped(manager), "RO1/S/1 NOT READY");
  EXPECT_EQ(Popped(manager), "RO1/A/BC NOT READY");
  EXPECT_EQ(Popped(manager), "none");

  // Full: a new item's state is dropped and counted; a waiting item's still replaces.
  for (std::size_t k = 0; k < PlayoutManager::kMediaNoticeLimit; ++k) {
    ASSERT_TRUE(manager.PushMediaNotice(Of("RO2", "S", std::to_string(k).c_str(), "READY")));
  }
  EXPECT_FALSE(manager.PushMediaNotice(Of("RO2", "T", "1", "READY")));
  EXPECT_EQ(manager.Drops().count, 1u);
  EXPECT_TRUE(manager.PushMediaNotice(Of("RO2", "S", "7", "NOT READY")));
  EXPECT_EQ(manager.NoticeCount(), PlayoutManager::kMediaNoticeLimit);
  for (std::size_t k = 0; k < PlayoutManager::kMediaNoticeLimit; ++k) {
    ASSERT_EQ(Popped(manager), "RO2/S/" + std::to_string(k) + (k == 7 ? " NOT READY" : " READY"));
  }
}

TEST(NoticeQueue, EachHostTakesItsOwnAndAHandedOverNoticeGoesFirst) {
  PlayoutManager manager(std::make_shared<ManualClock>(kUnixEpochFileTime));
  EXPECT_TRUE(manager.PushNotice(Of("RO1", "S", "1", "PLAY", 1)));
  EXPECT_TRUE(manager.PushNotice(Of("RO2", "S", "1", "PLAY", 2)));
  EXPECT_TRUE(manager.PushMediaNotice(Of("RO2", "S", "2", "READY", 2)));
  EXPECT_TRUE(manager.PushNotice(Of("RO0", "S", "1", "STOP")));  // its NRCS is not known
  EXPECT_EQ(manager.NoticeCount(2), 3u);
  EXPECT_EQ(Popped(manager, 2), "RO2/S/1 PLAY");
  manager.HandOver(Of("RO1", "S", "0", "STOP", 1));
  EXPECT_EQ(manager.NoticeCount([](std::uint32_t host) { return host == 1; }), 2u);
  EXPECT_EQ(Popped(manager, 1), "RO1/S/0 STOP");
  EXPECT_EQ(Popped(manager, 1), "RO1/S/1 PLAY");
  EXPECT_EQ(Popped(manager, 1), "RO0/S/1 STOP") << "any host takes a notice of no host";
  EXPECT_EQ(Popped(manager, 1), "none");
  EXPECT_EQ(Popped(manager, 2), "RO2/S/2 READY");
}

}  // namespace
}  // namespace vidra::test

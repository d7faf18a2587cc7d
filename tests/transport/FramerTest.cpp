#include "transport/Framer.h"

#include <gtest/gtest.h>

namespace vidra {
namespace {

std::vector<std::u16string> Drain(Framer& framer) {
  std::vector<std::u16string> messages;
  std::u16string message;
  while (framer.Next(message) == FrameResult::Complete) {
    messages.push_back(message);
  }
  return messages;
}

TEST(Framer, CutsWholeMessagesAndDropsWhatComesBefore) {
  Framer framer;
  framer.Append(u"<?xml version=\"1.0\"?> junk <mos><a/></mos><MOS><b/></Mos>tail<mo");
  EXPECT_EQ(Drain(framer), (std::vector<std::u16string>{u"<mos><a/></mos>", u"<MOS><b/></Mos>"}));
  EXPECT_EQ(framer.Pending(), 4u) << "the last four characters may begin a start tag";
  framer.Append(u"s><c/></mos>");
  EXPECT_EQ(Drain(framer), (std::vector<std::u16string>{u"<mos><c/></mos>"}));
  EXPECT_EQ(framer.Pending(), 0u);
}

TEST(Framer, OnlyTheBareTagsCountAndTheFirstCloseEnds) {
  Framer framer;
  framer.Append(u"<mos version=\"2\"><x/></mos>");
  std::u16string message;
  EXPECT_EQ(framer.Next(message), FrameResult::NeedMore) << "a start tag with attributes";
  framer.Append(u"<mos><mos>inner</mos>rest</mos>");
  EXPECT_EQ(framer.Next(message), FrameResult::Complete);
  EXPECT_EQ(message, u"<mos><mos>inner</mos>") << "no nesting count";
}

TEST(Framer, MessagesInManyPiecesAndTheLimit) {
  Framer framer;
  std::u16string message;
  framer.Append(u"<mos><roCreate>");
  EXPECT_EQ(framer.Next(message), FrameResult::NeedMore);
  framer.Append(u"<roID>1</roID></ro");
  EXPECT_EQ(framer.Next(message), FrameResult::NeedMore);
  framer.Append(u"Create></m");
  EXPECT_EQ(framer.Next(message), FrameResult::NeedMore);
  framer.Append(u"os>");
  EXPECT_EQ(framer.Next(message), FrameResult::Complete);
  EXPECT_EQ(message, u"<mos><roCreate><roID>1</roID></roCreate></mos>");

  Framer bounded(100);
  bounded.Append(u"<mos>" + std::u16string(200, u'x'));
  EXPECT_EQ(bounded.Next(message), FrameResult::Overflow);
  EXPECT_EQ(bounded.Pending(), 0u);
  bounded.Append(u"<mos>fresh</mos>");
  EXPECT_EQ(bounded.Next(message), FrameResult::Complete) << "framing starts afresh";
  EXPECT_EQ(message, u"<mos>fresh</mos>");

  Framer noise;
  for (int i = 0; i < 1000; ++i) {
    noise.Append(u"garbage without any tag ");
    EXPECT_EQ(noise.Next(message), FrameResult::NeedMore);
  }
  EXPECT_EQ(noise.Pending(), 4u) << "noise does not pile up";
}

}  // namespace
}  // namespace vidra

// The connection pipeline on its own: streams of several messages cut at every byte, in both
// byte orders and in UTF-8; what stands between messages; the bound of a message; the
// classification's log lines.
#include "transport/Pipeline.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/Log.h"
#include "common/Text.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

enum class Wire { High, Low, Utf8 };

std::string Bytes(const std::u16string& text, Wire wire) {
  return wire == Wire::Utf8 ? Utf16ToUtf8(text) : test::Utf16Bytes(text, wire == Wire::High);
}

std::vector<std::u16string> Drain(MessagePipeline& pipeline) {
  std::vector<std::u16string> out;
  std::u16string message;
  for (;;) {
    const FrameResult result = pipeline.Next(message);
    if (result == FrameResult::NeedMore) {
      return out;
    }
    if (result == FrameResult::Complete) {
      out.push_back(message);
    }
  }
}

// The stream in two receives, the first of its first cut bytes: all the messages framed.
std::vector<std::u16string> InTwoReceives(MessagePipeline& pipeline, const std::string& stream,
                                          std::size_t cut) {
  pipeline.Append(stream.substr(0, cut));
  std::vector<std::u16string> got = Drain(pipeline);
  pipeline.Append(stream.substr(cut));
  for (auto& m : Drain(pipeline)) {
    got.push_back(m);
  }
  return got;
}

const std::vector<std::u16string> kMessages = {
    u"<mos><mosID>K\u00F6ln</mosID><heartbeat/></mos>",
    u"<MOS><mosID>\u65E5\u672C</mosID><roReq><roID>R\U0001F3A5</roID></roReq></MOS>",
    u"<mos><mosID>V</mosID><heartbeat/></mos>"};

TEST(Pipeline, AStreamCutAtEveryByteGivesTheSameMessages) {
  for (const Wire wire : {Wire::High, Wire::Low, Wire::Utf8}) {
    std::string stream;
    for (const auto& m : kMessages) {
      stream += Bytes(m, wire) + Bytes(u"\r\n", wire);
    }
    // In two receives cut at every offset.
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      LogCapture quiet;
      MessagePipeline pipeline;
      ASSERT_EQ(InTwoReceives(pipeline, stream, cut), kMessages)
          << "wire " << static_cast<int>(wire) << " cut " << cut;
      EXPECT_TRUE(quiet.Records().empty()) << "blank lines between messages are no garbage: "
                                           << testing::PrintToString(quiet.Records());
      EXPECT_EQ(pipeline.Order(), wire == Wire::High  ? EncodingType::HighByteFirst
                                  : wire == Wire::Low ? EncodingType::LowByteFirst
                                                      : EncodingType::SingleByte);
    }
    // One byte per receive.
    MessagePipeline pipeline;
    std::vector<std::u16string> got;
    for (const char byte : stream) {
      pipeline.Append(std::string_view(&byte, 1));
      for (auto& m : Drain(pipeline)) {
        got.push_back(m);
      }
    }
    EXPECT_EQ(got, kMessages);
    EXPECT_EQ(pipeline.Pending(), wire == Wire::Utf8 ? 2u : 4u) << "only the blank tail waits";
  }
}

// Each receive fills all the room it is offered, as a socket with plenty queued would.
TEST(Pipeline, ABigMessageComesInBigReceivesAndSmallOnesKeepTheSmallRoom) {
  std::u16string big = u"<mos><roCreate>";
  while (big.size() < 350'000) {
    big += u"<story><storyID>S\u00E9</storyID></story>";
  }
  big += u"</roCreate></mos>";
  const std::u16string small = u"<mos><heartbeat/></mos>";
  const std::string stream = Bytes(big, Wire::High) + Bytes(small, Wire::High);
  LogCapture quiet;
  MessagePipeline pipeline;
  std::vector<std::size_t> rooms;
  std::vector<std::u16string> got;
  for (std::size_t at = 0; at < stream.size();) {
    std::uint8_t* space = pipeline.ReceiveSpace();
    rooms.push_back(pipeline.RoomSize());
    const std::size_t n = std::min(pipeline.RoomSize(), stream.size() - at);
    std::memcpy(space, stream.data() + at, n);
    pipeline.Commit(n);
    at += n;
    for (auto& m : Drain(pipeline)) {
      got.push_back(m);
    }
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0] == big) << "the big message is whole and exact";
  EXPECT_EQ(got[1], small);
  // 700 KB: one ordinary receive opens the message, three big ones bring the rest.
  EXPECT_EQ(rooms, (std::vector<std::size_t>{
                       MessagePipeline::kReceiveBytes, MessagePipeline::kBigReceiveBytes,
                       MessagePipeline::kBigReceiveBytes, MessagePipeline::kBigReceiveBytes}));
  pipeline.ReceiveSpace();
  EXPECT_EQ(pipeline.RoomSize(), MessagePipeline::kReceiveBytes) << "no message is open";
  pipeline.Commit(0);
}

TEST(Pipeline, WhatStandsBetweenMessagesIsSkippedAndNeverTakesAMessageAlong) {
  for (const Wire wire : {Wire::High, Wire::Low}) {
    const std::u16string beat = kMessages[2];
    std::string stream = std::string(2, '\0') + Bytes(beat, wire) + Bytes(beat, wire);  // zero unit
    stream += Bytes(u"garbage", wire) + Bytes(beat, wire);
    stream += Bytes(u"</mos>", wire) + Bytes(beat, wire);              // a lone closing tag
    stream += Bytes(u"<mos><mosID>cut sh", wire) + Bytes(beat, wire);  // half a message
    std::u16string surrogate(1, static_cast<char16_t>(0xD83C));        // half a surrogate pair
    stream += Bytes(surrogate, wire) + Bytes(beat, wire);
    stream += std::string(3, '\x7F') + Bytes(beat, wire);  // an odd number of bytes
    LogCapture log;
    MessagePipeline pipeline;
    pipeline.Append(stream);
    const auto got = Drain(pipeline);
    EXPECT_EQ(got, std::vector<std::u16string>(7, beat));
    EXPECT_EQ(log.CountOf("VIDRA - 2 bytes that are no MOS message are skipped\n"), 2u)
        << "the zero unit and the half surrogate pair";
    EXPECT_EQ(log.CountOf("VIDRA - 14 bytes that are no MOS message are skipped\n"), 1u);
    EXPECT_EQ(log.CountOf("VIDRA - 12 bytes that are no MOS message are skipped\n"), 1u);
    EXPECT_EQ(log.CountOf("VIDRA - 36 bytes that are no MOS message are skipped\n"), 1u);
    EXPECT_EQ(log.CountOf("VIDRA - 3 bytes that are no MOS message are skipped\n"), 1u);
  }
}

// 16-bit text is searched for tags many units at a time. The closing tag must be found at
// every place it can stand, in any case, at an even or odd offset of the stream, whole or
// cut between receives; tags that resemble it and characters with a '<', '/', 'm' or 'o'
// byte must not end a message early.
TEST(Pipeline, TheClosingTagIsFoundWhereverItStandsInALongMessage) {
  const std::u16string lookalikes =
      u"\u3C2F\u2F3C\u6D3C\u3C6D\u3C00\u6F6D<mosID></mosID><mosAbstract>&lt;/mos&gt;</mo</mosX>"
      u"<mo s></ mos>";
  const std::u16string beat = kMessages[2];
  for (const Wire wire : {Wire::High, Wire::Low}) {
    for (std::size_t stray = 0; stray < 2; ++stray) {
      for (std::size_t pad = 0; pad < 24; ++pad) {
        const std::u16string first = u"<mos><mosID>" + std::u16string(pad, u'x') + lookalikes +
                                     u"</mosID><heartbeat/></MoS>";
        const std::u16string second =
            u"<mOS>" + std::u16string(40 - pad, u'y') + u"<heartbeat/></mos>";
        const std::vector<std::u16string> want = {beat, first, second};
        // The first message decides the byte order; a stray byte puts the next at an odd
        // offset.
        const std::string stream = Bytes(beat, wire) + std::string(stray, '\x7F') +
                                   Bytes(first, wire) + Bytes(second, wire);
        LogCapture quiet;
        MessagePipeline whole;
        whole.Append(stream);
        ASSERT_EQ(Drain(whole), want) << "wire " << static_cast<int>(wire) << " pad " << pad;
        if (pad % 7 != 3) {
          continue;
        }
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
          MessagePipeline pipeline;
          ASSERT_EQ(InTwoReceives(pipeline, stream, cut), want)
              << "wire " << static_cast<int>(wire) << " cut " << cut;
        }
      }
    }
  }
}

TEST(Pipeline, ATagNeverClosedIsDroppedAtTheBoundAndTheNextMessageComes) {
  LogCapture quiet;
  MessagePipeline pipeline(1000);
  std::u16string message;
  pipeline.Append(test::Utf16Bytes(u"<mos>" + std::u16string(600, u'x'), true));
  EXPECT_EQ(pipeline.Next(message), FrameResult::NeedMore);
  pipeline.Append(test::Utf16Bytes(std::u16string(600, u'y'), true));
  EXPECT_EQ(pipeline.Next(message), FrameResult::Overflow);
  EXPECT_LT(pipeline.Pending(), 20u) << "what was dropped is not kept";
  pipeline.Append(test::Utf16Bytes(kMessages[2], true));
  EXPECT_EQ(pipeline.Next(message), FrameResult::Complete);
  EXPECT_EQ(message, kMessages[2]);
  // Garbage without any start tag is not kept either.
  pipeline.Append(std::string(100'000, 'z'));
  EXPECT_EQ(pipeline.Next(message), FrameResult::NeedMore);
  EXPECT_LT(pipeline.Pending(), 20u);
}

TEST(Pipeline, TheFirstPairsAreCountedAsAlwaysAndEightBitTextIsUtf8OrLatin1) {
  std::u16string ambiguous = kMessages[2];
  ambiguous.replace(12, 1, u"\u0101");  // a unit with two non-zero bytes among the first 14
  for (const bool high : {true, false}) {
    LogCapture log;
    MessagePipeline pipeline;
    pipeline.Append(test::Utf16Bytes(ambiguous, high));
    EXPECT_EQ(Drain(pipeline), std::vector<std::u16string>{ambiguous}) << "the tag decides";
    EXPECT_EQ(log.CountOf(high ? "Can't define bytes order in input message and type of encoding: "
                                 "BE=0, LE=13, ANSI=1. Use default encoding BE.\n"
                               : "Can't define bytes order in input message and type of encoding: "
                                 "BE=13, LE=0, ANSI=1. Use default encoding BE.\n"),
              1u);
  }
  MessagePipeline latin1;
  latin1.Append("<mos><mosID>K\xF6ln</mosID></mos>");
  EXPECT_EQ(Drain(latin1), std::vector<std::u16string>{u"<mos><mosID>K\u00F6ln</mosID></mos>"});
  // The start of the newest receive, for the log, in the connection's encoding.
  MessagePipeline logged;
  logged.Append(test::Utf16Bytes(kMessages[0], false));
  EXPECT_EQ(logged.LastReceived(8), u"<mos><mo");
  Drain(logged);
  logged.Append(test::Utf16Bytes(kMessages[2], false).substr(0, 7));
  EXPECT_EQ(logged.LastReceived(100), u"<mo");
}

}  // namespace
}  // namespace vidra

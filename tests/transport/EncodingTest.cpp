#include "transport/Encoding.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/Log.h"
#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

TextArea AreaOf(const std::string& bytes) {
  TextArea area;
  std::memcpy(area.bytes.data(), bytes.data(), std::min(bytes.size(), TextArea::kReceiveBytes));
  return area;
}

const std::u16string kHeartbeat = u"<mos><mosID>VIDRA</mosID><heartbeat/></mos>";

TEST(Encoding, BothByteOrdersBecomeTheMachinesText) {
  LogCapture capture;
  for (const bool highFirst : {true, false}) {
    TextArea area = AreaOf(test::Utf16Bytes(kHeartbeat, highFirst));
    ClassifyEncoding(area);
    EXPECT_EQ(area.encodingType,
              highFirst ? EncodingType::HighByteFirst : EncodingType::LowByteFirst);
    ConvertEncoding(area, EncodingType::LowByteFirst);
    EXPECT_EQ(area.previousType,
              highFirst ? EncodingType::HighByteFirst : EncodingType::LowByteFirst);
    EXPECT_EQ(area.encodingType, EncodingType::LowByteFirst);
    EXPECT_EQ(area.Text(), kHeartbeat);
  }
  EXPECT_TRUE(capture.Records().empty()) << "clean text logs no fallback";
}

TEST(Encoding, MixedPairsFallBackToLowByteFirstWithCounts) {
  std::u16string text = kHeartbeat;
  text[3] = 0x0101;  // both bytes non-zero
  {
    LogCapture capture;
    TextArea area = AreaOf(test::Utf16Bytes(text, false));
    ClassifyEncoding(area);
    EXPECT_EQ(area.encodingType, EncodingType::LowByteFirst);
    EXPECT_EQ(capture.CountOf("Can't define bytes order in input message and type of encoding: "
                              "BE=13, LE=0, ANSI=1. Use default encoding BE.\n"),
              1u);
  }
  {
    LogCapture capture;
    TextArea area = AreaOf(test::Utf16Bytes(text, true));
    ClassifyEncoding(area);
    EXPECT_EQ(area.encodingType, EncodingType::LowByteFirst);
    EXPECT_EQ(capture.CountOf("Can't define bytes order in input message and type of encoding: "
                              "BE=0, LE=13, ANSI=1. Use default encoding BE.\n"),
              1u);
  }
}

TEST(Encoding, ShortAndEmptyReceivesAndSingleByteText) {
  LogCapture capture;
  TextArea empty;
  ClassifyEncoding(empty);
  EXPECT_EQ(empty.encodingType, EncodingType::SingleByte);

  // Eight bytes of big-endian text followed by zeros: mixed, so taken low byte first.
  TextArea shortArea = AreaOf(test::Utf16Bytes(u"mos>", true));
  ClassifyEncoding(shortArea);
  EXPECT_EQ(shortArea.encodingType, EncodingType::LowByteFirst);
  EXPECT_EQ(capture.Records().size(), 1u);

  TextArea utf8 = AreaOf("<mos><mosID>K\xC3\xB6ln 1</mosID></mos>");
  ClassifyEncoding(utf8);
  // 'ö' is two non-zero bytes like the rest: all 14 pairs count as single-byte.
  ASSERT_EQ(utf8.encodingType, EncodingType::SingleByte);
  ConvertEncoding(utf8, EncodingType::LowByteFirst);
  EXPECT_EQ(utf8.Text(), u"<mos><mosID>K\u00F6ln 1</mosID></mos>");

  TextArea latin1 = AreaOf("<mos><mosID>K\xF6ln 1</mosID></mos>");
  ClassifyEncoding(latin1);
  ConvertEncoding(latin1, EncodingType::LowByteFirst);
  EXPECT_EQ(latin1.Text(), u"<mos><mosID>K\u00F6ln 1</mosID></mos>");
}

TEST(Encoding, TextEndsAtTheFirstZeroUnitAndConvertsBack) {
  std::string bytes = test::Utf16Bytes(u"<mos>abc</mos>", true);
  bytes += std::string(2, '\0');
  bytes += test::Utf16Bytes(u"ignored", true);
  TextArea area = AreaOf(bytes);
  ClassifyEncoding(area);
  ConvertEncoding(area, EncodingType::LowByteFirst);
  EXPECT_EQ(area.Text(), u"<mos>abc</mos>");
  ConvertEncoding(area, EncodingType::HighByteFirst);
  EXPECT_EQ(std::memcmp(area.bytes.data(), bytes.data(), 28), 0);
  ConvertEncoding(area, EncodingType::SingleByte);
  EXPECT_STREQ(reinterpret_cast<const char*>(area.bytes.data()), "<mos>abc</mos>");
}

}  // namespace
}  // namespace vidra

namespace vidra {
namespace {

TEST(Encoding, NoticesGoHighByteFirstWhateverTheirText) {
  LogCapture capture;
  EncodingType classified = EncodingType::Undetermined;
  const std::u16string notice = u"<mos><mosID>VIDRA</mosID></mos>";
  EXPECT_EQ(ConvertNotice(notice, classified), test::Utf16Bytes(notice, true));
  EXPECT_EQ(classified, EncodingType::LowByteFirst);
  EXPECT_TRUE(capture.Records().empty());

  const std::u16string mixed = u"<mos><mosID>\u0101</mosID></mos>";
  EXPECT_EQ(ConvertNotice(mixed, classified), test::Utf16Bytes(mixed, true));
  EXPECT_EQ(capture.CountOf("Can't define bytes order in resp message and type of encoding: "
                            "BE=13, LE=0, ANSI=1. Use default encoding BE.\n"),
            1u);
  const std::u16string cyrillic(20, u'\u0416');
  EXPECT_EQ(ConvertNotice(cyrillic, classified), test::Utf16Bytes(cyrillic, true));
  EXPECT_EQ(classified, EncodingType::SingleByte) << "counted as such, still sent as 16-bit";

  EXPECT_EQ(ConvertAnswer(EncodingType::LowByteFirst, u"<mos/>"),
            test::Utf16Bytes(u"<mos/>", false));
  EXPECT_EQ(ConvertAnswer(EncodingType::SingleByte, u"K\u00F6ln"), "K\xC3\xB6ln");
  const std::u16string large(100'000, u'x');  // far beyond one receive area
  EXPECT_EQ(ConvertAnswer(EncodingType::HighByteFirst, large).size(), 200'000u);
  EXPECT_EQ(ConvertAnswer(EncodingType::Undetermined, u"ab"), test::Utf16Bytes(u"ab", false));
  EXPECT_EQ(capture.CountOf("\nVIDRA - Can't transform to init message type\n"), 1u);
}

}  // namespace
}  // namespace vidra

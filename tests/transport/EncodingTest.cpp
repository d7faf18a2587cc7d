#include "transport/Encoding.h"

#include <gtest/gtest.h>

#include "common/Log.h"
#include "tests/support/TestSupport.h"

// Answers and notices as wire bytes; what comes in is the pipeline's (PipelineTest).
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
  std::u16string large(100'000, u'x');  // far beyond one receive area
  large[77'777] = u'\u0416';
  large.back() = u'\uFF01';
  EXPECT_EQ(ConvertAnswer(EncodingType::HighByteFirst, large), test::Utf16Bytes(large, true));
  EXPECT_EQ(ConvertAnswer(EncodingType::LowByteFirst, large), test::Utf16Bytes(large, false));
  EXPECT_EQ(ConvertAnswer(EncodingType::Undetermined, u"ab"), test::Utf16Bytes(u"ab", false));
  EXPECT_EQ(capture.CountOf("\nVIDRA - Can't transform to init message type\n"), 1u);

  // A connection's reused buffer: after a big answer, a small one is exactly its own bytes,
  // whichever order each goes in.
  std::string wire;
  ConvertAnswerInto(EncodingType::HighByteFirst, large, wire);
  EXPECT_EQ(wire, test::Utf16Bytes(large, true));
  ConvertAnswerInto(EncodingType::LowByteFirst, u"<mos/>", wire);
  EXPECT_EQ(wire, test::Utf16Bytes(u"<mos/>", false));
  ConvertAnswerInto(EncodingType::HighByteFirst, large, wire);
  ConvertAnswerInto(EncodingType::SingleByte, u"K\u00F6ln", wire);
  EXPECT_EQ(wire, "K\xC3\xB6ln");
  ConvertAnswerInto(EncodingType::HighByteFirst, u"", wire);
  EXPECT_TRUE(wire.empty());
}

}  // namespace
}  // namespace vidra

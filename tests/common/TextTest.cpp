#include "common/Text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/HResult.h"
#include "common/MosText.h"

namespace vidra {
namespace {

TEST(Text, TranscodesEveryPlaneBothWays) {
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAC";  // A é € 🎬
  const std::u16string utf16 = u"A\u00E9\u20AC\U0001F3AC";
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_EQ(CountCharacters(utf8), 4u);
  EXPECT_TRUE(IsValidUtf8(utf8));
}

// ASCII goes sixteen units at a time: a character beyond ASCII at every place of the first
// blocks, and the reused buffer of a longer text before, must give exactly the character
// by character result.
TEST(Text, ConversionIsExactWhereverTheFirstNonAsciiCharacterStands) {
  std::string reused(200, '#');
  for (std::size_t at = 0; at < 40; ++at) {
    std::u16string text(40, u'a');
    text[at] = u'\u00E9';
    std::string expected(at, 'a');
    expected += "\xC3\xA9" + std::string(39 - at, 'a');
    EXPECT_EQ(Utf16ToUtf8(text), expected) << at;
    Utf16ToUtf8Into(text, reused);
    EXPECT_EQ(reused, expected) << at;
  }
  // Runs of ASCII of every length between characters of two, three and four bytes, so that
  // blocks of sixteen start and end everywhere, both ways.
  std::mt19937 random(7);
  std::u16string mixed;
  std::string mixedUtf8;
  for (int piece = 0; piece < 3000; ++piece) {
    const auto run = static_cast<std::size_t>(random() % 40);
    mixed.append(run, u'q');
    mixedUtf8.append(run, 'q');
    switch (random() % 3) {
      case 0:
        mixed += u'\u00E9';
        mixedUtf8 += "\xC3\xA9";
        break;
      case 1:
        mixed += u'\u0416';
        mixedUtf8 += "\xD0\x96";
        break;
      default:
        mixed += u"\U0001F3AC";
        mixedUtf8 += "\xF0\x9F\x8E\xAC";
    }
  }
  EXPECT_EQ(Utf16ToUtf8(mixed), mixedUtf8);
  EXPECT_EQ(Utf8ToUtf16(mixedUtf8), mixed);
  // A pair split by a block's end is still one character; a lone half is a replacement.
  std::u16string split(15, u'a');
  split += u"\U0001F3AC";
  split += std::u16string(15, u'b');
  split += static_cast<char16_t>(0xD800);
  split += std::u16string(16, u'c');
  EXPECT_EQ(Utf16ToUtf8(split), std::string(15, 'a') + "\xF0\x9F\x8E\xAC" + std::string(15, 'b') +
                                    "\xEF\xBF\xBD" + std::string(16, 'c'));
  Utf16ToUtf8Into(std::u16string(33, u'z'), reused);
  EXPECT_EQ(reused, std::string(33, 'z'));
  Utf16ToUtf8Into(u"", reused);
  EXPECT_EQ(reused, "");
}

// A block is ASCII only if every bit above the lowest seven is clear, in either byte of a
// unit: units that would pass a test of the low byte or of the sign alone, at every place of
// a block, are converted as the characters they are.
TEST(Text, NoUnitBeyondAsciiPassesForAscii) {
  const std::pair<char16_t, const char*> beyond[] = {
      {u'\u0080', "\xC2\x80"},     {u'\u00FF', "\xC3\xBF"},     {u'\u0100', "\xC4\x80"},
      {u'\u0141', "\xC5\x81"},     {u'\u7F41', "\xE7\xBD\x81"}, {u'\u8041', "\xE8\x81\x81"},
      {u'\uFF41', "\xEF\xBD\x81"}, {u'\uFFFF', "\xEF\xBF\xBF"}};
  for (const auto& [unit, utf8] : beyond) {
    for (std::size_t at = 0; at < 32; ++at) {
      std::u16string text(32, u'a');
      text[at] = unit;
      const std::string expected = std::string(at, 'a') + utf8 + std::string(31 - at, 'a');
      EXPECT_EQ(Utf16ToUtf8(text), expected) << static_cast<unsigned>(unit) << " at " << at;
      EXPECT_EQ(Utf8ToUtf16(expected), text) << static_cast<unsigned>(unit) << " at " << at;
    }
  }
  // A byte with its top bit set is never taken for ASCII either: alone, it is no character.
  for (std::size_t at = 0; at < 32; ++at) {
    std::string bytes(32, 'a');
    bytes[at] = '\xC1';
    std::u16string expected(32, u'a');
    expected[at] = u'\uFFFD';
    EXPECT_EQ(Utf8ToUtf16(bytes), expected) << at;
  }
}

TEST(Text, GarbageBecomesReplacementCharacters) {
  // A lone high surrogate, a lone low surrogate, then a valid pair.
  const std::u16string broken = {0xD800, u'x', 0xDC00, 0xD83C, 0xDFAC};
  EXPECT_EQ(Utf16ToUtf8(broken), "\xEF\xBF\xBDx\xEF\xBF\xBD\xF0\x9F\x8E\xAC");
  // Stray continuation byte, overlong slash, truncated sequence, encoded surrogate.
  EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("ab\xE2\x82"), u"ab\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));
  EXPECT_FALSE(IsValidUtf8("\xFF"));
  EXPECT_TRUE(IsValidUtf8("\xEF\xBF\xBD"));  // a real replacement character is valid
}

TEST(Text, ParsesOnlyWholeNumbersInRange) {
  EXPECT_EQ(ParseUnsigned(" 10540 ", 0, 65535), 10540u);
  EXPECT_EQ(ParseUnsigned("0", 0, 65535), 0u);
  EXPECT_FALSE(ParseUnsigned("65536", 0, 65535));
  EXPECT_FALSE(ParseUnsigned("-1", 0, 65535));
  EXPECT_FALSE(ParseUnsigned("12ab", 0, 65535));
  EXPECT_FALSE(ParseUnsigned("", 0, 65535));
  EXPECT_FALSE(ParseUnsigned("5", 10, 20));
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(Trim("   "), "");
}

// Whether a field came at all decides whether it is written back: presence must survive
// every copy and assignment, and a text moved away is gone, as a field never received.
TEST(MosText, PresenceSurvivesCopiesAndAMovedTextIsAbsent) {
  const MosText absent;
  const MosText empty(std::string{});
  const MosText longText(std::string(40, 'x'));  // beyond what a string holds in place
  EXPECT_FALSE(absent.Present());
  EXPECT_TRUE(empty.Present());
  EXPECT_EQ(absent, empty);  // equal in every comparison
  EXPECT_FALSE(absent == longText);

  MosText copy = empty;
  EXPECT_TRUE(copy.Present());
  copy = absent;
  EXPECT_FALSE(copy.Present());
  copy = longText;
  EXPECT_TRUE(copy.Present());
  EXPECT_EQ(copy.Str(), std::string(40, 'x'));

  MosText moved = std::move(copy);
  EXPECT_EQ(moved.Str(), std::string(40, 'x'));
  EXPECT_FALSE(copy.Present());  // NOLINT(bugprone-use-after-move): the state after a move
  EXPECT_TRUE(copy.Str().empty());
  MosText target("short");
  target = std::move(moved);
  EXPECT_EQ(target.Str(), std::string(40, 'x'));
  EXPECT_FALSE(moved.Present());  // NOLINT(bugprone-use-after-move): the state after a move
  target = MosText();
  EXPECT_FALSE(target.Present());

  MosText reset("id");
  reset.Reset();
  EXPECT_FALSE(reset.Present());
  EXPECT_TRUE(reset.IsEmpty());
}

TEST(MosText, KeepsEveryByteAndGivesCTextEvenWhenAbsent) {
  // Log formats and C interfaces take CStr(): it must never be null, absent or not.
  EXPECT_STREQ(MosText().CStr(), "");
  EXPECT_STREQ(MosText("").CStr(), "");
  EXPECT_STREQ(MosText("Köln").CStr(), "Köln");

  // A text as the document gave it may hold a zero; its length is kept, not found again.
  const std::string withZero("a\0b\xE2\x82\xAC", 6);
  const MosText text(withZero);
  EXPECT_EQ(text.Str().size(), 6u);
  EXPECT_EQ(text.Str(), withZero);
  EXPECT_STREQ(text.CStr(), "a");
  EXPECT_FALSE(text.IsEmpty());
  EXPECT_FALSE(text == MosText("a"));

  MosText same(std::string(300, 'y'));
  const MosText& alias = same;
  same = alias;  // assigned to itself, the text stays
  EXPECT_EQ(same.Str(), std::string(300, 'y'));
  EXPECT_EQ(MosText(same.Str()), same);
}

// A short text is held in the object itself and a long one in a block of its own: both
// must come through copies, moves, assignments from one kind to the other and a list that
// grows with every byte, a zero inside included, and never share or lose their storage.
TEST(MosText, ShortAndLongTextsComeThroughCopiesMovesAndAGrowingList) {
  const std::vector<std::string> texts = {
      "", "2", "O12-3x", "1234567", std::string("a\0b", 3), "K\xC3\xB6ln", std::string(40, 'q')};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    MosText original(text);
    EXPECT_TRUE(original.Present());
    EXPECT_EQ(original.Str(), text);
    EXPECT_EQ(std::string(original.CStr()), text.substr(0, text.find('\0')));
    MosText copy(original);
    EXPECT_EQ(copy.Str(), text);
    MosText moved(std::move(copy));
    EXPECT_EQ(moved.Str(), text);
    EXPECT_FALSE(copy.Present());   // NOLINT(bugprone-use-after-move): the state after a move
    EXPECT_STREQ(copy.CStr(), "");  // NOLINT(bugprone-use-after-move)
    for (const std::string& other : texts) {
      MosText assigned(text);
      const MosText source(other);
      assigned = source;
      EXPECT_EQ(assigned.Str(), other);
      EXPECT_EQ(source.Str(), other);
      MosText taken(other);
      assigned = std::move(taken);
      EXPECT_EQ(assigned.Str(), other);
      EXPECT_FALSE(taken.Present());  // NOLINT(bugprone-use-after-move)
    }
    original.Reset();
    EXPECT_FALSE(original.Present());
    EXPECT_TRUE(original.Str().empty());
  }

  std::vector<MosText> list;
  for (int i = 0; i < 1000; ++i) {
    list.emplace_back(i % 2 == 0 ? std::to_string(i) : std::string(20, 'a') + std::to_string(i));
  }
  std::vector<MosText> copied = list;
  for (int i = 0; i < 1000; ++i) {
    const std::string want =
        i % 2 == 0 ? std::to_string(i) : std::string(20, 'a') + std::to_string(i);
    ASSERT_EQ(list[static_cast<std::size_t>(i)].Str(), want);
    ASSERT_EQ(copied[static_cast<std::size_t>(i)].Str(), want);
  }
}

TEST(HResult, CodesKeepTheirComValues) {
  EXPECT_EQ(Code(HResult::E_FAIL), 0x80004005u);
  EXPECT_EQ(Code(HResult::E_UNEXPECTED), 0x8000FFFFu);
  EXPECT_EQ(Code(HResult::E_OUTOFMEMORY), 0x8007000Eu);
  EXPECT_TRUE(Succeeded(HResult::S_FALSE));
  EXPECT_TRUE(Failed(HResult::E_ACCESSDENIED));
  EXPECT_EQ(Describe(HResult::E_INVALIDARG), "0x80070057 (E_INVALIDARG)");
  EXPECT_EQ(Describe(static_cast<HResult>(0x80040110u)), "0x80040110");
}

}  // namespace
}  // namespace vidra

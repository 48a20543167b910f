#include "engine/codepage.h"

#include <gtest/gtest.h>

namespace pstorian {
namespace {

TEST(CodepageTest, ConvertsSingleByteTextToUtf8) {
  const auto cp1252 = CodepageConverter::open(kDefaultCodepage);
  ASSERT_TRUE(cp1252.has_value());
  EXPECT_EQ(cp1252->to_utf8("Caf\xE9 \x80"), "Caf\xC3\xA9 \xE2\x82\xAC");
  // 0x81 is undefined in Windows-1252: replaced, and the rest still converted.
  EXPECT_EQ(cp1252->to_utf8("a\x81z"), "a\xEF\xBF\xBDz");
  // Embedded zero bytes are text like any other.
  EXPECT_EQ(cp1252->to_utf8(std::string_view("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(cp1252->to_utf8(""), "");

  const auto cp1251 = CodepageConverter::open("CP1251");
  ASSERT_TRUE(cp1251.has_value());
  EXPECT_EQ(cp1251->to_utf8("\xC0"), "\xD0\x90");  // Cyrillic A
  EXPECT_FALSE(CodepageConverter::open("NO-SUCH-CODEPAGE").has_value());

  // A code page whose low half is not ASCII: plain-looking bytes still go through it.
  auto ebcdic = CodepageConverter::open("IBM037");
  ASSERT_TRUE(ebcdic.has_value());
  EXPECT_EQ(ebcdic->to_utf8("\xC1\xC2"), "AB");
  EXPECT_EQ(ebcdic->to_utf8("@"), " ");  // 0x40 is the blank there
  // A moved-from converter keeps nothing, the one it went to keeps working.
  CodepageConverter moved = std::move(*ebcdic);
  EXPECT_EQ(moved.to_utf8("@"), " ");
}

TEST(CodepageTest, Utf16IsNarrowedToWindows1252) {
  const std::vector<std::uint8_t> text{'a', 0, 0xE9, 0, 0xAC, 0x20, 0x22, 0x21, 0x81, 0,
                                       0x00, 0xD8, 0x2D, 0x4E, 'z'};
  // a, e acute, the euro sign, the trade mark sign, an undefined C1 control, half a
  // surrogate pair, a CJK character, and an odd last byte that is dropped.
  EXPECT_EQ(utf16_to_windows_1252(text), "a\xE9\x80\x99???");
  EXPECT_EQ(utf16_to_windows_1252({}), "");
}

}  // namespace
}  // namespace pstorian

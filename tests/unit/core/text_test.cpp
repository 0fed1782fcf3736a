// The engine's text conversions: names from disk and titles from the user survive whatever bytes
// they hold, and a limit never splits a character.
#include <gtest/gtest.h>

#include <string>

#include "core/text.h"

namespace {

TEST(Text, ConversionsKeepEveryInputAndNeverSplitACharacter) {
  // A pair, a lone surrogate (kept as its own bytes, so two such names stay apart) and a BMP letter.
  const std::u16string wide = u"a\U0001F600\xD800z\u00E9";
  EXPECT_EQ(Text_Utf16ToUtf8(wide), "a\xF0\x9F\x98\x80\xED\xA0\x80z\xC3\xA9");
  EXPECT_EQ(Text_Utf8ToUtf16("a\xF0\x9F\x98\x80z\xC3\xA9"), u"a\U0001F600z\u00E9");
  // Not UTF-8: an overlong form, a stray continuation and a sequence cut by the end are Latin-1.
  EXPECT_EQ(Text_Utf8ToUtf16("\xC0\xAF\x80x\xE2\x82"), u"\u00C0\u00AF\x0080x\u00E2\x0082");
  // The limit: the pair that would not fit is left out whole.
  EXPECT_EQ(Text_Utf8ToUtf16("ab\xF0\x9F\x98\x80", 3), u"ab");
  EXPECT_EQ(Text_Utf8ToUtf16("ab\xF0\x9F\x98\x80", 4), u"ab\U0001F600");
  EXPECT_EQ(Text_Cp1252(0x80), u'\u20AC');
  EXPECT_EQ(Text_Cp1252(0x81), u'\x81');
  EXPECT_EQ(Text_Cp1252(0xE9), u'\u00E9');
  const std::uint8_t le[] = {0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
  EXPECT_EQ(Text_Utf16Le(le, 3), u"A\U0001F600");
}

}  // namespace

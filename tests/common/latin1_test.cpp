#include "latin1.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string latin1(const std::string &text, size_t size = 256) {
  std::string out(size, '\x7f');
  size_t length = utf8_to_latin1(text.c_str(), out.data(), size);
  EXPECT_EQ(out[length], '\0');
  return out.substr(0, length);
}

} // namespace

TEST(Latin1, CharactersOfUtf8) {
  EXPECT_EQ(latin1("Plain ASCII, tabs\tand all ~"), "Plain ASCII, tabs\tand all ~");
  EXPECT_EQ(latin1("Zo\u00eb & the Caf\u00e9 Band - Cr\u00e8me br\u00fbl\u00e9e"),
            "Zo\xeb & the Caf\xe9 Band - Cr\xe8me br\xfbl\xe9"
            "e");
  EXPECT_EQ(latin1("\u00a0\u00b0\u00b5\u00df\u00ff"), "\xa0\xb0\xb5\xdf\xff");
  // Letters beyond Latin-1 lose their accents; punctuation takes its plain form.
  EXPECT_EQ(latin1("Dvo\u0159\u00e1k, \u0141\u00f3d\u017a, \u0152uvre, Kie\u015blowski"),
            "Dvor\xe1k, L\xf3"
            "dz, Ouvre, Kieslowski");
  EXPECT_EQ(latin1("\u201cRock \u2019n\u2019 Roll\u201d \u2013 Live\u2026"),
            "\"Rock 'n' Roll\" - Live?");
  // Characters that have no Latin-1 form: one placeholder each, whatever their length.
  EXPECT_EQ(latin1("\u65e5\u672c \U0001f3b5 \u20ac"), "?? ? ?");
  // The C1 control characters are blanks.
  EXPECT_EQ(latin1("a\u0085b\u009fc"), "a b c");
}

// Bytes that are not well-formed UTF-8 are taken as Latin-1 already and kept as they are.
TEST(Latin1, BytesThatAreNotUtf8StayAsTheyAre) {
  EXPECT_EQ(latin1("Caf\xe9 \xfc"), "Caf\xe9 \xfc");
  EXPECT_EQ(latin1("\xc3"), "\xc3");                         // cut short at the end
  EXPECT_EQ(latin1("\xc3(x"), "\xc3(x");                     // a continuation missing
  EXPECT_EQ(latin1("\xc0\xa9"), "\xc0\xa9");                 // overlong
  EXPECT_EQ(latin1("\xe0\x80\xaf"), "\xe0\x80\xaf");         // overlong
  EXPECT_EQ(latin1("\xed\xa0\x80"), "\xed\xa0\x80");         // a surrogate
  EXPECT_EQ(latin1("\xf4\x90\x80\x80"), "\xf4\x90\x80\x80"); // beyond U+10FFFF
  EXPECT_EQ(latin1("\xf5\x80\x80\x80"), "\xf5\x80\x80\x80");
  EXPECT_EQ(latin1("\x80\xbf"), "\x80\xbf"); // continuations alone
}

TEST(Latin1, CutAtACharactersEndWhenFull) {
  EXPECT_EQ(latin1("abc\u00e9def", 5), "abc\xe9");
  EXPECT_EQ(latin1("\U0001f3b5\U0001f3b5\U0001f3b5", 3), "??");
  EXPECT_EQ(latin1("anything", 1), "");
}

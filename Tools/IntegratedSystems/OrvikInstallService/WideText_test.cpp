// Conversions between the installer's UTF-16 text and the platform's.

#include "WideText.h"

#include <gtest/gtest.h>

#include "PathText.h"

namespace {

TEST(WideTextTest, RoundTripsValidText) {
  const std::string text = "plain /path caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
  EXPECT_EQ(Utf8ToUtf16(text), u"plain /path caf\u00e9 \u20ac \U0001F600");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
}

TEST(WideTextTest, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\x80z"), u"a\uFFFDz");
  EXPECT_EQ(Utf8ToUtf16("a\xc3"), u"a\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD");          // overlong
  EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), u"\uFFFD");      // an encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xf4\x90\x80\x80"), u"\uFFFD");  // past U+10FFFF
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800}) + u"x"), "\xef\xbf\xbdx");
}

TEST(WideTextTest, TextBeforeNul) {
  EXPECT_EQ(TextBeforeNul(std::u16string(u"abc\0def", 7)), u"abc");
  EXPECT_EQ(TextBeforeNul(u"abc"), u"abc");
  EXPECT_EQ(TextBeforeNul(std::u16string(260, u'\0')), u"");
}

// Paths written with '|' for the platform's separator.
std::u16string P(std::u16string text) {
  for (char16_t& c : text) {
    if (c == u'|') c = kPathSeparator;
  }
  return text;
}

TEST(PathTextTest, AppendsWithExactlyOneSeparator) {
  EXPECT_EQ(AppendPathComponent(P(u"|usr|lib"), u"x.exe"), P(u"|usr|lib|x.exe"));
  EXPECT_EQ(AppendPathComponent(P(u"|usr|lib|"), u"x.exe"), P(u"|usr|lib|x.exe"));
  EXPECT_EQ(AppendPathComponent(P(u"|usr|lib"), P(u"|x.exe")), P(u"|usr|lib|x.exe"));
  EXPECT_EQ(AppendPathComponent(P(u"|"), u"x.exe"), P(u"|x.exe"));
  EXPECT_EQ(AppendPathComponent(u"", u"x.exe"), u"x.exe");
}

TEST(PathTextTest, RemovesTheLastComponent) {
  EXPECT_EQ(RemoveLastPathComponent(P(u"|opt|orvik|OrvikInstallService")), P(u"|opt|orvik"));
  EXPECT_EQ(RemoveLastPathComponent(P(u"|OrvikInstallService")), P(u"|"));
  EXPECT_EQ(RemoveLastPathComponent(u"OrvikInstallService"), u"");
  EXPECT_EQ(RemoveLastPathComponent(u""), u"");
}

}  // namespace

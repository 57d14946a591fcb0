#include "TextCodec.h"

#include <gtest/gtest.h>

namespace qss_tool {
namespace {

TEST(TextCodecTest, Utf16ToUtf8KeepsPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(Utf16ToUtf8(u"abc"), "abc");
  EXPECT_EQ(Utf16ToUtf8(u"\u00fc\u65e5"), "\xc3\xbc\xe6\x97\xa5");
  EXPECT_EQ(Utf16ToUtf8(u"\xD83D\xDE00"), "\xf0\x9f\x98\x80");  // a surrogate pair
  const std::string replacement = "\xef\xbf\xbd";
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"a\xD800")), "a" + replacement);           // high at the end
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xDC00z")), replacement + "z");           // lone low
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xD800\xD800\xDC00")), replacement + "\xf0\x90\x80\x80");
  EXPECT_FALSE(IsWellFormedUtf16(std::u16string(u"x\xDBFF")));
  EXPECT_TRUE(IsWellFormedUtf16(u"\xD83D\xDE00"));
}

TEST(TextCodecTest, StrictUtf8DecodingRefusesMalformedInput) {
  std::u16string out;
  EXPECT_TRUE(Utf8ToUtf16("Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80", &out));
  EXPECT_EQ(out, u"Gr\u00fc\u00dfe \xD83D\xDE00");
  EXPECT_FALSE(Utf8ToUtf16("\xc0\xaf", &out));          // overlong '/'
  EXPECT_FALSE(Utf8ToUtf16("\xe0\x80\xaf", &out));      // overlong, three bytes
  EXPECT_FALSE(Utf8ToUtf16("\xed\xa0\x80", &out));      // an encoded surrogate
  EXPECT_FALSE(Utf8ToUtf16("\xe6\x97", &out));          // cut short
  EXPECT_FALSE(Utf8ToUtf16("\xf4\x90\x80\x80", &out));  // beyond U+10FFFF
  EXPECT_FALSE(Utf8ToUtf16("\x80", &out));
}

TEST(TextCodecTest, JsonAndListingEscapes) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01\x7f" "\xc3\xbc"), "\"a\\\"b\\\\c\\n\\u0001\\u007f\xc3\xbc\"");
  EXPECT_EQ(PrintableName(u"a\nb\\c"), "a\\x0ab\\\\c");
}

TEST(TextCodecTest, EntryNamesThatCannotBeFileNamesAreRefused) {
  std::filesystem::path name;
  std::string reason;
  for (const std::u16string& bad : {std::u16string(), std::u16string(u"."), std::u16string(u".."),
                                    std::u16string(u"a/b"), std::u16string(u"x\0y", 3),
                                    std::u16string(u"\xD800")}) {
    EXPECT_FALSE(FileNameFromEntryName(bad, &name, &reason)) << Utf16ToUtf8(bad);
    EXPECT_FALSE(reason.empty());
  }
#ifdef _WIN32
  // Windows drops a trailing dot, so "..." would name the folder above.
  EXPECT_FALSE(FileNameFromEntryName(u"...", &name, &reason));
  // A backslash or a colon would lead out of the folder on Windows.
  EXPECT_FALSE(FileNameFromEntryName(u"..\\up", &name, &reason));
  EXPECT_FALSE(FileNameFromEntryName(u"C:x", &name, &reason));
  EXPECT_FALSE(FileNameFromEntryName(u"file:stream", &name, &reason));
  ASSERT_TRUE(FileNameFromEntryName(u"a b \u00fc", &name, &reason));
  EXPECT_EQ(name, std::filesystem::path(u8"a b \u00fc"));
#else
  ASSERT_TRUE(FileNameFromEntryName(u"...", &name, &reason));
  EXPECT_EQ(name, std::filesystem::path("..."));
  ASSERT_TRUE(FileNameFromEntryName(u"a\\b \u00fc", &name, &reason));
  EXPECT_EQ(name, std::filesystem::path(u8"a\\b \u00fc"));
#endif

  std::u16string entryName;
  EXPECT_TRUE(EntryNameFromFileName(std::filesystem::path(u8"\u00fc.txt"), &entryName));
  EXPECT_EQ(entryName, u"\u00fc.txt");
#ifdef _WIN32
  EXPECT_FALSE(EntryNameFromFileName(std::filesystem::path(std::wstring(L"bad\xD800")), &entryName));
#else
  EXPECT_FALSE(EntryNameFromFileName("bad\xff", &entryName));
#endif
}

TEST(ReservedNameTest, WindowsDeviceNamesAndTrailingDotsOrSpacesAreRefused) {
  std::string reason;
  for (const std::u16string name : {u"CON", u"con", u"Prn", u"AUX", u"NUL", u"nul.txt", u"NUL.tar.gz", u"COM1",
                                    u"com9.log", u"LPT1", u"lpt9", u"NUL .txt", u"name.", u"name ", u"..."}) {
    reason.clear();
    EXPECT_TRUE(IsReservedWindowsName(name, &reason)) << Utf16ToUtf8(name);
    EXPECT_FALSE(reason.empty());
  }
  for (const std::u16string name : {u"CONSOLE", u"COM0", u"COM10", u"LPT", u"xNUL", u"nul_x", u"a.con", u".", u"..",
                                    u"üNUL", u"file.txt"}) {
    EXPECT_FALSE(IsReservedWindowsName(name, &reason)) << Utf16ToUtf8(name);
  }
  std::filesystem::path file;
#ifdef _WIN32
  EXPECT_FALSE(FileNameFromEntryName(u"aux.h", &file, &reason));
  EXPECT_NE(reason.find("device name"), std::string::npos);
#else
  EXPECT_TRUE(FileNameFromEntryName(u"aux.h", &file, &reason));
#endif
}

}  // namespace
}  // namespace qss_tool

// Formatting of console messages.

#include "ConsolePrint.h"

#include <gtest/gtest.h>

#include "WideText.h"
#include "testing/FakeInstallerServices.h"

namespace {

template <typename... Arguments>
std::string Format(std::u16string_view format, const Arguments&... arguments) {
  FakeConsole console;
  ConsolePrint(console, format, arguments...);
  EXPECT_EQ(console.writes.size(), 1u);
  return console.writes.empty() ? "" : console.writes[0];
}

TEST(ConsolePrintTest, TheConversionsTheInstallerUses) {
  EXPECT_EQ(Format(u"Process %s failed with error %08x\n", std::u16string(u"a b"), std::uint32_t{2}),
            "Process a b failed with error 00000002\n");
  EXPECT_EQ(Format(u"%08x", std::uint32_t{0xDEADBEEF}), "deadbeef");
  EXPECT_EQ(Format(u"%08x", std::uint32_t{0}), "00000000");
  EXPECT_EQ(Format(u"%s", u"only"), "only");
  EXPECT_EQ(Format(u"no conversions\n"), "no conversions\n");
  EXPECT_EQ(Format(u""), "");
}

TEST(ConsolePrintTest, FlagsWidthsAndOtherConversions) {
  EXPECT_EQ(Format(u"[%5s|%-5s|%.2s]", u"ab", u"cd", u"efgh"), "[   ab|cd   |ef]");
  EXPECT_EQ(Format(u"%d %u %X %x%%", std::int32_t{-5}, std::uint32_t{7}, std::uint32_t{255}, std::uint32_t{255}),
            "-5 7 FF ff%");
  EXPECT_EQ(Format(u"%05d", std::int32_t{-42}), "-0042");
}

TEST(ConsolePrintTest, MissingOrMismatchedArgumentsPrintNothing) {
  EXPECT_EQ(Format(u"a%sb%08xc"), "abc");
  EXPECT_EQ(Format(u"%08x|%s", u"text", std::uint32_t{3}), "|");
  EXPECT_EQ(Format(u"%q %", std::uint32_t{1}), "%q %");
}

TEST(ConsolePrintTest, TextOutsideAsciiSurvivesAsUtf8) {
  EXPECT_EQ(Format(u"%s", u"/opt/Lum\u00e9tra/\U0001F600"), "/opt/Lum\xc3\xa9tra/\xf0\x9f\x98\x80");
}

}  // namespace

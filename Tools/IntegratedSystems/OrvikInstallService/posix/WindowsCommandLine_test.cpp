// Splitting command lines the way a Windows child would.

#include "posix/WindowsCommandLine.h"

#include <gtest/gtest.h>

namespace {

using Words = std::vector<std::u16string>;

TEST(WindowsCommandLineTest, QuotesGroupWords) {
  EXPECT_EQ(SplitCommandLineArguments(u"config \"Orvik Integrated System\" start=auto"),
            (Words{u"config", u"Orvik Integrated System", u"start=auto"}));
  EXPECT_EQ(SplitCommandLineArguments(u"  -remove\t "), (Words{u"-remove"}));
  EXPECT_EQ(SplitCommandLineArguments(u""), Words{});
  EXPECT_EQ(SplitCommandLineArguments(u"   "), Words{});
  EXPECT_EQ(SplitCommandLineArguments(u"a\"b c\"d e"), (Words{u"ab cd", u"e"}));
  EXPECT_EQ(SplitCommandLineArguments(u"\"\" x"), (Words{u"", u"x"}));
  EXPECT_EQ(SplitCommandLineArguments(u"\"unterminated quote"), (Words{u"unterminated quote"}));
  EXPECT_EQ(SplitCommandLineArguments(u"\"a\"\"b\""), (Words{u"a\"b"}));
}

TEST(WindowsCommandLineTest, BackslashesCountOnlyBeforeAQuote) {
  EXPECT_EQ(SplitCommandLineArguments(u"c:\\Windows\\System32 a\\\\b"), (Words{u"c:\\Windows\\System32", u"a\\\\b"}));
  EXPECT_EQ(SplitCommandLineArguments(u"a\\\"b"), (Words{u"a\"b"}));            // 1 -> literal quote
  EXPECT_EQ(SplitCommandLineArguments(u"a\\\\\"b c\""), (Words{u"a\\b c"}));     // 2 -> one, quote opens
  EXPECT_EQ(SplitCommandLineArguments(u"a\\\\\\\"b"), (Words{u"a\\\"b"}));      // 3 -> one and a quote
  EXPECT_EQ(SplitCommandLineArguments(u"\"c:\\dir\\\\\" x"), (Words{u"c:\\dir\\", u"x"}));
}

TEST(WindowsCommandLineTest, ArgumentsFollowTheProgram) {
  // The installer's own command lines start with the unquoted application
  // path, even when it holds blanks.
  EXPECT_EQ(ArgumentsAfterProgram(u"/opt/My Service/svc.exe -remove", u"/opt/My Service/svc.exe"), u" -remove");
  EXPECT_EQ(ArgumentsAfterProgram(u"/opt/svc.exe", u"/opt/svc.exe"), u"");
  EXPECT_EQ(ArgumentsAfterProgram(u"/opt/svc.exe2 x", u"/opt/svc.exe"), u" x");
  EXPECT_EQ(ArgumentsAfterProgram(u"\"/a b/prog\" x y", u"/other"), u" x y");
  EXPECT_EQ(ArgumentsAfterProgram(u"prog", u""), u"");
}

}  // namespace

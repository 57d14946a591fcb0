#include "Glob.h"

#include <gtest/gtest.h>

namespace qss_tool {
namespace {

bool Match(const char* pattern, const std::u16string& path) {
  Glob glob;
  EXPECT_TRUE(glob.Compile(pattern)) << pattern;
  return glob.Matches(path);
}

TEST(GlobTest, StarAndQuestionMarkStayWithinOneName) {
  EXPECT_TRUE(Match("*.bin", u"KivMod7Win.bin"));
  EXPECT_TRUE(Match("*", u""));
  EXPECT_FALSE(Match("*.bin", u"a/b.bin"));
  EXPECT_TRUE(Match("a/*.bin", u"a/b.bin"));
  EXPECT_FALSE(Match("a/*", u"a/b/c"));
  EXPECT_TRUE(Match("?.txt", u"x.txt"));
  EXPECT_FALSE(Match("?.txt", u"xy.txt"));
  EXPECT_FALSE(Match("a?b", u"a/b"));
  EXPECT_TRUE(Match("exact", u"exact"));
  EXPECT_FALSE(Match("exact", u"exactly"));
  // One character is one code point, even outside the basic plane.
  EXPECT_TRUE(Match("?.txt", u"\U0001F600.txt"));
  EXPECT_TRUE(Match("Gr??e", u"Gr\u00fc\u00dfe"));
}

TEST(GlobTest, DoubleStarCrossesFoldersAndMayBeEmpty) {
  EXPECT_TRUE(Match("**", u"a/b/c"));
  EXPECT_TRUE(Match("**/x", u"x"));
  EXPECT_TRUE(Match("**/x", u"a/b/x"));
  EXPECT_FALSE(Match("**/x", u"a/bx"));
  EXPECT_TRUE(Match("a/**/z", u"a/z"));
  EXPECT_TRUE(Match("a/**/z", u"a/b/c/z"));
  EXPECT_FALSE(Match("a/**/z", u"b/a/z"));
  EXPECT_TRUE(Match("a/**", u"a/b/c"));
  EXPECT_TRUE(Match("a**z", u"a/b/z"));
}

TEST(GlobTest, SetsRangesAndNegation) {
  EXPECT_TRUE(Match("[abc].txt", u"b.txt"));
  EXPECT_FALSE(Match("[abc].txt", u"d.txt"));
  EXPECT_TRUE(Match("file[0-9]", u"file7"));
  EXPECT_FALSE(Match("file[0-9]", u"fileA"));
  EXPECT_TRUE(Match("[!0-9]x", u"ax"));
  EXPECT_FALSE(Match("[^0-9]x", u"5x"));
  EXPECT_TRUE(Match("[]]", u"]"));
  EXPECT_TRUE(Match("[a-]", u"-"));
  EXPECT_FALSE(Match("a[/]b", u"a/b"));
  // An unterminated '[' is a plain character.
  EXPECT_TRUE(Match("a[b", u"a[b"));
}

TEST(GlobTest, LongRowsOfStarsTakeLinearTime) {
  const std::u16string path(2000, u'a');
  EXPECT_FALSE(Match("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", path));
  EXPECT_TRUE(Match("**a**a**a**a**a**a**a**a**a**a**a", path));
  Glob bad;
  EXPECT_FALSE(bad.Compile("\xff*"));
}

TEST(PathFilterTest, NamePatternsMatchAtAnyDepthPathPatternsFromTheRoot) {
  PathFilter filter;
  std::string error;
  ASSERT_TRUE(filter.Add("*.log", false, &error));
  ASSERT_TRUE(filter.Add("Drivers/*.sys", true, &error));
  EXPECT_TRUE(filter.Excluded(u"a/b/c.log", u"c.log"));
  EXPECT_FALSE(filter.Excluded(u"a/b/c.txt", u"c.txt"));
  EXPECT_TRUE(filter.Included(u"Drivers/x.sys", u"x.sys"));
  EXPECT_FALSE(filter.Included(u"Other/Drivers/x.sys", u"x.sys"));
  PathFilter everything;
  EXPECT_TRUE(everything.Included(u"any/thing", u"thing"));
  EXPECT_FALSE(everything.Add("\xc3", true, &error));
  EXPECT_NE(error.find("--include"), std::string::npos);
}

}  // namespace
}  // namespace qss_tool

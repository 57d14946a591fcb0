#include "ProgressBar.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qss_tool {
namespace {

TEST(ProgressLineTest, ShowsBytesRateAndTimeLeft) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(std::int64_t{3} << 30), "3.0 GiB");

  // 1 MiB of 4 MiB in 2 s: 512 KiB/s, 3 MiB left take 6 s.
  EXPECT_EQ(ProgressLine("pack", 1 << 20, 4 << 20, 2.0),
            "pack [#######.......................]  25%  1.0 MiB/4.0 MiB  512.0 KiB/s  0:06 left");
  // No rate to tell yet.
  EXPECT_EQ(ProgressLine("cat", 0, 100, 0.0), "cat [..............................]   0%  0 B/100 B  -- B/s  --:-- left");
  // Hours once the work is that long; nothing to do is done.
  EXPECT_NE(ProgressLine("unpack", 1, std::int64_t{1} << 40, 1.0).find(":") , std::string::npos);
  EXPECT_NE(ProgressLine("unpack", 1024, 1024 + 3600 * 1024, 1.0).find("1:00:00 left"), std::string::npos);
  EXPECT_NE(ProgressLine("pack", 0, 0, 0.0).find("100%"), std::string::npos);
}

TEST(ProgressBarTest, ClearsWhatItDrewAndDisabledDrawsNothing) {
  std::ostringstream terminal;
  {
    ProgressBar bar(terminal, true, "pack", 100);
    bar.Advance(100);
  }
  const std::string drawn = terminal.str();
  const std::size_t full = drawn.find("] 100%");
  ASSERT_NE(full, std::string::npos);
  const std::size_t lineStart = drawn.rfind('\r', full) + 1;
  const std::size_t lineEnd = drawn.find('\r', full);
  // The end blanks at least that whole line and returns to its start.
  const std::string clear = drawn.substr(lineEnd);
  EXPECT_EQ(clear.front(), '\r');
  EXPECT_EQ(clear.back(), '\r');
  EXPECT_EQ(clear.find_first_not_of(' ', 1), clear.size() - 1);
  EXPECT_GE(clear.size() - 2, lineEnd - lineStart);

  std::ostringstream silent;
  {
    ProgressBar bar(silent, false, "pack", 100);
    bar.Advance(50);
  }
  EXPECT_EQ(silent.str(), "");
}

}  // namespace
}  // namespace qss_tool

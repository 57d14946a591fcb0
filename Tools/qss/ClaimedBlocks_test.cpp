#include "ClaimedBlocks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace qss_tool {
namespace {

TEST(ClaimedBlocksTest, EachBlockIsNewOnceWhereverItIsKept) {
  // 1 MiB of container: blocks below 2049 are kept as bits.
  ClaimedBlocks claimed(1 << 20);
  const std::int64_t blocks[] = {0,    1,    63,   64,   65,   2047, 2048,
                                 2049, 4096, -2,   -3,   std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::int64_t>::max()};
  for (const std::int64_t block : blocks) EXPECT_TRUE(claimed.Claim(block)) << block;
  for (const std::int64_t block : blocks) EXPECT_FALSE(claimed.Claim(block)) << block;
  // The neighbours of claimed blocks, on either side of a word's edge and of
  // the bound, are still free.
  for (const std::int64_t block : {2, 62, 66, 127, 128, 2046, 2050, 4095}) EXPECT_TRUE(claimed.Claim(block)) << block;
}

TEST(ClaimedBlocksTest, BitsGrowWithoutLosingWhatTheyHold) {
  ClaimedBlocks claimed(std::int64_t{1} << 30);
  // Ascending and far apart, so that the bitmap grows past each block claimed.
  for (std::int64_t block = 0; block < 2000000; block = block * 3 + 1) EXPECT_TRUE(claimed.Claim(block)) << block;
  for (std::int64_t block = 0; block < 2000000; block = block * 3 + 1) EXPECT_FALSE(claimed.Claim(block)) << block;
}

TEST(ClaimedBlocksTest, AnEmptyOrNegativeSizeStillCountsBlocks) {
  for (const std::int64_t size : {std::int64_t{0}, std::int64_t{-1}}) {
    ClaimedBlocks claimed(size);
    EXPECT_TRUE(claimed.Claim(0));
    EXPECT_TRUE(claimed.Claim(5));
    EXPECT_FALSE(claimed.Claim(0));
    EXPECT_FALSE(claimed.Claim(5));
  }
}

}  // namespace
}  // namespace qss_tool

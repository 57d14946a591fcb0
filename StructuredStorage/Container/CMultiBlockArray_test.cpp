#include "Container/CMultiBlockArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace qss {

namespace {

template <typename T>
class MultiBlockArrayTest : public ::testing::Test {};
using ElementTypes = ::testing::Types<std::int16_t, std::int32_t, std::int64_t>;
TYPED_TEST_SUITE(MultiBlockArrayTest, ElementTypes);

TYPED_TEST(MultiBlockArrayTest, BeyondHeldBlocksReadsMinusOneForEveryWidth) {
  CMultiBlockArray<TypeParam> array(64);
  EXPECT_EQ(array.blockCount(), 0);
  EXPECT_EQ(array.GetAt(0), -1);
  EXPECT_EQ(array.GetAt(-5), -1);
  EXPECT_EQ(array.GetBlock(0), nullptr);
  array.SetAt(3, 7);  // outside the held blocks: ignored, nothing touched
  ASSERT_EQ(array.Resize(64), 1);
  const std::int64_t perBlock = 64 / sizeof(TypeParam);
  EXPECT_EQ(array.GetAt(perBlock - 1), perBlock);
  EXPECT_EQ(array.GetAt(perBlock), -1);
  EXPECT_EQ(array.GetAt(1000000), -1);
}

TYPED_TEST(MultiBlockArrayTest, IndexChainFillAndGrowthKeepOldBlocks) {
  CMultiBlockArray<TypeParam> array(512);
  const std::int64_t perBlock = 512 / sizeof(TypeParam);
  ASSERT_EQ(array.Resize(1), 1);
  EXPECT_EQ(array.blockCount(), 1);
  EXPECT_TRUE(array.GetBlock(0)->dirty);
  array.GetBlock(0)->dirty = false;
  array.SetAt(perBlock - 1, 42);
  array.GetBlock(0)->dirty = false;
  CMultiBlockArrayBlock* first = array.GetBlock(0);
  void* firstData = first->GetData();

  ASSERT_EQ(array.Resize(3 * 512), 1);
  ASSERT_EQ(array.blockCount(), 3);
  // Existing blocks are neither moved nor touched.
  EXPECT_EQ(array.GetBlock(0), first);
  EXPECT_EQ(array.GetBlock(0)->GetData(), firstData);
  EXPECT_FALSE(array.GetBlock(0)->dirty);
  EXPECT_EQ(array.GetAt(perBlock - 1), 42);
  EXPECT_TRUE(array.GetBlock(1)->dirty);
  EXPECT_TRUE(array.GetBlock(2)->dirty);
  EXPECT_EQ(array.GetAt(perBlock), perBlock + 1);
  EXPECT_EQ(array.GetAt(3 * perBlock - 1), 3 * perBlock);

  // Same number of blocks, or zero bytes: nothing changes.
  array.GetBlock(1)->dirty = false;
  ASSERT_EQ(array.Resize(2 * 512 + 1), 1);
  ASSERT_EQ(array.Resize(0), 1);
  EXPECT_EQ(array.blockCount(), 3);
  EXPECT_FALSE(array.GetBlock(1)->dirty);

  // SetAt marks only the block that holds the index.
  array.GetBlock(2)->dirty = false;
  array.SetAt(perBlock + 3, -1);
  EXPECT_FALSE(array.GetBlock(0)->dirty);
  EXPECT_TRUE(array.GetBlock(1)->dirty);
  EXPECT_FALSE(array.GetBlock(2)->dirty);
  EXPECT_EQ(array.GetAt(perBlock + 3), -1);
}

TYPED_TEST(MultiBlockArrayTest, BlocksOfAnyElementCountFindTheirElements) {
  // Container tables hold a power of two of elements per block, found by a
  // shift; any other count divides. Both place every element alike.
  for (const std::int32_t blockSize : {96, 128, 200}) {
    CMultiBlockArray<TypeParam> array(blockSize);
    const std::int64_t perBlock = blockSize / sizeof(TypeParam);
    ASSERT_EQ(array.Resize(4 * blockSize), 1);
    for (std::int64_t i = 0; i < 4 * perBlock; ++i) ASSERT_EQ(array.GetAt(i), i + 1) << blockSize << " " << i;
    EXPECT_EQ(array.GetAt(4 * perBlock), -1);
    for (std::int32_t b = 0; b < 4; ++b) array.GetBlock(b)->dirty = false;
    array.SetAt(2 * perBlock, 5);
    EXPECT_FALSE(array.GetBlock(1)->dirty);
    EXPECT_TRUE(array.GetBlock(2)->dirty);
    EXPECT_EQ(array.GetAt(2 * perBlock), 5);
  }
}

TYPED_TEST(MultiBlockArrayTest, BlockDataIsTheLittleEndianImage) {
  CMultiBlockArray<TypeParam> array(16);
  ASSERT_EQ(array.Resize(16), 1);
  array.SetAt(1, 0x0102);
  const auto* bytes = static_cast<const std::uint8_t*>(array.GetBlock(0)->GetData());
  EXPECT_EQ(bytes[sizeof(TypeParam)], 0x02);
  EXPECT_EQ(bytes[sizeof(TypeParam) + 1], 0x01);
  std::memset(array.GetBlock(0)->GetData(), 0xFF, 16);
  EXPECT_EQ(array.GetAt(0), -1);
}

// The table's load refuses a table whose largest entry names a block past
// it; the scan must see every block, the last element of each, and the sign.
TYPED_TEST(MultiBlockArrayTest, LargestElementScansEveryBlockSigned) {
  CMultiBlockArray<TypeParam> array(64);
  EXPECT_EQ(array.LargestElement(), -1);  // nothing held: the default
  const std::int64_t perBlock = 64 / sizeof(TypeParam);
  ASSERT_EQ(array.Resize(3 * 64), 1);
  for (std::int64_t k = 0; k < 3 * perBlock; ++k) array.SetAt(k, -1);
  EXPECT_EQ(array.LargestElement(), -1);
  array.SetAt(5, -7);
  EXPECT_EQ(array.LargestElement(), -1);
  array.SetAt(3 * perBlock - 1, 9);  // the last element of the last block
  EXPECT_EQ(array.LargestElement(), 9);
  array.SetAt(perBlock, 11);  // the first of a middle block
  EXPECT_EQ(array.LargestElement(), 11);
}

// A walk follows links from block to block of elements and stays within a
// block for stretches; every way out of the table must stop it, and so must
// a cycle, wherever it closes.
TYPED_TEST(MultiBlockArrayTest, FollowChainStopsAtTheEndAtBrokenLinksAndInCycles) {
  {
    CMultiBlockArray<TypeParam> empty(64);  // no blocks: no number is a block
    std::int64_t out[2] = {99, 99};
    bool broken = false;
    EXPECT_EQ(empty.FollowChain(1, 2, out, &broken), 0);
    EXPECT_TRUE(broken);
    EXPECT_EQ(out[0], -1);
  }
  for (const std::int32_t blockSize : {64, 96}) {  // a shift, and a division
    CMultiBlockArray<TypeParam> array(blockSize);
    const std::int64_t perBlock = blockSize / sizeof(TypeParam);
    ASSERT_EQ(array.Resize(3 * blockSize), 1);
    const std::int64_t count = array.elementCount();
    std::vector<std::int64_t> out(static_cast<std::size_t>(count) + 2, 99);
    bool broken = true;
    const auto walk = [&](std::int64_t start, std::int32_t maxCount) {
      std::fill(out.begin(), out.end(), 99);
      return array.FollowChain(start, maxCount, out.data(), &broken);
    };

    // 1 -> 2 -> (the first of the next block) -> (the last element) -> end.
    array.SetAt(1, 2);
    array.SetAt(2, perBlock);
    array.SetAt(perBlock, count - 1);
    array.SetAt(count - 1, -1);
    EXPECT_EQ(walk(1, 10), 4) << blockSize;
    EXPECT_FALSE(broken);
    EXPECT_EQ((std::vector<std::int64_t>(out.begin(), out.begin() + 5)),
              (std::vector<std::int64_t>{1, 2, perBlock, count - 1, -1}));
    EXPECT_EQ(walk(1, 4), 4);  // exactly filled: no -1 after it
    EXPECT_FALSE(broken);
    EXPECT_EQ(out[4], 99);
    EXPECT_EQ(walk(1, 2), 2);  // cut short by maxCount, not broken
    EXPECT_FALSE(broken);
    EXPECT_EQ(out[2], 99);
    EXPECT_EQ(walk(-1, 3), 0);
    EXPECT_FALSE(broken);
    EXPECT_EQ(out[0], -1);
    EXPECT_EQ(walk(1, 0), 0);
    EXPECT_EQ(out[0], 99);

    // Starts that are no block.
    for (const std::int64_t start : {std::int64_t{0}, std::int64_t{-2}, count, count + 5}) {
      EXPECT_EQ(walk(start, 5), 0) << start;
      EXPECT_TRUE(broken) << start;
      EXPECT_EQ(out[0], -1) << start;
    }
    // Links that are no block stop the walk before the block that holds them.
    for (const std::int64_t link : {std::int64_t{0}, std::int64_t{-2}, count,
                                    std::int64_t{std::numeric_limits<TypeParam>::min()}}) {
      if (link > std::numeric_limits<TypeParam>::max()) continue;
      array.SetAt(perBlock, link);
      EXPECT_EQ(walk(1, 10), 2) << link;
      EXPECT_TRUE(broken) << link;
      EXPECT_EQ(out[2], -1) << link;
    }
    // A cycle inside one block, and one through two blocks.
    array.SetAt(perBlock, perBlock);
    EXPECT_EQ(walk(1, static_cast<std::int32_t>(count) + 2), count);
    EXPECT_TRUE(broken);
    array.SetAt(perBlock, 1);
    EXPECT_EQ(walk(2, static_cast<std::int32_t>(count) + 2), count);
    EXPECT_TRUE(broken);
    // A walk as long as the array that ends there is whole.
    for (std::int64_t k = 1; k < count - 1; ++k) array.SetAt(k, k + 1);
    array.SetAt(count - 1, -1);
    EXPECT_EQ(walk(1, static_cast<std::int32_t>(count) + 2), count - 1);
    EXPECT_FALSE(broken);
    EXPECT_EQ(out[static_cast<std::size_t>(count) - 1], -1);
  }
}

TEST(MultiBlockArrayNarrowingTest, ValuesAreNarrowedAndSignExtended) {
  CMultiBlockArray<std::int16_t> shorts(64);
  ASSERT_EQ(shorts.Resize(64), 1);
  shorts.SetAt(0, 0xFFFF);
  shorts.SetAt(1, 40000);
  shorts.SetAt(2, -1);
  EXPECT_EQ(shorts.GetAt(0), -1);
  EXPECT_EQ(shorts.GetAt(1), -25536);
  EXPECT_EQ(shorts.GetAt(2), -1);

  CMultiBlockArray<std::int32_t> ints(64);
  ASSERT_EQ(ints.Resize(64), 1);
  ints.SetAt(0, 0xFFFFFFFFLL);
  ints.SetAt(1, 0x1'0000'0005LL);
  EXPECT_EQ(ints.GetAt(0), -1);
  EXPECT_EQ(ints.GetAt(1), 5);

  CMultiBlockArray<std::int64_t> longs(64);
  ASSERT_EQ(longs.Resize(64), 1);
  longs.SetAt(0, 0x7FFF'FFFF'FFFF'FFFFLL);
  EXPECT_EQ(longs.GetAt(0), 0x7FFF'FFFF'FFFF'FFFFLL);
}

TEST(MultiBlockArrayNarrowingTest, RefusesBlockCountsBeyond32Bits) {
  CMultiBlockArray<std::int32_t> array(16);
  EXPECT_LT(array.Resize(16LL * 0x1'0000'0000LL), 0);
  EXPECT_EQ(array.blockCount(), 0);
}

}  // namespace

}  // namespace qss

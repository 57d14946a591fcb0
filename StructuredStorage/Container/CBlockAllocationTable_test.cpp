#include "Container/CBlockAllocationTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "qss/CLockGuard.h"
#include "qss/CQssRef.h"
#include "qss/CPhysicalByteArray.h"
#include "ContainerTesting.h"
#include "Container/CMultiBlockArray.h"
#include "qss/CreateContainer.h"
#include "CountingByteArray.h"

namespace qss {

namespace {

using qss_testing::ChainOf;
using qss_testing::FreeList;
using qss_testing::LinkChain;
using qss_testing::OpenTable;
using qss_testing::SetFreeList;
using Chain = std::vector<std::int64_t>;

constexpr std::int32_t kBlock = 512;
constexpr std::int64_t kDataOffset = 512;  // CreateContainer's choice for 512-byte blocks

// A fresh container (512-byte blocks, 4-byte entries, one table block) of
// at least `blocks` blocks, opened.
struct Container {
  explicit Container(std::int64_t blocks = 1, std::int32_t entryWidth = 4, std::int32_t blockSize = kBlock) {
    EXPECT_EQ(CreateContainer(array.get(), entryWidth, blockSize), kQssOk);
    std::int64_t size = 0;
    EXPECT_EQ(array->GetSize(&size), kQssOk);
    if (blocks > 1) {
      EXPECT_EQ(array->SetSize(size + (blocks - 1) * blockSize), kQssOk);
    }
    table = OpenTable(array.get());
    EXPECT_TRUE(table->valid());
    array->ClearLog();
  }
  CQssRef<CountingByteArray> array{new CountingByteArray};
  CQssRef<CBlockAllocationTable> table;
};

std::vector<std::uint8_t> Bytes(CountingByteArray* array) { return array->Bytes(); }

// ---- Opening: header checks and the table's stored length ----

TEST(BlockAllocationTableOpenTest, AcceptsCreatedContainersOfEveryWidth) {
  for (std::int32_t width : {2, 4, 8}) {
    for (std::int32_t blockSize : {16, 256, 4096, 65536}) {
      CQssRef<CMemoryByteArray> array(new CMemoryByteArray);
      ASSERT_EQ(CreateContainer(array.get(), width, blockSize), kQssOk);
      auto table = OpenTable(array.get());
      ASSERT_TRUE(table->valid()) << width << " " << blockSize;
      EXPECT_EQ(table->status(), kQssOk);
      EXPECT_EQ(table->dataOffset(), std::max(256, blockSize));
      EXPECT_EQ(table->tableStart(), 1);
      const std::int64_t perBlock = blockSize / width;
      EXPECT_EQ(ChainOf(table.get(), 1), Chain{1});
      Chain freeBlocks = FreeList(table.get());
      ASSERT_EQ(static_cast<std::int64_t>(freeBlocks.size()), perBlock - 2);
      if (freeBlocks.empty()) continue;
      EXPECT_EQ(freeBlocks.front(), 2);
      EXPECT_EQ(freeBlocks.back(), perBlock - 1);
    }
  }
}

TEST(BlockAllocationTableOpenTest, RejectsBadHeaders) {
  struct Case {
    const char* what;
    int offset;
    std::vector<std::uint8_t> bytes;
  };
  auto le32 = [](std::int32_t v) {
    return std::vector<std::uint8_t>{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  const std::vector<Case> cases = {
      {"magic text", 3, {'x'}},
      {"byte 26", 26, {0x1B}},
      {"byte 27", 27, {0x01}},
      {"width 3", 32, le32(3)},
      {"width 0", 32, le32(0)},
      {"width 16", 32, le32(16)},
      {"block size 0", 36, le32(0)},
      {"block size 768", 36, le32(768)},
      {"block size negative", 36, le32(INT32_MIN)},
      {"block size below width", 36, le32(2)},
      {"data offset inside header", 40, le32(128)},
      {"data offset negative", 40, le32(-512)},
      {"table start 0", 48, le32(0)},
      {"table start -2", 48, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    Container good;
    std::vector<std::uint8_t> bytes = Bytes(good.array.get());
    std::memcpy(bytes.data() + c.offset, c.bytes.data(), c.bytes.size());
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    auto table = OpenTable(array.get());
    EXPECT_FALSE(table->valid()) << c.what;
    EXPECT_EQ(table->status(), kQssNotAContainer) << c.what;
  }
  // A header shorter than 256 bytes.
  CQssRef<CMemoryByteArray> shortArray(new CMemoryByteArray(std::vector<std::uint8_t>(100, 0)));
  EXPECT_EQ(OpenTable(shortArray.get())->status(), kQssNotAContainer);
}

// A block one entry wide: every table block would describe only itself, so
// no stored table can close its own chain. Such a container opens for
// reading; nothing can be allocated in it.
TEST(BlockAllocationTableOpenTest, BlocksOneEntryWideOpenButNeverGrow) {
  std::vector<std::uint8_t> bytes = qss_testing::MakeHeader(4, 4, kDataOffset, -1);
  bytes.resize(kDataOffset + 4);
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  auto table = OpenTable(array.get());
  EXPECT_EQ(table->status(), kQssOk);
  std::int64_t block = -7;
  EXPECT_EQ(table->AllocateBlocks(-1, 1, &block, nullptr), kQssTableCannotGrow);
  EXPECT_EQ(block, -7);
}

TEST(BlockAllocationTableOpenTest, TableChainMustHoldExactlyTheStoredBlocks) {
  // One table block describes 128 blocks; the byte array holds 2.
  Container c(2);
  std::vector<std::uint8_t> bytes = Bytes(c.array.get());
  const std::vector<std::uint8_t> good = bytes;

  // A table chain one block too long, the extra block inside the array.
  qss_testing::PutEntry(bytes, kDataOffset, 4, 1, 2);
  qss_testing::PutEntry(bytes, kDataOffset, 4, 2, -1);
  {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    EXPECT_EQ(OpenTable(array.get())->status(), kQssNotAContainer);
  }
  // The same with the extra block past the end of the array.
  bytes.resize(kDataOffset + kBlock);
  {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    EXPECT_EQ(OpenTable(array.get())->status(), kQssTruncated);
  }
  // A table chain that runs in a circle ends as a table one block too long.
  bytes = good;
  qss_testing::PutEntry(bytes, kDataOffset, 4, 1, 1);
  {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    EXPECT_EQ(OpenTable(array.get())->status(), kQssNotAContainer);
  }
  // Entries out of range, and the last block the table describes.
  for (std::int64_t bad : {128LL, 5000LL}) {
    bytes = good;
    qss_testing::PutEntry(bytes, kDataOffset, 4, 7, bad);
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    EXPECT_EQ(OpenTable(array.get())->status(), kQssNotAContainer) << bad;
  }
  bytes = good;
  qss_testing::PutEntry(bytes, kDataOffset, 4, 127, 127);
  {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    EXPECT_EQ(OpenTable(array.get())->status(), kQssOk);
  }
  // An entry below -1 is one broken link: the container opens, and only a
  // walk that meets it fails.
  for (std::int64_t bad : {-2LL, -128LL}) {
    bytes = good;
    qss_testing::PutEntry(bytes, kDataOffset, 4, 2, bad);
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    auto table = OpenTable(array.get());
    EXPECT_EQ(table->status(), kQssOk) << bad;
    std::int64_t chain[4] = {};
    std::int32_t count = 0;
    EXPECT_EQ(table->GetChain(2, 4, chain, &count), kQssNotAContainer) << bad;
    EXPECT_EQ(table->GetChain(1, 4, chain, &count), kQssOk) << bad;  // the table's own chain is sound
  }
  // A table start far beyond the table.
  bytes = good;
  bytes[48 + 7] = 0x40;
  {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    EXPECT_EQ(OpenTable(array.get())->status(), kQssTruncated);
  }
}

TEST(BlockAllocationTableOpenTest, TruncatedArrayAndTableOfTwoBlocks) {
  // Grow the table to two blocks (128 and up are described by block 128).
  Container c;
  std::vector<std::int64_t> out(200);
  ASSERT_EQ(c.table->AllocateBlocks(-1, 200, out.data(), nullptr), kQssOk);
  EXPECT_EQ(ChainOf(c.table.get(), 1), (Chain{1, 128}));
  c.table.Reset();
  const std::vector<std::uint8_t> bytes = Bytes(c.array.get());
  {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    EXPECT_TRUE(OpenTable(array.get())->valid());
  }
  // Cut so that the array holds fewer than 128 blocks: the second table
  // block lies past the end.
  std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + kDataOffset + 100 * kBlock);
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(cut));
  EXPECT_EQ(OpenTable(array.get())->status(), kQssTruncated);
  // Cut into the header's table: nothing but the header left.
  std::vector<std::uint8_t> headerOnly(bytes.begin(), bytes.begin() + kDataOffset);
  CQssRef<CMemoryByteArray> bare(new CMemoryByteArray(headerOnly));
  EXPECT_EQ(OpenTable(bare.get())->status(), kQssTruncated);
}

// A byte array that claims far more bytes than it holds, as a sparse file
// does: past its real bytes it reads as zeros.
class SparseByteArray : public CPhysicalByteArray {
 public:
  SparseByteArray(std::vector<std::uint8_t> bytes, std::int64_t apparentSize)
      : bytes_(std::move(bytes)), apparentSize_(apparentSize) {}
  QssResult Flush() override { return kQssOk; }
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) override {
    if (done) *done = 0;
    if (offset < 0 || offset >= apparentSize_) return kQssInvalidArgument;
    const std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::int64_t>(count, apparentSize_ - offset));
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memset(out, 0, wanted);
    const auto real = static_cast<std::int64_t>(bytes_.size());
    if (offset < real) std::memcpy(out, bytes_.data() + offset, static_cast<std::size_t>(std::min<std::int64_t>(wanted, real - offset)));
    if (done) *done = wanted;
    return kQssOk;
  }
  QssResult WriteAt(std::int64_t, const void*, std::uint32_t, std::uint32_t* done) override {
    if (done) *done = 0;
    return kQssReadOnly;
  }
  QssResult GetSize(std::int64_t* size) override {
    *size = apparentSize_;
    return kQssOk;
  }
  QssResult SetSize(std::int64_t) override { return kQssReadOnly; }
  QssResult SetTimestamp(FileTime) override { return kQssOk; }
  QssResult Remove() override { return kQssOk; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::int64_t apparentSize_;
};

// The table is read along its chain, and memory follows the blocks read: a
// file of a few real bytes and 32 GiB of apparent size costs what the chain
// holds (before, the 2^30 table blocks that size calls for were allocated
// first, and the program died of it).
TEST(BlockAllocationTableOpenTest, MemoryFollowsTheTableChainNotTheApparentSize) {
  constexpr std::int32_t kSmall = 16;  // two 8-byte entries a block: the table the largest it can be
  std::vector<std::uint8_t> bytes = qss_testing::MakeHeader(8, kSmall, 256, 1);
  bytes.resize(256 + 4 * kSmall, 0);
  // Table blocks 1 -> 3 -> 2 -> end; block 2 describes entries 2 and 3.
  qss_testing::PutEntry(bytes, 256, 8, 0, -1);
  qss_testing::PutEntry(bytes, 256, 8, 1, 3);
  qss_testing::PutEntry(bytes, 256 + 2 * kSmall, 8, 0, 4);  // entry 4: block 3's link, read from block 3
  qss_testing::PutEntry(bytes, 256 + 2 * kSmall, 8, 1, 2);
  CQssRef<SparseByteArray> array(new SparseByteArray(bytes, std::int64_t{1} << 35));
  auto table = OpenTable(array.get());
  EXPECT_FALSE(table->valid());
  EXPECT_EQ(table->status(), kQssNotAContainer);
  ASSERT_NE(table->entries(), nullptr);
  EXPECT_LE(table->entries()->blockCount(), 4);
}

// Without a table chain the table has nowhere to store a change: blocks
// handed out would be free again on the next open, and the data written into
// them lost. The container reads, and refuses every change of the table.
TEST(BlockAllocationTableOpenTest, WithoutTableChainEveryBlockIsFreeAndNothingCanBeAllocatedOrFreed) {
  std::vector<std::uint8_t> bytes = qss_testing::MakeHeader(4, kBlock, kDataOffset, -1);
  bytes.resize(kDataOffset + 3 * kBlock);
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  {
    auto table = OpenTable(array.get());
    ASSERT_TRUE(table->valid());
    Chain freeBlocks = FreeList(table.get());
    ASSERT_EQ(freeBlocks.size(), 127u);
    EXPECT_EQ(freeBlocks.front(), 1);
    EXPECT_EQ(freeBlocks.back(), 127);
    std::vector<std::int64_t> out(128, -7);
    std::int32_t allocated = -1;
    EXPECT_EQ(table->AllocateBlocks(-1, 1, out.data(), &allocated), kQssTableCannotGrow);
    EXPECT_EQ(allocated, 0);
    EXPECT_EQ(out[0], -7);
    EXPECT_EQ(table->FreeBlocks(1, -1, nullptr), kQssTableCannotGrow);
    EXPECT_EQ(FreeList(table.get()).size(), 127u);  // nothing taken
    EXPECT_EQ(table->Flush(), kQssOk);              // nothing to write
  }
  EXPECT_EQ(array->Bytes(), bytes);
}

// ---- Allocation and the free list ----

TEST(BlockAllocationTableTest, AllocatesFromTheHeadOfTheFreeList) {
  Container c(30);
  SetFreeList(c.table.get(), {5, 9, 12, 20});
  std::int64_t out[3] = {};
  std::int32_t allocated = 0;
  ASSERT_EQ(c.table->AllocateBlocks(-1, 3, out, &allocated), kQssOk);
  EXPECT_EQ(allocated, 3);
  EXPECT_EQ((Chain{out[0], out[1], out[2]}), (Chain{5, 9, 12}));
  EXPECT_EQ(ChainOf(c.table.get(), 5), (Chain{5, 9, 12}));
  EXPECT_EQ(FreeList(c.table.get()), Chain{20});
  EXPECT_FALSE(c.table->dirty());  // flushed
  EXPECT_FALSE(c.array->writes.empty());

  // Appending to an existing chain links after its tail.
  std::int64_t more = 0;
  ASSERT_EQ(c.table->AllocateBlocks(9, 1, &more, nullptr), kQssOk);
  EXPECT_EQ(more, 20);
  EXPECT_EQ(ChainOf(c.table.get(), 5), (Chain{5, 9, 12, 20}));
}

TEST(BlockAllocationTableTest, CountZeroAndStartMinusOneChangeNothing) {
  Container c;
  std::int32_t allocated = 7;
  EXPECT_EQ(c.table->AllocateBlocks(-1, 0, nullptr, &allocated), kQssOk);
  EXPECT_EQ(allocated, 0);
  EXPECT_EQ(c.table->FreeBlocks(-1, -1, nullptr), kQssOk);
  EXPECT_FALSE(c.table->dirty());
  EXPECT_TRUE(c.array->writes.empty());
  EXPECT_EQ(c.table->AllocateBlocks(-1, -3, nullptr, nullptr), kQssInvalidArgument);
}

TEST(BlockAllocationTableTest, FreesWholeChainsAndListedBlocksKeepingTheFreeListAscending) {
  Container c(40);
  SetFreeList(c.table.get(), {5, 20});
  LinkChain(c.table.get(), {12, 7, 30});
  ASSERT_EQ(c.table->FreeBlocks(12, -1, nullptr), kQssOk);
  EXPECT_TRUE(c.table->dirty());
  EXPECT_EQ(FreeList(c.table.get()), (Chain{5, 7, 12, 20, 30}));

  SetFreeList(c.table.get(), {5, 20});
  LinkChain(c.table.get(), {12, 7, 30});
  const std::int64_t listed[] = {7, 30};
  ASSERT_EQ(c.table->FreeBlocks(12, 2, listed), kQssOk);
  EXPECT_EQ(ChainOf(c.table.get(), 12), Chain{12});
  EXPECT_EQ(FreeList(c.table.get()), (Chain{5, 7, 20, 30}));

  // A listed block that is not in the chain is skipped; the chain's first
  // block is never freed by a list (its record still names it).
  SetFreeList(c.table.get(), {});
  LinkChain(c.table.get(), {3, 4, 6, 8});
  const std::int64_t odd[] = {3, 33, 6};
  ASSERT_EQ(c.table->FreeBlocks(3, 3, odd), kQssOk);
  EXPECT_EQ(ChainOf(c.table.get(), 3), (Chain{3, 4, 8}));
  EXPECT_EQ(FreeList(c.table.get()), Chain{6});

  // Listed blocks out of ascending order still give an ascending free list.
  SetFreeList(c.table.get(), {18});
  LinkChain(c.table.get(), {10, 20, 25, 5});
  const std::int64_t descending[] = {20, 5};
  ASSERT_EQ(c.table->FreeBlocks(10, 2, descending), kQssOk);
  EXPECT_EQ(ChainOf(c.table.get(), 10), (Chain{10, 25}));
  EXPECT_EQ(FreeList(c.table.get()), (Chain{5, 18, 20}));
}

TEST(BlockAllocationTableTest, GrowthExampleByteForByte) {
  // One table block at block 2, every other block in use, free list empty.
  std::vector<std::uint8_t> bytes = qss_testing::MakeHeader(4, kBlock, kDataOffset, 2);
  bytes.resize(kDataOffset + 2 * kBlock, 0xAB);
  const std::int64_t tablePos = kDataOffset + kBlock;
  for (std::int64_t k = 0; k < 128; ++k) qss_testing::PutEntry(bytes, tablePos, 4, k, -1);
  CQssRef<CountingByteArray> array(new CountingByteArray(bytes));
  auto table = OpenTable(array.get());
  ASSERT_TRUE(table->valid());

  std::int64_t out = 0;
  ASSERT_EQ(table->AllocateBlocks(-1, 1, &out, nullptr), kQssOk);
  EXPECT_EQ(out, 129);

  std::vector<std::uint8_t> expected = bytes;
  expected.resize(kDataOffset + 129 * kBlock, 0);
  qss_testing::PutEntry(expected, tablePos, 4, 0, 130);
  qss_testing::PutEntry(expected, tablePos, 4, 2, 128);
  const std::int64_t secondPos = kDataOffset + 127 * kBlock;
  for (std::int64_t k = 128; k < 256; ++k) qss_testing::PutEntry(expected, secondPos, 4, k - 128, k + 1);
  qss_testing::PutEntry(expected, secondPos, 4, 0, -1);    // 128: the table's new last block
  qss_testing::PutEntry(expected, secondPos, 4, 1, -1);    // 129: the block handed out
  qss_testing::PutEntry(expected, secondPos, 4, 127, -1);  // 255: end of the free list
  EXPECT_EQ(array->Bytes(), expected);
  EXPECT_EQ(array->writes, (std::vector<CountingByteArray::Transfer>{{tablePos, 512}, {secondPos, 512}}));
  EXPECT_EQ(array->sizes, std::vector<std::int64_t>{kDataOffset + 129 * kBlock});
  EXPECT_EQ(FreeList(table.get()).front(), 130);

  table.Reset();
  CQssRef<CMemoryByteArray> reopened(new CMemoryByteArray(expected));
  EXPECT_TRUE(OpenTable(reopened.get())->valid());
}

TEST(BlockAllocationTableTest, GrowsRepeatedlyForLargeRequestsInEveryWidth) {
  for (std::int32_t width : {2, 4, 8}) {
    Container c(1, width, 256);
    const std::int32_t count = 1000;
    std::vector<std::int64_t> out(count);
    ASSERT_EQ(c.table->AllocateBlocks(-1, count, out.data(), nullptr), kQssOk) << width;
    Chain chain = ChainOf(c.table.get(), out[0]);
    EXPECT_EQ(chain, out);
    for (std::size_t i = 1; i < out.size(); ++i) EXPECT_LT(out[i - 1], out[i]);
    c.table.Reset();
    auto reopened = OpenTable(c.array.get());
    ASSERT_TRUE(reopened->valid()) << width;
    EXPECT_EQ(ChainOf(reopened.get(), out[0]), out);
  }
}

// Free blocks first, then blocks of two growths, all after a chain's tail:
// the chain runs through all of them in order, and the rest stay free.
TEST(BlockAllocationTableTest, AppendingTakesTheFreeListThenGrowsAndLinksEveryPart) {
  Container c(12);
  SetFreeList(c.table.get(), {5, 9});
  LinkChain(c.table.get(), {3, 7});
  std::vector<std::int64_t> out(300);
  std::int32_t allocated = 0;
  ASSERT_EQ(c.table->AllocateBlocks(3, 300, out.data(), &allocated), kQssOk);
  EXPECT_EQ(allocated, 300);
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(out[1], 9);
  for (std::size_t i = 1; i < out.size(); ++i) EXPECT_LT(out[i - 1], out[i]);
  Chain expected{3, 7};
  expected.insert(expected.end(), out.begin(), out.end());
  EXPECT_EQ(ChainOf(c.table.get(), 3), expected);
  const Chain free = FreeList(c.table.get());
  ASSERT_FALSE(free.empty());
  EXPECT_GT(free.front(), out.back());
  c.table.Reset();
  auto reopened = OpenTable(c.array.get());
  ASSERT_TRUE(reopened->valid());
  EXPECT_EQ(ChainOf(reopened.get(), 3), expected);
  EXPECT_EQ(FreeList(reopened.get()), free);
}

// A growth appends to the table's chain as it stands. Growths remember the
// chain's tail; a link changed inside the chain (a corrupt container can
// share a table block with another chain) must send the next growth back to
// walking the chain from its start.
TEST(BlockAllocationTableTest, GrowthAppendsToTheTableChainEvenAfterItsLinksChange) {
  Container c(1);
  std::vector<std::int64_t> out(300);
  ASSERT_EQ(c.table->AllocateBlocks(-1, 300, out.data(), nullptr), kQssOk);
  const Chain before = ChainOf(c.table.get(), c.table->tableStart());
  ASSERT_GE(before.size(), 3u);
  {
    CLockGuard guard(c.table->lock());
    c.table->SetNext(before[1], -1);  // the chain now ends at its second block
  }
  // The blocks are handed out; the table's write fails, since the memory
  // table now holds more blocks than its cut chain has places for.
  std::int32_t allocated = 0;
  EXPECT_EQ(c.table->AllocateBlocks(out.back(), 200, out.data(), &allocated), kQssNotAContainer);
  EXPECT_EQ(allocated, 200);
  const Chain after = ChainOf(c.table.get(), c.table->tableStart());
  ASSERT_GT(after.size(), 2u);
  EXPECT_EQ((Chain{after[0], after[1]}), (Chain{before[0], before[1]}));
  EXPECT_GT(after[2], before.back());  // a new table block follows the second
}

TEST(BlockAllocationTableTest, TwoByteEntriesStopAtBlock32767) {
  Container c(1, 2, 256);  // 128 entries a table block
  std::vector<std::int64_t> out(40000);
  EXPECT_EQ(c.table->AllocateBlocks(-1, 40000, out.data(), nullptr), kQssTableCannotGrow);
  EXPECT_EQ(FreeList(c.table.get()).size(), 126u);  // nothing taken
  ASSERT_EQ(c.table->AllocateBlocks(-1, 32000, out.data(), nullptr), kQssOk);
  std::int64_t highest = 0;
  for (std::int32_t i = 0; i < 32000; ++i) highest = std::max(highest, out[i]);
  EXPECT_LE(highest, 32767);
  EXPECT_EQ(c.table->AllocateBlocks(-1, 1000, out.data(), nullptr), kQssTableCannotGrow);
}

// ---- Transfers along chains ----

TEST(BlockAllocationTableTest, ReadsOneTransferPerRunOfConsecutiveBlocks) {
  Container c(10);
  LinkChain(c.table.get(), {3, 4, 5, 9});
  std::vector<std::uint8_t> buffer(4 * kBlock);
  std::int32_t done = 0;
  ASSERT_EQ(c.table->ReadChain(3, 0, 4 * kBlock, buffer.data(), &done), kQssOk);
  EXPECT_EQ(done, 4 * kBlock);
  EXPECT_EQ(c.array->reads, (std::vector<CountingByteArray::Transfer>{{kDataOffset + 2 * kBlock, 3 * kBlock},
                                                                       {kDataOffset + 8 * kBlock, kBlock}}));
  // An offset inside the chain starts mid-run.
  c.array->ClearLog();
  ASSERT_EQ(c.table->ReadChain(3, kBlock + 10, 100, buffer.data(), &done), kQssOk);
  EXPECT_EQ(c.array->reads, (std::vector<CountingByteArray::Transfer>{{kDataOffset + 3 * kBlock + 10, 100}}));
}

TEST(BlockAllocationTableTest, WritesAndReadsThroughTheChain) {
  Container c(20);
  LinkChain(c.table.get(), {3, 7, 8});
  const auto data = qss_testing::Pattern(3 * kBlock, 1);
  std::int32_t done = 0;
  ASSERT_EQ(c.table->WriteChain(3, 0, 3 * kBlock, data.data(), &done), kQssOk);
  EXPECT_EQ(done, 3 * kBlock);
  EXPECT_EQ(c.array->writes.size(), 2u);
  std::vector<std::uint8_t> back(3 * kBlock);
  ASSERT_EQ(c.table->ReadChain(3, 0, 3 * kBlock, back.data(), &done), kQssOk);
  EXPECT_EQ(back, data);
  // Block 7 holds bytes 512..1023.
  const auto bytes = c.array->Bytes();
  EXPECT_TRUE(std::equal(data.begin() + kBlock, data.begin() + 2 * kBlock, bytes.begin() + kDataOffset + 6 * kBlock));
}

TEST(BlockAllocationTableTest, PastTheChainsEndReadsNothingAndWritesAppend) {
  Container c(20);
  SetFreeList(c.table.get(), {10, 11, 12, 13, 14});
  LinkChain(c.table.get(), {3});
  std::vector<std::uint8_t> buffer(100, 0x5A);
  std::int32_t done = -1;
  EXPECT_EQ(c.table->ReadChain(3, 2 * kBlock, 100, buffer.data(), &done), kQssOk);
  EXPECT_EQ(done, 0);
  EXPECT_TRUE(c.array->reads.empty());
  // Reading across the end reads what the chain has.
  EXPECT_EQ(c.table->ReadChain(3, kBlock - 10, 100, buffer.data(), &done), kQssOk);
  EXPECT_EQ(done, 10);

  c.array->ClearLog();
  ASSERT_EQ(c.table->WriteChain(3, 2 * kBlock + 5, 100, buffer.data(), &done), kQssOk);
  EXPECT_EQ(done, 100);
  EXPECT_EQ(ChainOf(c.table.get(), 3), (Chain{3, 10, 11}));
  // Block 10 is skipped, not written; block 11 gets the bytes.
  EXPECT_EQ(c.array->writes.back(), (CountingByteArray::Transfer{kDataOffset + 10 * kBlock + 5, 100}));
  EXPECT_EQ(FreeList(c.table.get()), (Chain{12, 13, 14}));

  EXPECT_EQ(c.table->ReadChain(3, -1, 10, buffer.data(), &done), kQssInvalidArgument);
  EXPECT_EQ(c.table->ReadChain(3, 0, -1, buffer.data(), &done), kQssInvalidArgument);
  EXPECT_EQ(c.table->WriteChain(-1, 0, 10, buffer.data(), &done), kQssNotAContainer);
}

TEST(BlockAllocationTableTest, AShortTransferEndsTheChainTransfer) {
  Container c(10);
  LinkChain(c.table.get(), {3, 5, 7});
  std::vector<std::uint8_t> buffer(3 * kBlock);
  c.array->failReads = kQssInvalidArgument;
  std::int32_t done = -1;
  EXPECT_EQ(c.table->ReadChain(3, 0, 3 * kBlock, buffer.data(), &done), kQssInvalidArgument);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(c.array->reads.size(), 1u);
}

TEST(BlockAllocationTableTest, FlushWritesOnlyDirtyTableBlocksAndDestructorFlushes) {
  Container c;
  std::vector<std::int64_t> out(300);
  ASSERT_EQ(c.table->AllocateBlocks(-1, 300, out.data(), nullptr), kQssOk);  // table of 3 blocks
  Chain tableChain = ChainOf(c.table.get(), 1);
  ASSERT_EQ(tableChain.size(), 3u);
  c.array->ClearLog();
  const std::int64_t listed[] = {out[299]};
  ASSERT_EQ(c.table->FreeBlocks(out[0], 1, listed), kQssOk);
  EXPECT_TRUE(c.array->writes.empty());  // freeing does not flush
  EXPECT_EQ(c.table->Flush(), kQssOk);
  // out[299] lies in the third table block's range, entry 0 in the first.
  EXPECT_EQ(c.array->writes, (std::vector<CountingByteArray::Transfer>{
                                 {kDataOffset, 512}, {kDataOffset + (tableChain[2] - 1) * kBlock, 512}}));
  c.array->ClearLog();
  EXPECT_EQ(c.table->Flush(), kQssOk);
  EXPECT_TRUE(c.array->writes.empty());

  const std::int64_t second[] = {out[298]};
  ASSERT_EQ(c.table->FreeBlocks(out[0], 1, second), kQssOk);
  c.table.Reset();
  EXPECT_EQ(c.array->writes.size(), 2u);
  auto reopened = OpenTable(c.array.get());
  ASSERT_TRUE(reopened->valid());
  EXPECT_EQ(ChainOf(reopened.get(), out[0]).size(), 298u);
}

// Written behind, allocations (growth of the table included) write no table
// block and only grow the array; the next flush writes every changed block
// once, and the table reads back as it was built.
TEST(BlockAllocationTableTest, WrittenBehindAllocationsReachTheArrayAtTheFlush) {
  Container c;
  c.table->SetWriteBehind(true);
  std::vector<std::int64_t> out(300);
  std::int64_t start = -1;
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(c.table->AllocateBlocks(start, 1, &out[i], nullptr), kQssOk);
    if (start == -1) start = out[0];
  }
  const Chain tableChain = ChainOf(c.table.get(), 1);
  ASSERT_EQ(tableChain.size(), 3u);
  EXPECT_TRUE(c.array->writes.empty());
  std::int64_t size = 0;
  ASSERT_EQ(c.array->GetSize(&size), kQssOk);
  EXPECT_GE(size, kDataOffset + out[299] * kBlock);
  EXPECT_EQ(c.table->Flush(), kQssOk);
  EXPECT_EQ(c.array->writes.size(), 3u);
  c.table.Reset();
  auto reopened = OpenTable(c.array.get());
  ASSERT_TRUE(reopened->valid());
  EXPECT_EQ(ChainOf(reopened.get(), start), out);
}

// ---- Corrupt tables: failure codes, never a hang ----

TEST(BlockAllocationTableCorruptionTest, CyclesEndWithAFailure) {
  Container c(20);
  LinkChain(c.table.get(), {5, 6});
  {
    CLockGuard guard(c.table->lock());
    c.table->SetNext(6, 5);  // 5 -> 6 -> 5 -> ...
  }
  std::vector<std::int64_t> list(1000);
  std::int32_t got = 0;
  EXPECT_EQ(c.table->GetChain(5, 1000, list.data(), &got), kQssNotAContainer);
  std::vector<std::uint8_t> buffer(100);
  // A link to block 0 (the free list's head, no block) breaks the chain: the
  // blocks before the one holding it are listed, then -1.
  LinkChain(c.table.get(), {8, 9});
  {
    CLockGuard guard(c.table->lock());
    c.table->SetNext(9, 0);
  }
  EXPECT_EQ(c.table->GetChain(8, 1000, list.data(), &got), kQssNotAContainer);
  EXPECT_EQ(got, 1);
  EXPECT_EQ((Chain{list[0], list[1]}), (Chain{8, -1}));
  std::int32_t done = 0;
  EXPECT_EQ(c.table->ReadChain(5, 1LL << 40, 100, buffer.data(), &done), kQssNotAContainer);
  EXPECT_EQ(c.table->WriteChain(5, 1LL << 40, 100, buffer.data(), &done), kQssNotAContainer);
  std::int64_t out = 0;
  EXPECT_EQ(c.table->AllocateBlocks(5, 1, &out, nullptr), kQssNotAContainer);
  const std::int64_t listed[] = {9};
  EXPECT_EQ(c.table->FreeBlocks(5, 1, listed), kQssNotAContainer);
  EXPECT_EQ(c.table->FreeBlocks(5, -1, nullptr), kQssNotAContainer);
}

TEST(BlockAllocationTableCorruptionTest, BrokenFreeListsAndOverlapsAreRefused) {
  Container c(20);
  {
    CLockGuard guard(c.table->lock());
    c.table->SetNext(0, 3);
    c.table->SetNext(3, 4);
    c.table->SetNext(4, 3);  // a free list in a circle
  }
  std::vector<std::int64_t> out(5);
  EXPECT_EQ(c.table->AllocateBlocks(-1, 5, out.data(), nullptr), kQssNotAContainer);
  {
    CLockGuard guard(c.table->lock());
    EXPECT_EQ(c.table->GetNext(0), 3);  // nothing taken
  }
  // Freeing a block that is already free.
  SetFreeList(c.table.get(), {5, 9});
  LinkChain(c.table.get(), {8, 9});
  EXPECT_EQ(c.table->FreeBlocks(8, -1, nullptr), kQssNotAContainer);
  // Block numbers that are no blocks.
  EXPECT_EQ(c.table->GetChain(0, 5, out.data(), nullptr), kQssNotAContainer);
  EXPECT_EQ(c.table->GetChain(500, 5, out.data(), nullptr), kQssNotAContainer);
  EXPECT_EQ(c.table->GetChain(-7, 5, out.data(), nullptr), kQssNotAContainer);
  std::uint8_t byte = 0;
  EXPECT_EQ(c.table->ReadChain(0, 0, 1, &byte, nullptr), kQssNotAContainer);
  EXPECT_EQ(c.table->AllocateBlocks(1000, 1, out.data(), nullptr), kQssNotAContainer);
  EXPECT_EQ(c.table->FreeBlocks(0, -1, nullptr), kQssNotAContainer);
  {
    CLockGuard guard(c.table->lock());
    EXPECT_EQ(c.table->GetNext(-1), -1);
    EXPECT_EQ(c.table->GetNext(1 << 20), -1);
  }
  std::int32_t got = 5;
  EXPECT_EQ(c.table->GetChain(-1, 5, out.data(), &got), kQssOk);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(out[0], -1);
}

}  // namespace

}  // namespace qss

#include "qss/CStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "qss/CLockGuard.h"
#include "qss/CQssRef.h"
#include "ContainerTesting.h"
#include "Container/CBlockAllocationTable.h"
#include "Container/CBlockChainCache.h"
#include "qss/CStorageEntry.h"
#include "qss/CreateContainer.h"
#include "CountingByteArray.h"

namespace qss {

namespace {

using qss_testing::ChainOf;
using qss_testing::FreeList;
using qss_testing::Pattern;
using Bytes = std::vector<std::uint8_t>;

// A stream whose chain cache the tests can look at.
class InspectableStream : public CStream {
 public:
  CBlockChainCache* cache() const { return chainCache_.get(); }
};

struct Fixture {
  explicit Fixture(std::int32_t entryWidth = 4, std::int32_t blockSize = 512) {
    EXPECT_EQ(CreateContainer(array.get(), entryWidth, blockSize), kQssOk);
    table = qss_testing::OpenTable(array.get());
    EXPECT_TRUE(table->valid());
  }
  CQssRef<InspectableStream> Open(CStorageEntry* entry) {
    CQssRef<InspectableStream> stream(new InspectableStream);
    EXPECT_EQ(stream->Attach(nullptr, table.get(), entry), kQssOk);
    return stream;
  }
  CQssRef<CountingByteArray> array{new CountingByteArray};
  CQssRef<CBlockAllocationTable> table;
};

CQssRef<CStorageEntry> NewEntry() {
  CQssRef<CStorageEntry> entry(new CStorageEntry);
  entry->SetFlags(kEntryStream);
  entry->dirty = false;
  return entry;
}

Bytes ReadAll(CStream* stream, std::int64_t size, std::int32_t piece) {
  Bytes out(static_cast<std::size_t>(size));
  EXPECT_EQ(stream->Seek(0, kSeekBegin, nullptr), kQssOk);
  std::int64_t at = 0;
  while (at < size) {
    std::uint32_t got = 0;
    EXPECT_EQ(stream->Read(out.data() + at, piece, &got), kQssOk);
    if (got == 0) break;
    at += got;
  }
  EXPECT_EQ(at, size);
  return out;
}

TEST(StreamTest, EmptyStreamFirstWriteAllocatesAndRecordsTheFirstBlock) {
  Fixture f;
  auto entry = NewEntry();
  auto stream = f.Open(entry.get());
  EXPECT_TRUE(entry->open);
  std::uint8_t byte = 0;
  std::uint32_t got = 7;
  EXPECT_EQ(stream->Read(&byte, 0, &got), kQssOk);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(stream->Read(&byte, 1, &got), kQssOk);
  EXPECT_EQ(got, 0u);

  std::uint32_t written = 9;
  EXPECT_EQ(stream->Write("x", 0, &written), kQssOk);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(stream->Write("x", -5, &written), kQssOk);
  EXPECT_EQ(entry->FirstBlock(), -1);
  EXPECT_FALSE(entry->dirty);

  ASSERT_EQ(stream->Write("hello", 5, &written), kQssOk);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(entry->FirstBlock(), 2);
  EXPECT_EQ(entry->Size(), 5);
  EXPECT_TRUE(entry->dirty);
  EXPECT_EQ(stream->position(), 5);

  char back[8] = {};
  std::int64_t position = -1;
  EXPECT_EQ(stream->Seek(0, kSeekBegin, &position), kQssOk);
  EXPECT_EQ(position, 0);
  ASSERT_EQ(stream->Read(back, 8, &got), kQssOk);  // cut to the length
  EXPECT_EQ(got, 5u);
  EXPECT_STREQ(back, "hello");
  EXPECT_EQ(stream->Read(back, 8, &got), kQssOk);  // at the end
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(stream->Read(back, -1, &got), kQssInvalidArgument);
  EXPECT_EQ(stream->SetSize(-1), kQssInvalidArgument);

  stream.Reset();
  EXPECT_FALSE(entry->open);
  EXPECT_TRUE(entry->dirty);
}

TEST(StreamTest, SeekOrigins) {
  Fixture f;
  auto entry = NewEntry();
  auto stream = f.Open(entry.get());
  const Bytes data(100, 1);
  ASSERT_EQ(stream->Write(data.data(), 100, nullptr), kQssOk);
  std::int64_t position = 0;
  EXPECT_EQ(stream->Seek(10, kSeekEnd, &position), kQssOk);
  EXPECT_EQ(position, 90);
  EXPECT_EQ(stream->Seek(-10, kSeekEnd, &position), kQssOk);
  EXPECT_EQ(position, 110);
  EXPECT_EQ(stream->Seek(-20, kSeekCurrent, &position), kQssOk);
  EXPECT_EQ(position, 90);
  EXPECT_EQ(stream->Seek(5, 3, &position), kQssOk);
  EXPECT_EQ(position, 90);
  // Positions that cannot be served are refused by the transfers, not Seek.
  EXPECT_EQ(stream->Seek(INT64_MAX, kSeekBegin, &position), kQssOk);
  EXPECT_EQ(stream->Seek(10, kSeekCurrent, &position), kQssOk);
  EXPECT_LT(position, 0);
  std::uint8_t byte = 0;
  EXPECT_EQ(stream->Read(&byte, 1, nullptr), kQssBeforeHead);
  EXPECT_EQ(stream->Write(&byte, 1, nullptr), kQssInvalidArgument);
  EXPECT_EQ(stream->Seek(INT64_MAX - 3, kSeekBegin, &position), kQssOk);
  EXPECT_EQ(stream->Write(data.data(), 10, nullptr), kQssInvalidArgument);
  EXPECT_EQ(entry->Size(), 100);
}

TEST(StreamTest, ReadBeforeTheHeadOffsetAndReadOnlyEntries) {
  Fixture f;
  auto entry = NewEntry();
  qss_testing::SetHeadOffset(entry.get(), 10);
  auto stream = f.Open(entry.get());
  std::uint8_t buffer[4] = {};
  std::uint32_t got = 3;
  EXPECT_EQ(stream->Read(buffer, 4, &got), kQssBeforeHead);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(stream->Seek(10, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Write("abcd", 4, nullptr), kQssOk);
  EXPECT_EQ(entry->Size(), 14);
  EXPECT_EQ(stream->Seek(12, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Read(buffer, 4, &got), kQssOk);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::memcmp(buffer, "cd", 2), 0);

  entry->readOnly = true;
  std::uint32_t written = 5;
  EXPECT_EQ(stream->Write("zz", 2, &written), kQssReadOnly);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(stream->SetSize(13), kQssOk);  // resizing does not ask
  EXPECT_EQ(entry->Size(), 13);
}

// The chain starts at the block holding the head offset: a write there
// starts in the first block of the chain, wherever the head lies.
TEST(StreamTest, WritesFromAHeadOffsetPastTheFirstBlocksLandInTheChain) {
  Fixture f;
  auto entry = NewEntry();
  const std::int64_t head = 2 * 512 + 100;
  qss_testing::SetHeadOffset(entry.get(), head);
  auto stream = f.Open(entry.get());
  const Bytes data = Pattern(3 * 512, 11);
  ASSERT_EQ(stream->Seek(head, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Write(data.data(), static_cast<std::int32_t>(data.size()), nullptr), kQssOk);
  EXPECT_EQ(entry->Size(), head + 3 * 512);
  // 100 + 1536 bytes from the start of the chain's first block: 4 blocks.
  EXPECT_EQ(ChainOf(f.table.get(), entry->FirstBlock()).size(), 4u);
  // Again in the first block, and again past it.
  ASSERT_EQ(stream->Seek(head + 10, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Write("first", 5, nullptr), kQssOk);
  ASSERT_EQ(stream->Seek(head + 700, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Write("later", 5, nullptr), kQssOk);
  Bytes expected = data;
  std::memcpy(expected.data() + 10, "first", 5);
  std::memcpy(expected.data() + 700, "later", 5);
  Bytes read(expected.size());
  ASSERT_EQ(stream->Seek(head, kSeekBegin, nullptr), kQssOk);
  std::uint32_t got = 0;
  ASSERT_EQ(stream->Read(read.data(), static_cast<std::int32_t>(read.size()), &got), kQssOk);
  EXPECT_EQ(got, read.size());
  EXPECT_EQ(read, expected);
}

TEST(StreamTest, SetSizeGrowsShrinksAndFrees) {
  Fixture f;
  auto entry = NewEntry();
  auto stream = f.Open(entry.get());
  ASSERT_EQ(stream->Write("a", 1, nullptr), kQssOk);
  const std::int64_t first = entry->FirstBlock();
  ASSERT_EQ(stream->SetSize(512), kQssOk);  // still one block
  EXPECT_EQ(ChainOf(f.table.get(), first).size(), 1u);
  ASSERT_EQ(stream->SetSize(513), kQssOk);
  EXPECT_EQ(ChainOf(f.table.get(), first).size(), 2u);
  ASSERT_EQ(stream->SetSize(5 * 512), kQssOk);
  EXPECT_EQ(ChainOf(f.table.get(), first).size(), 5u);
  entry->dirty = false;
  ASSERT_EQ(stream->SetSize(5 * 512), kQssOk);
  EXPECT_FALSE(entry->dirty);
  const std::size_t freeBefore = FreeList(f.table.get()).size();
  ASSERT_EQ(stream->SetSize(700), kQssOk);
  EXPECT_EQ(ChainOf(f.table.get(), first).size(), 2u);
  EXPECT_EQ(FreeList(f.table.get()).size(), freeBefore + 3);
  ASSERT_EQ(stream->SetSize(0), kQssOk);
  EXPECT_EQ(entry->FirstBlock(), -1);
  EXPECT_EQ(entry->Size(), 0);
  EXPECT_EQ(FreeList(f.table.get()).size(), freeBefore + 5);

  // Growing an empty stream gives it its first block.
  ASSERT_EQ(stream->SetSize(1000), kQssOk);
  EXPECT_NE(entry->FirstBlock(), -1);
  EXPECT_EQ(ChainOf(f.table.get(), entry->FirstBlock()).size(), 2u);

  // Without an entry there is nothing to resize.
  CQssRef<CStream> unattached(new CStream);
  EXPECT_EQ(unattached->SetSize(10), kQssInvalidRequest);
}

TEST(StreamTest, WritingPastTheEndAppendsBlocks) {
  Fixture f;
  auto entry = NewEntry();
  auto stream = f.Open(entry.get());
  ASSERT_EQ(stream->Write("a", 1, nullptr), kQssOk);
  EXPECT_EQ(stream->Seek(3 * 512 + 7, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Write("bc", 2, nullptr), kQssOk);
  EXPECT_EQ(entry->Size(), 3 * 512 + 9);
  EXPECT_EQ(ChainOf(f.table.get(), entry->FirstBlock()).size(), 4u);
  char back[2] = {};
  EXPECT_EQ(stream->Seek(3 * 512 + 7, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Read(back, 2, nullptr), kQssOk);
  EXPECT_EQ(std::memcmp(back, "bc", 2), 0);
}

TEST(StreamTest, StreamWrittenInOneGoReadsBackInOneTransfer) {
  Fixture f;
  auto entry = NewEntry();
  auto stream = f.Open(entry.get());
  const Bytes data = Pattern(100 * 512 + 17, 3);
  std::uint32_t written = 0;
  ASSERT_EQ(stream->Write(data.data(), static_cast<std::int32_t>(data.size()), &written), kQssOk);
  EXPECT_EQ(written, data.size());
  f.array->ClearLog();
  Bytes back(data.size());
  EXPECT_EQ(stream->Seek(0, kSeekBegin, nullptr), kQssOk);
  std::uint32_t got = 0;
  ASSERT_EQ(stream->Read(back.data(), static_cast<std::int32_t>(back.size()), &got), kQssOk);
  EXPECT_EQ(got, data.size());
  EXPECT_EQ(back, data);
  EXPECT_EQ(f.array->reads.size(), 1u);
}

TEST(StreamTest, ChainCacheHoldsCompleteSegmentsAndDropsThemAfterAShrink) {
  Fixture f;
  auto entry = NewEntry();
  auto stream = f.Open(entry.get());
  const Bytes data = Pattern(1500 * 512, 4);
  // Written in pieces, interleaved with another stream, so the chain is not
  // one run and mapping mistakes show.
  auto otherEntry = NewEntry();
  auto other = f.Open(otherEntry.get());
  for (std::size_t at = 0; at < data.size(); at += 7 * 512) {
    const auto piece = static_cast<std::int32_t>(std::min<std::size_t>(7 * 512, data.size() - at));
    ASSERT_EQ(stream->Write(data.data() + at, piece, nullptr), kQssOk);
    ASSERT_EQ(other->Write("z", 1, nullptr), kQssOk);
  }
  ASSERT_EQ(entry->Size(), 1500 * 512);
  const std::vector<std::int64_t> chain = ChainOf(f.table.get(), entry->FirstBlock());
  ASSERT_EQ(chain.size(), 1500u);

  CBlockChainCache* cache = stream->cache();
  std::int64_t block = 0;
  std::int64_t offset = 0;
  cache->MapPosition(1200 * 512 + 7, &block, &offset);
  EXPECT_EQ(cache->segmentCount(), 1);
  EXPECT_EQ(block, chain[1023]);
  EXPECT_EQ(offset, (1200 - 1023) * 512 + 7);
  cache->MapPosition(1000 * 512 + 3, &block, &offset);
  EXPECT_EQ(block, chain[1000]);
  EXPECT_EQ(offset, 3);

  EXPECT_EQ(ReadAll(stream.get(), entry->Size(), 3 * 512 + 11), data);
  Bytes tail(600);
  EXPECT_EQ(stream->Seek(1400 * 512 - 100, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream->Read(tail.data(), 600, nullptr), kQssOk);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), data.begin() + 1400 * 512 - 100));

  ASSERT_EQ(stream->SetSize(1000 * 512), kQssOk);
  EXPECT_EQ(cache->segmentCount(), 0);
  EXPECT_EQ(ChainOf(f.table.get(), entry->FirstBlock()).size(), 1000u);
  EXPECT_EQ(ReadAll(stream.get(), entry->Size(), 4096), Bytes(data.begin(), data.begin() + 1000 * 512));
}

TEST(StreamTest, ContainersRoundTripThroughStreamsForEveryLayout) {
  for (std::int32_t width : {2, 4, 8}) {
    for (std::int32_t blockSize : {256, 512, 4096, 65536}) {
      SCOPED_TRACE(testing::Message() << "width " << width << " block " << blockSize);
      CQssRef<CMemoryByteArray> array(new CMemoryByteArray);
      ASSERT_EQ(CreateContainer(array.get(), width, blockSize), kQssOk);
      const Bytes first = Pattern(static_cast<std::size_t>(blockSize) * 5 + 77, 10);
      const Bytes second = Pattern(static_cast<std::size_t>(blockSize) * 3 + 1, 11);
      Bytes records[2];
      {
        auto table = qss_testing::OpenTable(array.get());
        ASSERT_TRUE(table->valid());
        auto entryA = NewEntry();
        auto entryB = NewEntry();
        CQssRef<CStream> a(new CStream);
        CQssRef<CStream> b(new CStream);
        EXPECT_EQ(a->Attach(nullptr, table.get(), entryA.get()), kQssOk);
        EXPECT_EQ(b->Attach(nullptr, table.get(), entryB.get()), kQssOk);
        // Interleaved pieces of odd sizes, a shrink and a regrowth.
        const std::size_t piece = static_cast<std::size_t>(blockSize) / 3 + 5;
        for (std::size_t at = 0; at < std::max(first.size(), second.size()); at += piece) {
          if (at < first.size()) {
            const auto n = static_cast<std::int32_t>(std::min(piece, first.size() - at));
            ASSERT_EQ(a->Write(first.data() + at, n, nullptr), kQssOk);
          }
          if (at < second.size()) {
            const auto n = static_cast<std::int32_t>(std::min(piece, second.size() - at));
            ASSERT_EQ(b->Write(second.data() + at, n, nullptr), kQssOk);
          }
        }
        ASSERT_EQ(b->SetSize(blockSize + 3), kQssOk);
        EXPECT_EQ(b->Seek(blockSize + 3, kSeekBegin, nullptr), kQssOk);
        ASSERT_EQ(b->Write(second.data() + blockSize + 3,
                           static_cast<std::int32_t>(second.size()) - blockSize - 3, nullptr),
                  kQssOk);
        records[0].assign(entryA->record, entryA->record + kEntryRecordSize);
        records[1].assign(entryB->record, entryB->record + kEntryRecordSize);
      }
      auto table = qss_testing::OpenTable(array.get());
      ASSERT_TRUE(table->valid()) << table->status();
      const Bytes* expected[2] = {&first, &second};
      for (int i = 0; i < 2; ++i) {
        auto entry = NewEntry();
        std::memcpy(entry->record, records[i].data(), kEntryRecordSize);
        CQssRef<CStream> stream(new CStream);
        EXPECT_EQ(stream->Attach(nullptr, table.get(), entry.get()), kQssOk);
        EXPECT_EQ(ReadAll(stream.get(), entry->Size(), blockSize + 1), *expected[i]);
      }
    }
  }
}

// A chain of a run, a scattered stretch and another run maps every position
// to its block, whichever way each segment is held, and a circle closed
// from the scattered stretch back into the first run ends the chain there.
TEST(StreamTest, ChainCacheMapsRunsAndScatteredStretchesAlike) {
  constexpr std::int64_t kSegment = CBlockChainCache::kSegmentBlocks;
  Fixture f;
  // The growth puts the table's own new blocks first; the chain takes the
  // consecutive blocks after them.
  std::vector<std::int64_t> blocks(4 * kSegment);
  ASSERT_EQ(f.table->AllocateBlocks(-1, static_cast<std::int32_t>(blocks.size()), blocks.data(), nullptr), kQssOk);
  std::vector<std::int64_t> chain(blocks.end() - 3 * kSegment - 5, blocks.end());
  for (std::size_t i = 1; i < chain.size(); ++i) ASSERT_EQ(chain[i], chain[i - 1] + 1);
  std::reverse(chain.begin() + kSegment, chain.begin() + 2 * kSegment);
  qss_testing::LinkChain(f.table.get(), chain);
  auto entry = NewEntry();
  entry->SetFirstBlock(chain[0]);
  entry->SetSize(static_cast<std::int64_t>(chain.size()) * 512);
  auto stream = f.Open(entry.get());
  CBlockChainCache* cache = stream->cache();
  for (std::int64_t index : {std::int64_t{0}, kSegment - 1, kSegment, kSegment + 77, 2 * kSegment - 1, 2 * kSegment,
                             3 * kSegment - 1, 3 * kSegment + 4}) {
    std::int64_t block = 0;
    std::int64_t offset = 0;
    cache->MapPosition(index * 512 + 9, &block, &offset);
    EXPECT_EQ(block * 512 + offset, chain[static_cast<std::size_t>(index)] * 512 + 9) << index;
  }
  EXPECT_EQ(cache->segmentCount(), 3);

  {
    CLockGuard guard(f.table->lock());
    f.table->SetNext(chain[2 * kSegment - 1], chain[100]);
  }
  // The search finds the circle once it went round it: the length claims
  // a fourth segment for that.
  stream.Reset();
  entry->SetSize(4 * kSegment * 512);
  auto circling = f.Open(entry.get());
  cache = circling->cache();
  std::int64_t block = 0;
  std::int64_t offset = 0;
  cache->MapPosition(4 * kSegment * 512 - 1, &block, &offset);
  EXPECT_EQ(cache->segmentCount(), 2);
  EXPECT_EQ(cache->BytesBeforeCycle(0), 2 * kSegment * 512);
  EXPECT_EQ(cache->BytesBeforeCycle(2 * kSegment * 512), 0);
}

TEST(StreamCorruptionTest, CorruptRecordsAndChainsFailWithoutHanging) {
  Fixture f;
  std::vector<std::int64_t> blocks(2);
  ASSERT_EQ(f.table->AllocateBlocks(-1, 2, blocks.data(), nullptr), kQssOk);
  qss_testing::LinkChain(f.table.get(), {blocks[0], blocks[1]});
  {
    CLockGuard guard(f.table->lock());
    f.table->SetNext(blocks[1], blocks[0]);  // 2 -> 3 -> 2 -> ...
  }
  auto entry = NewEntry();
  entry->SetFirstBlock(blocks[0]);
  entry->SetSize(1LL << 50);  // far more than the table could hold
  auto stream = f.Open(entry.get());
  Bytes buffer(4096);
  EXPECT_EQ(stream->Seek((1LL << 49), kSeekBegin, nullptr), kQssOk);
  EXPECT_EQ(stream->Read(buffer.data(), 4096, nullptr), kQssNotAContainer);
  EXPECT_EQ(stream->cache()->segmentCount(), 0);
  EXPECT_EQ(stream->SetSize(100), kQssNotAContainer);
  // Read from the start, the circle yields no more than the container's
  // three blocks hold (not the table's 128 entries' worth), then fails.
  EXPECT_EQ(stream->Seek(0, kSeekBegin, nullptr), kQssOk);
  std::int64_t total = 0;
  QssResult result = kQssOk;
  for (int i = 0; i < 200 && result == kQssOk; ++i) {
    std::uint32_t piece = 0;
    result = stream->Read(buffer.data(), 1000, &piece);
    total += piece;
  }
  EXPECT_EQ(result, kQssNotAContainer);
  EXPECT_EQ(f.table->ChainCapacity(), 3);
  EXPECT_EQ(total, 3 * 512);

  // A first block that is no block.
  auto zero = NewEntry();
  zero->SetFirstBlock(0);
  zero->SetSize(10);
  auto zeroStream = f.Open(zero.get());
  EXPECT_EQ(zeroStream->Read(buffer.data(), 10, nullptr), kQssNotAContainer);
  EXPECT_EQ(zeroStream->Write(buffer.data(), 10, nullptr), kQssNotAContainer);

  // A chain shorter than the recorded length: what is there is read, then
  // the missing part is reported instead of endless empty successes.
  std::int64_t single = 0;
  ASSERT_EQ(f.table->AllocateBlocks(-1, 1, &single, nullptr), kQssOk);
  auto longer = NewEntry();
  longer->SetFirstBlock(single);
  longer->SetSize(10 * 512);
  auto longerStream = f.Open(longer.get());
  std::uint32_t got = 0;
  EXPECT_EQ(longerStream->Read(buffer.data(), 1024, &got), kQssOk);
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(longerStream->Read(buffer.data(), 1024, &got), kQssNotAContainer);
  EXPECT_EQ(got, 0u);

  // A negative length or head offset in the record.
  auto negative = NewEntry();
  negative->SetSize(-5);
  auto negativeStream = f.Open(negative.get());
  EXPECT_EQ(negativeStream->Write("a", 1, nullptr), kQssNotAContainer);
  EXPECT_EQ(negativeStream->SetSize(10), kQssNotAContainer);
}

}  // namespace

}  // namespace qss

// Containers whose bytes lie, found by fuzzing: each case is a header or
// table shape that once crashed the reader or made it allocate what a field
// claimed. Whatever the bytes say, opening ends with a result code.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ContainerTesting.h"
#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "Format/Format.h"
#include "qss/CreateContainer.h"

namespace qss {

namespace {

using qss_testing::GetEntry;
using qss_testing::PutEntry;
using qss_testing::PutRecord;
using qss_testing::PutRootRecord;
using qss_testing::RecordAt;
using qss_testing::RootRecordOf;

// A header whose root record is all zeros but for an empty chain.
std::vector<std::uint8_t> Header(std::int32_t entryWidth, std::int32_t blockSize, std::int32_t dataOffset,
                                 std::int64_t tableStart, std::size_t totalSize) {
  ContainerHeader header;
  header.entryWidth = entryWidth;
  header.blockSize = blockSize;
  header.dataOffset = dataOffset;
  header.tableStart = tableStart;
  std::vector<std::uint8_t> bytes(std::max<std::size_t>(totalSize, kContainerHeaderSize), 0);
  header.EncodeTo(bytes.data());
  bytes.resize(totalSize);
  return bytes;
}

QssResult OpenStatus(std::vector<std::uint8_t> bytes, bool* valid) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(std::move(bytes)));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  *valid = root->valid();
  return root->status();
}

// The table chain goes on after a block that the end of the byte array cut
// short: that block added fewer bytes than a block, and the loader once
// walked past the blocks it had made room for.
TEST(UntrustedContainerTest, TableChainAfterAShortBlockIsRefused) {
  // 512-byte blocks from 512; the byte array ends halfway through block 2.
  auto bytes = Header(4, 512, 512, /*tableStart=*/2, 512 + 512 + 256);
  // Block 2 holds the first table block: entry 2 (its own link) leads on to block 1.
  PutEntry(bytes, 1024, 4, 2, 1);
  bool valid = true;
  EXPECT_EQ(OpenStatus(bytes, &valid), kQssNotAContainer);
  EXPECT_FALSE(valid);
}

// A header that claims a block of a gigabyte on a byte array of a few
// hundred bytes: the table is at least one block, and it must not be made.
TEST(UntrustedContainerTest, BlockLargerThanTheByteArrayIsRefusedWithoutAllocatingIt) {
  bool valid = true;
  // Block 1 starts inside the byte array, so this is no container; starting
  // past its end, the container is cut short.
  EXPECT_EQ(OpenStatus(Header(4, 1 << 30, 512, 1, 700), &valid), kQssNotAContainer);
  EXPECT_FALSE(valid);
  EXPECT_EQ(OpenStatus(Header(4, 1 << 30, 1024, 1, 700), &valid), kQssTruncated);
  EXPECT_FALSE(valid);
  EXPECT_EQ(OpenStatus(Header(8, 1 << 30, 512, -1, 700), &valid), kQssNotAContainer);
  EXPECT_FALSE(valid);
  // Small blocks stay allowed on a byte array that holds none of them.
  EXPECT_EQ(OpenStatus(Header(4, 4096, 512, -1, 300), &valid), kQssOk);
  EXPECT_TRUE(valid);
}

// A nested container whose entry claims a length of a terabyte while its
// chain holds a few blocks: the nested table would size itself by the claim.
// The open fails, and the entry is left closed.
TEST(UntrustedContainerTest, NestedContainerLongerThanItsChainIsRefused) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  ASSERT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    CQssRef<CRootStorage> nested;
    ASSERT_EQ(root->CreateNestedContainer(u"inner", 4, 256, nested.Receive()), kQssOk);
    CQssRef<CStream> stream;
    ASSERT_EQ(nested->CreateStream(u"s", false, stream.Receive()), kQssOk);
  }
  std::vector<std::uint8_t> bytes = array->Bytes();
  // The root directory's one record, named "inner".
  std::size_t record = 0;
  for (std::size_t at = 512; at + kEntryRecordSize <= bytes.size(); at += kEntryRecordSize) {
    const EntryRecord candidate = RecordAt(bytes, at);
    if (candidate.Name() == u"inner" && candidate.flags == kEntryNestedContainer) {
      record = at;
      break;
    }
  }
  ASSERT_NE(record, 0u);
  const auto refused = [](const std::vector<std::uint8_t>& damagedBytes) {
    CQssRef<CMemoryByteArray> damaged(new CMemoryByteArray(damagedBytes));
    CQssRef<CRootStorage> root(new CRootStorage(damaged.get()));
    ASSERT_TRUE(root->valid());
    CStorage* nested = nullptr;
    EXPECT_EQ(root->OpenStorage(u"inner", 0, &nested), kQssNotAContainer);
    EXPECT_EQ(nested, nullptr);
    CQssRef<CStream> raw;
    EXPECT_EQ(root->OpenStream(u"inner", 0, raw.Receive()), kQssOk);  // not left open
  };
  std::vector<std::uint8_t> longer = bytes;
  EntryRecord inner = RecordAt(bytes, record);
  inner.size = std::int64_t{1} << 40;
  PutRecord(longer, record, inner);
  refused(longer);

  // The chain closed into a circle backs any length up to the table's 128
  // entries, but the container holds fewer blocks than the length needs.
  const std::int64_t first = inner.firstBlock;
  std::int64_t last = first;
  for (int steps = 0; steps < 128 && GetEntry(bytes, 512, 4, last) != -1; ++steps) last = GetEntry(bytes, 512, 4, last);
  PutEntry(bytes, 512, 4, last, first);
  const std::int64_t blocksHeld = (static_cast<std::int64_t>(bytes.size()) - 512) / 512;
  inner.size = (blocksHeld + 10) * 512;
  PutRecord(bytes, record, inner);
  refused(bytes);
}

// A directory whose chain runs in a circle while its length claims a
// terabyte: the storage holds no more records than the container's blocks
// can. Going round the circle up to the table's bound once made a 16 KB
// container load 65536 records (and larger blocks, gigabytes of them).
TEST(UntrustedContainerTest, CircularDirectoryHoldsNoMoreThanTheContainer) {
  constexpr std::int32_t kBlock = 4096;
  auto bytes = Header(2, kBlock, kBlock, /*tableStart=*/1, 4 * kBlock);  // blocks 1 to 3
  PutEntry(bytes, kBlock, 2, 0, -1);  // no free blocks
  PutEntry(bytes, kBlock, 2, 1, -1);  // the table is block 1
  PutEntry(bytes, kBlock, 2, 2, 2);   // block 2 leads back to itself
  PutEntry(bytes, kBlock, 2, 3, -1);
  EntryRecord rootRecord = RootRecordOf(bytes);
  rootRecord.flags = kEntryStorage;
  rootRecord.firstBlock = 2;
  rootRecord.size = std::int64_t{1} << 40;
  PutRootRecord(bytes, rootRecord);

  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_TRUE(root->valid());
  EXPECT_GT(root->EntryCount(), 0);
  EXPECT_LE(root->EntryCount(), 3 * kBlock / kEntryRecordSize);
}

// The same circle in a container of thousands of blocks: the directory holds
// the records of its one distinct block, not as many as the container could
// (the walk used to go round until it had read as many blocks as the
// container holds: 4,000 times the same block here, gigabytes in a sparse
// file of a few MiB).
TEST(UntrustedContainerTest, CircularChainReadsOnlyItsDistinctBlocks) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  ASSERT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    ASSERT_TRUE(root->valid());
    // The directory gets its block before the big stream takes thousands.
    for (const char16_t* name : {u"small", u"big"}) {
      CQssRef<CStream> stream;
      ASSERT_EQ(root->CreateStream(name, false, stream.Receive()), kQssOk);
      ASSERT_EQ(stream->SetSize(name[0] == u'b' ? 4000 * 512 : 100), kQssOk);
      stream.Reset();
      ASSERT_EQ(root->Commit(), kQssOk);
    }
  }
  std::vector<std::uint8_t> bytes = array->Bytes();
  EntryRecord rootRecord = RootRecordOf(bytes);
  const std::int64_t directory = rootRecord.firstBlock;
  ASSERT_GE(directory, 1);
  ASSERT_LT(directory, 128);  // its link lies in the first table block, block 1
  PutEntry(bytes, 512, 4, directory, directory);
  rootRecord.size = std::int64_t{1} << 40;
  PutRootRecord(bytes, rootRecord);

  CQssRef<CMemoryByteArray> damaged(new CMemoryByteArray(bytes));
  CQssRef<CRootStorage> root(new CRootStorage(damaged.get()));
  ASSERT_TRUE(root->valid());
  EXPECT_EQ(root->EntryCount(), 512 / kEntryRecordSize);
  CQssRef<CStream> small;
  EXPECT_EQ(root->OpenStream(u"small", 0, small.Receive()), kQssOk);
}

}  // namespace

}  // namespace qss

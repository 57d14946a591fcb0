// Containers whose bytes lie, found by fuzzing: each case is a header or
// table shape that once crashed the reader or made it allocate what a field
// claimed. Whatever the bytes say, opening ends with a result code.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qss/CQssRef.h"
#include "Base/LittleEndian.h"
#include "qss/CMemoryByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "Container/ContainerFormat.h"
#include "qss/CreateContainer.h"

namespace qss {

namespace {

std::vector<std::uint8_t> Header(std::int32_t entryWidth, std::int32_t blockSize, std::int32_t dataOffset,
                                 std::int64_t tableStart, std::size_t totalSize) {
  std::vector<std::uint8_t> bytes(totalSize, 0);
  std::memcpy(bytes.data(), kContainerMagic, sizeof(kContainerMagic));
  StoreLittleEndian<std::int32_t>(&bytes[kHeaderEntryWidthOffset], entryWidth);
  StoreLittleEndian<std::int32_t>(&bytes[kHeaderBlockSizeOffset], blockSize);
  StoreLittleEndian<std::int32_t>(&bytes[kHeaderDataOffsetOffset], dataOffset);
  StoreLittleEndian<std::int64_t>(&bytes[kHeaderTableStartOffset], tableStart);
  StoreLittleEndian<std::int64_t>(&bytes[kRootEntryOffset + 80], -1);  // empty root directory
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
  StoreLittleEndian<std::int32_t>(&bytes[1024 + 4 * 2], 1);
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
  // The root directory's one record: name "inner", size at 88.
  std::size_t record = 0;
  for (std::size_t at = 512; at + kEntryRecordSize <= bytes.size(); at += kEntryRecordSize) {
    if (LoadLittleEndian<std::uint16_t>(&bytes[at]) == u'i' && LoadLittleEndian<std::uint16_t>(&bytes[at + 2]) == u'n' &&
        LoadLittleEndian<std::uint32_t>(&bytes[at + 64]) == (kEntryStorage | kEntryStream)) {
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
  StoreLittleEndian<std::int64_t>(&longer[record + 88], std::int64_t{1} << 40);
  refused(longer);

  // The chain closed into a circle backs any length up to the table's 128
  // entries, but the container holds fewer blocks than the length needs.
  const auto link = [&](std::int64_t block) -> std::uint8_t* { return &bytes[512 + 4 * block]; };
  const std::int64_t first = LoadLittleEndian<std::int64_t>(&bytes[record + 80]);
  std::int64_t last = first;
  for (int steps = 0; steps < 128 && LoadLittleEndian<std::int32_t>(link(last)) != -1; ++steps)
    last = LoadLittleEndian<std::int32_t>(link(last));
  StoreLittleEndian<std::int32_t>(link(last), static_cast<std::int32_t>(first));
  const std::int64_t blocksHeld = (static_cast<std::int64_t>(bytes.size()) - 512) / 512;
  StoreLittleEndian<std::int64_t>(&bytes[record + 88], (blocksHeld + 10) * 512);
  refused(bytes);
}

// A directory whose chain runs in a circle while its length claims a
// terabyte: the storage holds no more records than the container's blocks
// can. Going round the circle up to the table's bound once made a 16 KB
// container load 65536 records (and larger blocks, gigabytes of them).
TEST(UntrustedContainerTest, CircularDirectoryHoldsNoMoreThanTheContainer) {
  constexpr std::int32_t kBlock = 4096;
  auto bytes = Header(2, kBlock, kBlock, /*tableStart=*/1, 4 * kBlock);  // blocks 1 to 3
  StoreLittleEndian<std::int16_t>(&bytes[kBlock + 0], -1);  // no free blocks
  StoreLittleEndian<std::int16_t>(&bytes[kBlock + 2], -1);  // the table is block 1
  StoreLittleEndian<std::int16_t>(&bytes[kBlock + 4], 2);   // block 2 leads back to itself
  StoreLittleEndian<std::int16_t>(&bytes[kBlock + 6], -1);
  StoreLittleEndian<std::uint32_t>(&bytes[kRootEntryOffset + 64], kEntryStorage);
  StoreLittleEndian<std::int64_t>(&bytes[kRootEntryOffset + 80], 2);
  StoreLittleEndian<std::int64_t>(&bytes[kRootEntryOffset + 88], std::int64_t{1} << 40);

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
  const std::int64_t directory = LoadLittleEndian<std::int64_t>(&bytes[kRootEntryOffset + 80]);
  ASSERT_GE(directory, 1);
  ASSERT_LT(directory, 128);  // its link lies in the first table block, block 1
  StoreLittleEndian<std::int32_t>(&bytes[512 + 4 * directory], static_cast<std::int32_t>(directory));
  StoreLittleEndian<std::int64_t>(&bytes[kRootEntryOffset + 88], std::int64_t{1} << 40);

  CQssRef<CMemoryByteArray> damaged(new CMemoryByteArray(bytes));
  CQssRef<CRootStorage> root(new CRootStorage(damaged.get()));
  ASSERT_TRUE(root->valid());
  EXPECT_EQ(root->EntryCount(), 512 / kEntryRecordSize);
  CQssRef<CStream> small;
  EXPECT_EQ(root->OpenStream(u"small", 0, small.Receive()), kQssOk);
}

}  // namespace

}  // namespace qss

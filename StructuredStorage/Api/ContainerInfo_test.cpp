// The inspection calls on sound and damaged containers: the numbers qss info
// prints, chains listed in order and bounded, records as saved.

#include "qss/ContainerInfo.h"

#include <gtest/gtest.h>

#include <vector>

#include "ContainerTesting.h"
#include "Format/Format.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"

namespace qss {

namespace {

// A container of 512-byte blocks holding one stream "s" of three blocks.
std::vector<std::uint8_t> ContainerWithStream() {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  EXPECT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    CQssRef<CStream> stream;
    EXPECT_EQ(root->CreateStream(u"s", false, stream.Receive()), kQssOk);
    const std::vector<std::uint8_t> content = qss_testing::Pattern(3 * 512, 1);
    EXPECT_EQ(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), nullptr), kQssOk);
    stream.Reset();
    EXPECT_EQ(root->Commit(), kQssOk);
  }
  return array->Bytes();
}

// Block numbers mean something only within their container: every object of
// one container names the same one, a nested container another.
TEST(ContainerInfoTest, ContainerIdentityTellsNestedContainersApart) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  CQssRef<CRootStorage> root;
  ASSERT_EQ(CRootStorage::Create(array.get(), 4, 512, &root), kQssOk);
  CQssRef<CStorage> storage;
  ASSERT_EQ(root->CreateStorage(u"dir", storage.Receive()), kQssOk);
  CQssRef<CStream> stream;
  ASSERT_EQ(storage->CreateStream(u"s", false, stream.Receive()), kQssOk);
  CQssRef<CRootStorage> nested;
  ASSERT_EQ(root->CreateNestedContainer(u"inner", 4, 512, nested.Receive()), kQssOk);

  const CQssRef<CQssRefCountedObject> container = ContainerIdentity(root.get());
  ASSERT_TRUE(container);
  EXPECT_EQ(ContainerIdentity(storage.get()).get(), container.get());
  EXPECT_EQ(ContainerIdentity(stream.get()).get(), container.get());
  const CQssRef<CQssRefCountedObject> inner = ContainerIdentity(nested.get());
  ASSERT_TRUE(inner);
  EXPECT_NE(inner.get(), container.get());

  // Held identities outlive the objects they came from.
  stream.Reset();
  storage.Reset();
  nested.Reset();
  root.Reset();
  EXPECT_GE(inner->ReferenceCount(), 1);
  EXPECT_FALSE(ContainerIdentity(nullptr));
  CQssRef<CStream> unattached(new CStream);
  EXPECT_FALSE(ContainerIdentity(unattached.get()));
}

TEST(ContainerInfoTest, LayoutAndFreeBlocksOfASoundContainer) {
  const std::vector<std::uint8_t> bytes = ContainerWithStream();
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_TRUE(root->valid());
  ContainerLayout layout;
  ASSERT_EQ(InspectLayout(root.get(), &layout), kQssOk);
  EXPECT_EQ(layout.entryWidth, 4);
  EXPECT_EQ(layout.blockSize, 512);
  EXPECT_EQ(layout.dataOffset, 512);
  EXPECT_EQ(layout.tableStart, 1);
  EXPECT_EQ(layout.rootSize, kEntryRecordSize);
  EXPECT_GE(layout.rootFirstBlock, 2);
  EXPECT_EQ(layout.byteArraySize, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(layout.blocks, (layout.byteArraySize - 512) / 512);
  EXPECT_EQ(layout.tableBlocks, 1);

  // Table, directory and stream fill every block the array holds.
  std::int64_t free = -1;
  ASSERT_EQ(CountFreeBlocks(root.get(), &free), kQssOk);
  EXPECT_EQ(free, 0);
  EXPECT_EQ(layout.blocks, 1 + 1 + 3);

  EXPECT_EQ(InspectLayout(root.get(), nullptr), kQssNullResult);
  EXPECT_EQ(InspectLayout(nullptr, &layout), kQssInvalidArgument);
  EXPECT_EQ(CountFreeBlocks(root.get(), nullptr), kQssNullResult);
}

TEST(ContainerInfoTest, ARootThatDidNotOpenReportsItsStatus) {
  std::vector<std::uint8_t> bytes = ContainerWithStream();
  bytes.resize(512);  // cut where the table begins
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  auto* root = new CRootStorage(array.get());
  ASSERT_FALSE(root->valid());
  ContainerLayout layout;
  std::int64_t free = 0;
  EXPECT_EQ(InspectLayout(root, &layout), kQssTruncated);
  EXPECT_EQ(CountFreeBlocks(root, &free), kQssTruncated);
  delete root;  // a root that did not open is destroyed by its creator
}

TEST(ContainerInfoTest, ChainsAreListedInOrderAndBounded) {
  std::vector<std::uint8_t> bytes = ContainerWithStream();
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  CStorageEntry* entry = root->FindEntry(u"s");
  ASSERT_NE(entry, nullptr);
  std::vector<std::int64_t> blocks;
  ASSERT_EQ(ListEntryChain(root.get(), entry, 100, &blocks), kQssOk);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0], entry->FirstBlock());
  ASSERT_EQ(ListChain(root.get(), blocks[1], 100, &blocks), kQssOk);
  EXPECT_EQ(blocks.size(), 2u);
  ASSERT_EQ(ListEntryChain(root.get(), entry, 2, &blocks), kQssOk);
  EXPECT_EQ(blocks.size(), 2u);
  EXPECT_EQ(ListChain(root.get(), -1, 100, &blocks), kQssOk);
  EXPECT_TRUE(blocks.empty());

  // Blocks outside the table, and arguments that make no sense.
  EXPECT_EQ(ListChain(root.get(), 0, 100, &blocks), kQssNotAContainer);
  EXPECT_EQ(ListChain(root.get(), 1 << 20, 100, &blocks), kQssNotAContainer);
  EXPECT_TRUE(blocks.empty());
  EXPECT_EQ(ListChain(root.get(), 2, -1, &blocks), kQssInvalidArgument);
  EXPECT_EQ(ListChain(nullptr, 2, 1, &blocks), kQssInvalidArgument);
  EXPECT_EQ(ListChain(root.get(), 2, 1, nullptr), kQssNullResult);
  EXPECT_EQ(ListEntryChain(root.get(), nullptr, 1, &blocks), kQssInvalidArgument);
}

TEST(ContainerInfoTest, ACircularChainIsACorruptionNotAnEndlessList) {
  std::vector<std::uint8_t> bytes = ContainerWithStream();
  std::vector<std::int64_t> chain;
  {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    ASSERT_EQ(ListEntryChain(root.get(), root->FindEntry(u"s"), 100, &chain), kQssOk);
    ASSERT_EQ(chain.size(), 3u);
  }
  qss_testing::PutEntry(bytes, 512, 4, chain.back(), chain.front());
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  std::vector<std::int64_t> blocks;
  EXPECT_EQ(ListChain(root.get(), chain.front(), 1 << 30, &blocks), kQssNotAContainer);
  EXPECT_EQ(blocks.size(), 128u);  // the table's entries, not more
  // Asked for fewer than a lap, the listing is simply cut there.
  EXPECT_EQ(ListChain(root.get(), chain.front(), 7, &blocks), kQssOk);
  EXPECT_EQ(blocks.size(), 7u);
}

TEST(ContainerInfoTest, RecordsAreCopiedAsTheNextSaveWritesThem) {
  CStorageEntry entry;
  ASSERT_TRUE(entry.SetName(u"name"));
  entry.SetFlags(kEntryStream);
  entry.SetSize(42);
  std::uint8_t record[kEntryRecordSize + 1] = {};
  ASSERT_EQ(CopyEntryRecord(&entry, record, sizeof(record)), kQssOk);
  EntryRecord decoded;
  ASSERT_EQ(EntryRecord::Decode(record, kEntryRecordSize, &decoded), kQssOk);
  EXPECT_EQ(decoded.Name(), u"name");
  EXPECT_EQ(decoded.size, 42);
  EXPECT_TRUE(entry.dirty);  // copying is not saving
  EXPECT_EQ(CopyEntryRecord(&entry, record, kEntryRecordSize - 1), kQssInvalidArgument);
  EXPECT_EQ(CopyEntryRecord(&entry, nullptr, kEntryRecordSize), kQssNullResult);
  EXPECT_EQ(CopyEntryRecord(nullptr, record, kEntryRecordSize), kQssNullResult);
}

}  // namespace

}  // namespace qss

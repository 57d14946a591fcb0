#include "qss/CRootStorage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CStorageEntry.h"
#include "qss/CreateContainer.h"
#include "ContainerTesting.h"
#include "CountingByteArray.h"
#include "Format/Format.h"

namespace qss {

namespace {

void PutRecord(std::vector<std::uint8_t>& bytes, std::size_t at, char16_t name, std::uint32_t flags,
               std::int64_t firstBlock, std::int64_t size) {
  EntryRecord record;
  record.name[0] = name;
  record.flags = flags;
  record.firstBlock = firstBlock;
  record.size = size;
  qss_testing::PutRecord(bytes, at, record);
}

// The smallest useful container: header, a one-block table, a one-record
// root directory and one stream "S" of ten bytes, ending right after them.
std::vector<std::uint8_t> SmallestContainer() {
  std::vector<std::uint8_t> bytes = qss_testing::MakeHeader(4, 512, 512, 1);
  bytes.resize(1546, 0);
  PutRecord(bytes, kRootEntryOffset, 0, kEntryStorage, 2, 128);
  for (int k = 0; k < 128; ++k) {
    std::int32_t value = k + 1;
    if (k == 0) value = 4;
    if (k == 1 || k == 2 || k == 3 || k == 127) value = -1;
    qss_testing::PutEntry(bytes, 512, 4, k, value);
  }
  PutRecord(bytes, 1024, u'S', kEntryStream, 3, 10);
  for (int i = 0; i < 10; ++i) bytes[1536 + i] = static_cast<std::uint8_t>('0' + i);
  return bytes;
}

TEST(CRootStorageTest, SmallestContainerYieldsItsStreamWithOneRead) {
  const auto bytes = SmallestContainer();
  CQssRef<CountingByteArray> array(new CountingByteArray(bytes));
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    ASSERT_TRUE(root->valid());
    EXPECT_EQ(root->status(), kQssOk);
    ASSERT_EQ(root->EntryCount(), 1);
    CQssRef<CStream> stream;
    ASSERT_EQ(root->OpenStream(u"S", 0, stream.Receive()), kQssOk);
    array->ClearLog();
    char content[16] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(stream->Read(content, 16, &got), kQssOk);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(std::string(content, 10), "0123456789");
    EXPECT_EQ(array->reads, (std::vector<CountingByteArray::Transfer>{{1536, 10}}));

    // Nothing changed: Commit writes nothing at all.
    stream.Reset();
    array->ClearLog();
    EXPECT_EQ(root->Commit(), kQssOk);
    EXPECT_TRUE(array->writes.empty());
  }
  // Teardown writes the header record back, and only that.
  EXPECT_EQ(array->writes, (std::vector<CountingByteArray::Transfer>{{64, 128}}));
  EXPECT_EQ(array->Bytes(), bytes);
}

TEST(CRootStorageTest, DirtyRootRecordIsWrittenByEveryCommit) {
  CQssRef<CountingByteArray> array(new CountingByteArray(SmallestContainer()));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_TRUE(root->valid());
  root->rootEntry()->dirty = true;
  array->ClearLog();
  EXPECT_EQ(root->Commit(), kQssOk);
  EXPECT_EQ(root->Commit(), kQssOk);
  // The root directory (own entry dirty) is saved too: 128 bytes into block 2.
  EXPECT_EQ(array->writes, (std::vector<CountingByteArray::Transfer>{
                               {1024, 128}, {64, 128}, {1024, 128}, {64, 128}}));
  EXPECT_TRUE(root->rootEntry()->dirty);
}

TEST(CRootStorageTest, ContainersThatDoNotOpen) {
  auto bytes = SmallestContainer();
  bytes[27] = 1;  // the magic's terminating 0
  CQssRef<CountingByteArray> array(new CountingByteArray(bytes));
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    EXPECT_FALSE(root->valid());
    EXPECT_EQ(root->status(), kQssNotAContainer);
    EXPECT_EQ(root->EntryCount(), 0);
  }
  EXPECT_TRUE(array->writes.empty());

  // Cut short where the table block begins.
  bytes = SmallestContainer();
  bytes.resize(512);
  CQssRef<CountingByteArray> cut(new CountingByteArray(bytes));
  CQssRef<CRootStorage> root(new CRootStorage(cut.get()));
  EXPECT_FALSE(root->valid());
  EXPECT_EQ(root->status(), kQssTruncated);

  // A record with firstBlock -1 and size 0 is a valid, empty root directory.
  bytes = SmallestContainer();
  PutRecord(bytes, kRootEntryOffset, 0, kEntryStorage, -1, 0);
  CQssRef<CountingByteArray> empty(new CountingByteArray(bytes));
  CQssRef<CRootStorage> emptyRoot(new CRootStorage(empty.get()));
  EXPECT_TRUE(emptyRoot->valid());
  EXPECT_EQ(emptyRoot->EntryCount(), 0);
}

}  // namespace

}  // namespace qss

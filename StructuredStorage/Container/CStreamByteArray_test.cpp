#include "Container/CStreamByteArray.h"

#include <gtest/gtest.h>

#include <limits>

#include "qss/CQssRef.h"
#include "ContainerTesting.h"
#include "qss/CMemoryByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"

namespace qss {

namespace {

class CStreamByteArrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateContainer(memory_.get(), 4, 512), kQssOk);
    table_ = CQssRef<CBlockAllocationTable>(new CBlockAllocationTable(memory_.get()));
    ASSERT_TRUE(table_->valid());
    entry_->SetFlags(kEntryStream);
    auto* stream = new CStream();
    EXPECT_EQ(stream->Attach(nullptr, table_.get(), entry_.get()), kQssOk);
    array_ = CQssRef<CStreamByteArray>(new CStreamByteArray(stream));
  }

  CQssRef<CMemoryByteArray> memory_{new CMemoryByteArray()};
  CQssRef<CBlockAllocationTable> table_;
  CQssRef<CStorageEntry> entry_{new CStorageEntry()};
  CQssRef<CStreamByteArray> array_;
};

TEST_F(CStreamByteArrayTest, TransfersArePositionedOnTheStream) {
  std::int64_t size = -1;
  EXPECT_EQ(array_->GetSize(&size), kQssOk);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(array_->GetSize(nullptr), kQssOk);

  std::uint32_t done = 0;
  EXPECT_EQ(array_->WriteAt(1000, "tail", 4, &done), kQssOk);
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(array_->WriteAt(0, "head", 4, &done), kQssOk);
  EXPECT_EQ(array_->GetSize(&size), kQssOk);
  EXPECT_EQ(size, 1004);
  EXPECT_EQ(entry_->Size(), 1004);

  char buffer[8] = {};
  EXPECT_EQ(array_->ReadAt(1000, buffer, 8, &done), kQssOk);
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(std::string(buffer, 4), "tail");
  EXPECT_EQ(array_->ReadAt(0, buffer, 4, &done), kQssOk);
  EXPECT_EQ(std::string(buffer, 4), "head");
  // At or past the end a stream reads nothing and succeeds, unlike a file.
  done = 9;
  EXPECT_EQ(array_->ReadAt(1004, buffer, 4, &done), kQssOk);
  EXPECT_EQ(done, 0u);

  EXPECT_EQ(array_->SetSize(10), kQssOk);
  EXPECT_EQ(entry_->Size(), 10);
  EXPECT_EQ(array_->Flush(), kQssOk);
  EXPECT_EQ(array_->SetTimestamp(FileTime{}), kQssOk);
  EXPECT_EQ(array_->Remove(), kQssOk);
  EXPECT_EQ(entry_->Size(), 10);

  // Counts a stream cannot take are refused, not turned negative.
  done = 9;
  EXPECT_EQ(array_->ReadAt(0, buffer, 0x80000000u, &done), kQssInvalidArgument);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(array_->WriteAt(0, buffer, 0xFFFFFFFFu, &done), kQssInvalidArgument);
  EXPECT_EQ(entry_->Size(), 10);
}

TEST_F(CStreamByteArrayTest, ReadBeforeTheHeadFailsAsOnTheStream) {
  EXPECT_EQ(array_->WriteAt(0, "0123456789", 10, nullptr), kQssOk);
  qss_testing::SetHeadOffset(entry_.get(), 4);
  char buffer[4];
  std::uint32_t done = 7;
  EXPECT_EQ(array_->ReadAt(2, buffer, 4, &done), kQssBeforeHead);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(array_->ReadAt(4, buffer, 4, &done), kQssOk);
  EXPECT_EQ(std::string(buffer, 4), "4567");
}

TEST_F(CStreamByteArrayTest, ReleasingTheArrayReleasesTheStream) {
  EXPECT_TRUE(entry_->open);
  array_.Reset();
  EXPECT_FALSE(entry_->open);
  EXPECT_EQ(entry_->ReferenceCount(), 1);
}

}  // namespace

}  // namespace qss

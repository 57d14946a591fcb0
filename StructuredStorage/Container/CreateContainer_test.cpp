#include "qss/CreateContainer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "CFailingByteArray.h"
#include "ContainerTesting.h"
#include "Format/Format.h"

namespace qss {

namespace {

TEST(CreateContainerTest, WritesHeaderRootRecordAndFirstTableBlock) {
  struct Case {
    std::int32_t width, blockSize, dataOffset;
  };
  for (const Case& c : {Case{4, 128, 256}, Case{2, 256, 256}, Case{8, 4096, 4096}}) {
    std::vector<std::uint8_t> old(100000, 0xEE);  // earlier contents do not survive
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(old));
    ASSERT_EQ(CreateContainer(array.get(), c.width, c.blockSize), kQssOk);
    const std::vector<std::uint8_t> bytes = array->Bytes();
    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(c.dataOffset + c.blockSize));
    ContainerHeader header;
    ASSERT_EQ(ContainerHeader::Decode(bytes.data(), bytes.size(), &header), kQssOk);
    EXPECT_EQ(header.entryWidth, c.width);
    EXPECT_EQ(header.blockSize, c.blockSize);
    EXPECT_EQ(header.dataOffset, c.dataOffset);
    EXPECT_EQ(header.tableStart, 1);
    EXPECT_EQ(header.root.flags, kEntryStorage);  // root: a storage
    EXPECT_EQ(header.root.firstBlock, -1);        // without blocks
    EXPECT_EQ(header.root.size, 0);               // and empty
    // Nothing but the fields: the header is exactly what its codec writes.
    std::vector<std::uint8_t> expected(kContainerHeaderSize);
    header.EncodeTo(expected.data());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin()));
    for (std::size_t i = kContainerHeaderSize; i < static_cast<std::size_t>(c.dataOffset); ++i)
      ASSERT_EQ(bytes[i], 0) << i;
    const std::int64_t perBlock = c.blockSize / c.width;
    EXPECT_EQ(qss_testing::GetEntry(bytes, c.dataOffset, c.width, 0), 2);
    EXPECT_EQ(qss_testing::GetEntry(bytes, c.dataOffset, c.width, 1), -1);
    for (std::int64_t k = 2; k < perBlock - 1; ++k)
      ASSERT_EQ(qss_testing::GetEntry(bytes, c.dataOffset, c.width, k), k + 1);
    EXPECT_EQ(qss_testing::GetEntry(bytes, c.dataOffset, c.width, perBlock - 1), -1);
  }
}

TEST(CreateContainerTest, RefusesLayoutsThatCannotWork) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(std::vector<std::uint8_t>(10, 1)));
  for (auto [width, blockSize] : {std::pair{3, 512}, std::pair{16, 512}, std::pair{4, 0}, std::pair{4, 768},
                                  std::pair{4, -512}, std::pair{8, 8}, std::pair{4, INT32_MIN}}) {
    EXPECT_EQ(CreateContainer(array.get(), width, blockSize), kQssInvalidArgument) << width << " " << blockSize;
  }
  EXPECT_EQ(array->Bytes(), std::vector<std::uint8_t>(10, 1));
  EXPECT_EQ(CreateContainer(nullptr, 4, 512), kQssInvalidArgument);
}

// A header or table block that reaches the byte array only in part would
// open as a container whose free list runs into zeros; the caller hears of it
// even when the array reports success with fewer bytes.
TEST(CreateContainerTest, HeaderOrTableStoredInPartIsAWriteFault) {
  for (const std::int64_t write : {1, 2}) {
    for (const QssResult code : {kQssOk, CFailingByteArray::kDefaultFailure}) {
      SCOPED_TRACE("write " + std::to_string(write) + " cut short, returning " + std::to_string(code));
      CQssRef<CMemoryByteArray> inner(new CMemoryByteArray());
      CQssRef<CFailingByteArray> failing(new CFailingByteArray(inner.get()));
      failing->CutShortNth(write, code);
      EXPECT_EQ(CreateContainer(failing.get(), 4, 512), code == kQssOk ? kQssWriteFault : code);
      EXPECT_EQ(failing->Failures(), 1);
    }
  }
}

}  // namespace

}  // namespace qss

#include "ByteArrays/CMultiPhysicalByteArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"

namespace qss {

namespace {

struct CallCounts {
  int reads = 0;
  int writes = 0;
};

// A segment held in memory that counts the transfers it is asked for.
class CountingSegment : public CMemoryByteArray {
 public:
  CountingSegment(CallCounts* counts, std::vector<std::uint8_t> bytes = {})
      : CMemoryByteArray(std::move(bytes)), counts_(counts) {}
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override {
    ++counts_->reads;
    return CMemoryByteArray::ReadAt(offset, buffer, count, bytesRead);
  }
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override {
    ++counts_->writes;
    return CMemoryByteArray::WriteAt(offset, buffer, count, bytesWritten);
  }

 private:
  CallCounts* counts_;
};

constexpr QssResult kFileNotFound = QssResultFromSystemError(2);

// A segmented array whose "files" are counting memory segments kept by name.
class FakeSegmentedArray : public CMultiPhysicalByteArray {
 public:
  explicit FakeSegmentedArray(std::int64_t segmentSize, std::filesystem::path base = "disk/pkg")
      : CMultiPhysicalByteArray(std::move(base), segmentSize) {}

  // Puts a file of the given size, filled with bytes counting up from first.
  void PutFile(std::int32_t n, std::int64_t size, std::uint8_t first = 0) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::iota(bytes.begin(), bytes.end(), first);
    files[BuildSegmentName(n)] = CQssRef<CPhysicalByteArray>(new CountingSegment(&counts, std::move(bytes)));
  }
  // The size of file n on the fake disk, or -1 when it does not exist.
  std::int64_t FileSize(std::int32_t n) {
    auto it = files.find(BuildSegmentName(n));
    if (it == files.end()) return -1;
    std::int64_t size = 0;
    EXPECT_EQ(it->second->GetSize(&size), kQssOk);
    return size;
  }

  std::map<std::filesystem::path, CQssRef<CPhysicalByteArray>> files;
  CallCounts counts;
  std::int32_t failCreatingSegment = 0;  // segment number whose creation fails

 protected:
  QssResult CreateSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) override {
    if (failCreatingSegment != 0 && name == BuildSegmentName(failCreatingSegment)) return QssResultFromSystemError(28);
    auto* created = new CountingSegment(&counts);
    files[name] = CQssRef<CPhysicalByteArray>(created);
    *segment = created;
    return kQssOk;
  }
  QssResult OpenSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) override {
    auto it = files.find(name);
    if (it == files.end()) return kFileNotFound;
    *segment = it->second.get();
    return kQssOk;
  }
  QssResult DeleteSegment(const std::filesystem::path& name) override {
    return files.erase(name) ? kQssOk : kFileNotFound;
  }
  QssResult QuerySegmentLength(const std::filesystem::path& name, std::int64_t* length) override {
    auto it = files.find(name);
    if (it == files.end()) return kQssUnspecifiedFailure;
    return it->second->GetSize(length);
  }
};

constexpr std::int64_t kSegment = 100;

std::int64_t SizeOf(CPhysicalByteArray& array) {
  std::int64_t size = -1;
  EXPECT_TRUE(QssSucceeded(array.GetSize(&size)));
  return size;
}

TEST(SegmentedArrayNamesTest, SegmentsAreNamedAfterTheBasePathWithFourDigits) {
  FakeSegmentedArray array(kSegment);
  EXPECT_EQ(std::filesystem::path("disk/pkg"), array.BuildSegmentName(1));
  EXPECT_EQ(std::filesystem::path("disk/pkg.F0002"), array.BuildSegmentName(2));
  EXPECT_EQ(std::filesystem::path("disk/pkg.F0012"), array.BuildSegmentName(12));
  EXPECT_EQ(std::filesystem::path("disk/pkg.F0345"), array.BuildSegmentName(345));
  EXPECT_EQ(std::filesystem::path("disk/pkg.F9999"), array.BuildSegmentName(9999));

  // A base path far longer than any fixed name buffer is kept whole.
  const std::string longBase = "/" + std::string(200, 'a') + "/" + std::string(200, 'b') + "/pkg.bin";
  FakeSegmentedArray longNamed(kSegment, longBase);
  EXPECT_EQ(std::filesystem::path(longBase + ".F0002"), longNamed.BuildSegmentName(2));
}

TEST(SegmentedArrayTest, ReadAcrossABoundaryTakesOneCallPerSegment) {
  FakeSegmentedArray array(kSegment);
  array.PutFile(1, kSegment, 0);
  array.PutFile(2, 40, 100);
  ASSERT_EQ(kQssOk, array.Open());
  ASSERT_EQ(2, array.segmentCount());

  std::uint8_t buffer[30] = {};
  std::uint32_t read = 0;
  array.counts = {};
  EXPECT_EQ(kQssOk, array.ReadAt(kSegment - 10, buffer, 30, &read));
  EXPECT_EQ(30u, read);
  EXPECT_EQ(2, array.counts.reads);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(90 + i, buffer[i]) << i;

  // Past the last segment there is nothing to read, and that is no failure.
  EXPECT_EQ(kQssOk, array.ReadAt(2 * kSegment + 5, buffer, 5, &read));
  EXPECT_EQ(0u, read);
  // Inside the last segment but past its end, the segment refuses.
  EXPECT_EQ(kQssInvalidArgument, array.ReadAt(kSegment + 40, buffer, 5, &read));
  EXPECT_EQ(0u, read);
}

TEST(SegmentedArrayTest, ShortSegmentEndsARead) {
  // Segment 2 is shorter than a segment should be; the bytes of segment 3
  // must not be moved up to fill the hole.
  FakeSegmentedArray array(kSegment);
  array.PutFile(1, kSegment, 0);
  array.PutFile(2, 4, 200);
  array.PutFile(3, kSegment, 50);
  ASSERT_EQ(kQssOk, array.Open());
  std::uint8_t buffer[120] = {};
  std::uint32_t read = 0;
  EXPECT_EQ(kQssOk, array.ReadAt(kSegment - 2, buffer, 120, &read));
  EXPECT_EQ(6u, read);
  EXPECT_EQ(98, buffer[0]);
  EXPECT_EQ(203, buffer[5]);
  EXPECT_EQ(0, buffer[6]);
}

TEST(SegmentedArrayTest, GrowthCreatesFullSegmentsAndATail) {
  FakeSegmentedArray array(kSegment);
  ASSERT_EQ(kQssOk, array.Create());
  EXPECT_EQ(kQssOk, array.SetSize(2 * kSegment + 1));
  EXPECT_EQ(3, array.segmentCount());
  EXPECT_EQ(kSegment, array.FileSize(1));
  EXPECT_EQ(kSegment, array.FileSize(2));
  EXPECT_EQ(1, array.FileSize(3));
  EXPECT_EQ(2 * kSegment + 1, SizeOf(array));

  // An exact multiple gives full segments and no empty one after them.
  FakeSegmentedArray exact(kSegment);
  ASSERT_EQ(kQssOk, exact.Create());
  EXPECT_EQ(kQssOk, exact.SetSize(2 * kSegment));
  EXPECT_EQ(2, exact.segmentCount());
  EXPECT_EQ(-1, exact.FileSize(3));
}

TEST(SegmentedArrayTest, ShrinkToABoundaryKeepsTheNextSegmentEmpty) {
  FakeSegmentedArray array(kSegment);
  ASSERT_EQ(kQssOk, array.Create());
  ASSERT_EQ(kQssOk, array.SetSize(2 * kSegment + 5));
  EXPECT_EQ(kQssOk, array.SetSize(kSegment));
  EXPECT_EQ(2, array.segmentCount());
  EXPECT_EQ(0, array.FileSize(2));
  EXPECT_EQ(0, array.FileSize(3));  // dropped, truncated, left on disk
  EXPECT_EQ(kSegment, SizeOf(array));

  EXPECT_EQ(kQssOk, array.SetSize(30));
  EXPECT_EQ(1, array.segmentCount());
  EXPECT_EQ(30, SizeOf(array));
  EXPECT_EQ(kQssOk, array.SetSize(0));
  EXPECT_EQ(0, SizeOf(array));
}

TEST(SegmentedArrayTest, WriteAcrossBoundariesGrowsAndReadsBack) {
  FakeSegmentedArray array(kSegment);
  ASSERT_EQ(kQssOk, array.Create());
  std::vector<std::uint8_t> data(250);
  std::iota(data.begin(), data.end(), std::uint8_t{1});
  std::uint32_t written = 0;
  array.counts = {};
  EXPECT_EQ(kQssOk, array.WriteAt(kSegment - 20, data.data(), 250, &written));
  EXPECT_EQ(250u, written);
  EXPECT_EQ(4, array.counts.writes);  // 20 + 100 + 100 + 30 bytes
  EXPECT_EQ(kSegment + 230, SizeOf(array));

  std::vector<std::uint8_t> back(250);
  std::uint32_t read = 0;
  EXPECT_EQ(kQssOk, array.ReadAt(kSegment - 20, back.data(), 250, &read));
  EXPECT_EQ(250u, read);
  EXPECT_EQ(data, back);
}

TEST(SegmentedArrayTest, RefusesNegativeAndOverflowingRequests) {
  FakeSegmentedArray array(kSegment);
  ASSERT_EQ(kQssOk, array.Create());
  ASSERT_EQ(kQssOk, array.SetSize(50));
  char buffer[8] = {};
  std::uint32_t done = 9;
  EXPECT_EQ(kQssInvalidArgument, array.ReadAt(-1, buffer, 4, &done));
  EXPECT_EQ(0u, done);
  EXPECT_EQ(kQssInvalidArgument, array.WriteAt(-kSegment, buffer, 4, &done));
  EXPECT_EQ(kQssInvalidArgument, array.SetSize(-1));
  const std::int64_t nearEnd = std::numeric_limits<std::int64_t>::max() - 2;
  EXPECT_EQ(kQssInvalidArgument, array.ReadAt(nearEnd, buffer, 8, &done));
  EXPECT_EQ(kQssInvalidArgument, array.WriteAt(nearEnd, buffer, 8, &done));
  EXPECT_EQ(kQssInvalidPointer, array.WriteAt(200, nullptr, 8, &done));
  EXPECT_EQ(kQssInvalidPointer, array.ReadAt(0, nullptr, 8, &done));
  EXPECT_EQ(50, SizeOf(array));
  EXPECT_EQ(1, array.segmentCount());
}

TEST(SegmentedArrayTest, GrowthBeyondTheLastNameableSegmentFails) {
  FakeSegmentedArray array(1);
  ASSERT_EQ(kQssOk, array.Create());
  ASSERT_EQ(kQssOk, array.SetSize(kMaxSegmentCount));
  ASSERT_EQ(kQssOk, array.WriteAt(0, "A", 1, nullptr));

  // Segment 10000 would end in .F0000 and 10002 would be segment 2's file.
  std::uint32_t written = 9;
  EXPECT_EQ(kQssInvalidArgument, array.WriteAt(kMaxSegmentCount + 1, "B", 1, &written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(kQssInvalidArgument, array.SetSize(kMaxSegmentCount + 1));
  EXPECT_EQ(kMaxSegmentCount, array.segmentCount());
  EXPECT_EQ(kMaxSegmentCount, static_cast<std::int64_t>(array.files.size()));
  char first = 0;
  EXPECT_EQ(kQssOk, array.ReadAt(0, &first, 1, nullptr));
  EXPECT_EQ('A', first);
}

TEST(SegmentedArrayTest, FailedSegmentCreationStopsGrowthAndTheWriteSaysSo) {
  FakeSegmentedArray array(kSegment);
  ASSERT_EQ(kQssOk, array.Create());
  array.failCreatingSegment = 3;
  EXPECT_EQ(QssResultFromSystemError(28), array.SetSize(2 * kSegment + 5));
  EXPECT_EQ(2, array.segmentCount());
  EXPECT_EQ(2 * kSegment, SizeOf(array));

  // The part that has segments is written; the rest is reported as a failure.
  std::vector<std::uint8_t> data(30, 7);
  std::uint32_t written = 0;
  EXPECT_EQ(QssResultFromSystemError(28), array.WriteAt(2 * kSegment - 10, data.data(), 30, &written));
  EXPECT_EQ(10u, written);
}

TEST(SegmentedArrayOpenTest, OpensConsecutiveSegmentsFromTheFirst) {
  FakeSegmentedArray missing(kSegment);
  EXPECT_EQ(kQssNotFound, missing.Open());
  EXPECT_EQ(0, missing.segmentCount());

  // Written with segments of 60 bytes; segment 3 is missing, so 4 is not reached.
  FakeSegmentedArray array(kSegment);
  array.PutFile(1, 60);
  array.PutFile(2, 25);
  array.PutFile(4, 60);
  ASSERT_EQ(kQssOk, array.Open());
  EXPECT_EQ(2, array.segmentCount());
  EXPECT_EQ(60, array.segmentSize());
  EXPECT_EQ(85, SizeOf(array));
}

TEST(SegmentedArrayOpenTest, ASingleSegmentOnlyRaisesTheSegmentSize) {
  FakeSegmentedArray large(kSegment);
  large.PutFile(1, 3 * kSegment);
  ASSERT_EQ(kQssOk, large.Open());
  EXPECT_EQ(3 * kSegment, large.segmentSize());

  FakeSegmentedArray small(kSegment);
  small.PutFile(1, 5);
  ASSERT_EQ(kQssOk, small.Open());
  EXPECT_EQ(kSegment, small.segmentSize());
}

TEST(SegmentedArrayOpenTest, AnEmptyFirstSegmentKeepsTheConfiguredSize) {
  FakeSegmentedArray array(kSegment);
  array.PutFile(1, 0);
  array.PutFile(2, 10);
  ASSERT_EQ(kQssOk, array.Open());
  EXPECT_EQ(kSegment, array.segmentSize());
  EXPECT_EQ(kSegment + 10, SizeOf(array));
  std::uint8_t buffer[4] = {};
  std::uint32_t read = 0;
  EXPECT_EQ(kQssOk, array.ReadAt(kSegment + 2, buffer, 4, &read));
  EXPECT_EQ(4u, read);
  EXPECT_EQ(2, buffer[0]);
}

TEST(SegmentedArrayOpenTest, UnopenedArrayIsMeasuredOnDisk) {
  FakeSegmentedArray array(kSegment);
  EXPECT_EQ(0, SizeOf(array));
  array.PutFile(1, 7);
  array.PutFile(2, 3);
  array.PutFile(4, 50);
  EXPECT_EQ(10, SizeOf(array));
  EXPECT_EQ(0, array.segmentCount());

  // Nothing is open to take the bytes: the write must not claim success.
  std::uint32_t written = 9;
  EXPECT_TRUE(QssFailed(array.WriteAt(0, "abc", 3, &written)));
  EXPECT_EQ(0u, written);
  EXPECT_TRUE(QssFailed(array.WriteAt(50, "abc", 3, &written)));
  EXPECT_TRUE(QssFailed(array.SetSize(5)));
  EXPECT_EQ(7, array.FileSize(1));  // not truncated by a segment created anew
  EXPECT_EQ(3, array.FileSize(2));
}

TEST(SegmentedArrayTest, RemoveDeletesTheSegmentsAndCreateStartsAgain) {
  FakeSegmentedArray array(kSegment);
  ASSERT_EQ(kQssOk, array.Create());
  ASSERT_EQ(kQssOk, array.SetSize(2 * kSegment + 5));
  ASSERT_EQ(3u, array.files.size());
  EXPECT_EQ(kQssOk, array.Remove());
  EXPECT_TRUE(array.files.empty());

  EXPECT_EQ(kQssOk, array.Create());
  EXPECT_EQ(1, array.segmentCount());
  EXPECT_EQ(0, SizeOf(array));
  EXPECT_EQ(1u, array.files.size());
}

// A segment whose data never reaches the disk.
class UnflushableSegment : public CMemoryByteArray {
 public:
  explicit UnflushableSegment(int* flushes) : CMemoryByteArray(std::vector<std::uint8_t>(kSegment)), flushes_(flushes) {}
  QssResult Flush() override {
    ++*flushes_;
    return QssResultFromSystemError(5);
  }

 private:
  int* flushes_;
};

TEST(SegmentedArrayTest, AFlushFailureOfAnEarlierSegmentIsNotHiddenByALaterOne) {
  FakeSegmentedArray array(kSegment);
  int flushes = 0;
  array.files[array.BuildSegmentName(1)] = CQssRef<CPhysicalByteArray>(new UnflushableSegment(&flushes));
  array.PutFile(2, 10);
  ASSERT_EQ(kQssOk, array.Open());
  ASSERT_EQ(2, array.segmentCount());
  EXPECT_EQ(QssResultFromSystemError(5), array.Flush());
  EXPECT_EQ(1, flushes);
}

}  // namespace

}  // namespace qss

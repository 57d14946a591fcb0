#if defined(__linux__)

#include "Platform/posix/MappedPieceWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <vector>

#include "TemporaryFolder.h"

namespace qss {
namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kPages = 10 * 1024;  // 40 MiB: two whole regions and half of one
constexpr std::size_t kBatch = 1024;

// Page number of a 40 MiB file, as its bytes say.
std::vector<char> PageBytes(std::uint32_t number) {
  std::vector<char> page(kPage);
  for (std::uint32_t i = 0; i < kPage; ++i) page[i] = static_cast<char>((number * 7 + i) % 251);
  return page;
}

// A 40 MiB file of numbered pages, and a chain scattered over it: its
// pieces come back to every region of the file many times.
class MappedPieceWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    source_ = ::open((folder_ / "large.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(source_, 0);
    WritePages(0);
    order_.resize(kPages);
    for (std::uint32_t i = 0; i < kPages; ++i) order_[i] = i;
    std::mt19937 random(11);
    std::shuffle(order_.begin(), order_.end(), random);
    for (const std::uint32_t number : order_) pieces_.push_back(ReadPiece{std::int64_t{number} * kPage, nullptr, kPage});
  }
  void TearDown() override {
    if (source_ >= 0) ::close(source_);
  }

  void WritePages(std::uint32_t first) {
    for (std::uint32_t number = first; number < kPages; ++number) {
      ASSERT_EQ(::pwrite(source_, PageBytes(number).data(), kPage, off_t{number} * kPage), ssize_t{kPage});
    }
  }
  int CreateOutput(const std::string& name) {
    return ::open((folder_ / name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  // Every stride-th of the first count pieces arrived in order in out.
  void ExpectPiecesInOrder(int out, std::size_t count, std::size_t stride) {
    std::vector<char> got(kPage);
    for (std::size_t i = 0; i < count; i += stride) {
      ASSERT_EQ(::pread(out, got.data(), kPage, off_t(i) * kPage), ssize_t{kPage});
      ASSERT_EQ(got, PageBytes(order_[i])) << "piece " << i;
    }
  }

  TemporaryFolder folder_;
  int source_ = -1;
  std::vector<std::uint32_t> order_;
  std::vector<ReadPiece> pieces_;
};

// Gathered into memory or written straight from the mapping, with faults
// found costly or not (regions then mapped whole on the way, the last one
// shorter than the others): the bytes arrive in the pieces' order.
TEST_F(MappedPieceWriterTest, ScatteredPiecesOfALargeFileArriveInTheirOrder) {
  for (const bool gather : {true, false}) {
    for (const long pagesPerFault : {MappedPieceWriter::kPagesPerFault, 1L << 40}) {
      SCOPED_TRACE(testing::Message() << "gather " << gather << ", pages per fault " << pagesPerFault);
      MappedPieceWriter writer(source_, pagesPerFault, gather);
      const int out = CreateOutput("gathered-" + std::to_string(gather) + "-" + std::to_string(pagesPerFault));
      ASSERT_GE(out, 0);
      for (std::size_t first = 0; first < pieces_.size(); first += kBatch) {
        std::uint32_t done = 0;
        bool refused = false;
        ASSERT_EQ(kQssOk, writer.Write(pieces_.data() + first, kBatch, out, &done, &refused));
        ASSERT_FALSE(refused);
        ASSERT_EQ(done, kBatch * kPage);
      }
      ExpectPiecesInOrder(out, kPages, 97);
      ::close(out);
    }
  }
}

// Cut to 20 MiB under a mapping of all 40: the pieces before the first one
// past the new end arrive, and the rest is refused, not fatal.
TEST_F(MappedPieceWriterTest, AFileCutShortUnderTheMappingIsRefusedFromItsEnd) {
  for (const bool gather : {true, false}) {
    SCOPED_TRACE(testing::Message() << "gather " << gather);
    ASSERT_EQ(::ftruncate(source_, off_t{kPages} * kPage), 0);
    WritePages(kPages / 2);
    MappedPieceWriter writer(source_, 1L << 40, gather);
    const int out = CreateOutput("cut-" + std::to_string(gather));
    ASSERT_GE(out, 0);
    std::uint32_t done = 0;
    bool refused = false;
    ASSERT_EQ(kQssOk, writer.Write(pieces_.data(), kBatch, out, &done, &refused));
    ASSERT_EQ(::ftruncate(source_, off_t{kPages / 2} * kPage), 0);
    std::size_t before = 0;
    while (order_[kBatch + before] < kPages / 2) ++before;
    ASSERT_EQ(kQssOk, writer.Write(pieces_.data() + kBatch, kBatch, out, &done, &refused));
    EXPECT_TRUE(refused);
    EXPECT_EQ(done, std::min(before, kBatch) * kPage);
    ExpectPiecesInOrder(out, kBatch + std::min(before, kBatch), 31);
    ::close(out);
  }
}

}  // namespace
}  // namespace qss

#endif  // __linux__

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

// A chain scattered over a large file: its pieces come back to every region
// of the file many times. Whether faults count as costly or not (regions
// then mapped whole on the way, the last one shorter than the others), the
// bytes arrive in the pieces' order, and a file cut short afterwards under
// the mapping is refused, not fatal.
TEST(MappedPieceWriterTest, ScatteredPiecesOfALargeFileArriveInTheirOrder) {
  TemporaryFolder folder;
  const std::filesystem::path sourcePath = folder / "large.bin";
  const int source = ::open(sourcePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(source, 0);
  for (std::uint32_t number = 0; number < kPages; ++number) {
    ASSERT_EQ(::pwrite(source, PageBytes(number).data(), kPage, off_t{number} * kPage), ssize_t{kPage});
  }
  std::vector<std::uint32_t> order(kPages);
  for (std::uint32_t i = 0; i < kPages; ++i) order[i] = i;
  std::mt19937 random(11);
  std::shuffle(order.begin(), order.end(), random);
  std::vector<ReadPiece> pieces;
  for (const std::uint32_t number : order) pieces.push_back(ReadPiece{std::int64_t{number} * kPage, nullptr, kPage});

  // The usual judgement, then one that finds every fault costly.
  for (const long pagesPerFault : {MappedPieceWriter::kPagesPerFault, 1L << 40}) {
    SCOPED_TRACE(pagesPerFault);
    MappedPieceWriter writer(source, pagesPerFault);
    const std::filesystem::path outPath = folder / ("gathered-" + std::to_string(pagesPerFault));
    const int out = ::open(outPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    for (std::size_t first = 0; first < pieces.size(); first += kBatch) {
      std::uint32_t done = 0;
      bool refused = false;
      ASSERT_EQ(kQssOk, writer.Write(pieces.data() + first, kBatch, out, &done, &refused));
      ASSERT_FALSE(refused);
      ASSERT_EQ(done, kBatch * kPage);
    }
    std::vector<char> got(kPage);
    for (std::uint32_t i = 0; i < kPages; i += 97) {
      ASSERT_EQ(::pread(out, got.data(), kPage, off_t{i} * kPage), ssize_t{kPage});
      ASSERT_EQ(got, PageBytes(order[i])) << "piece " << i;
    }
    ::close(out);
  }

  // Cut to 20 MiB under a mapping of all 40: the pieces before the first one
  // past the new end arrive, and the rest is refused.
  MappedPieceWriter writer(source, 1L << 40);
  const std::filesystem::path outPath = folder / "cut.bin";
  const int out = ::open(outPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  std::uint32_t done = 0;
  bool refused = false;
  ASSERT_EQ(kQssOk, writer.Write(pieces.data(), kBatch, out, &done, &refused));
  ASSERT_EQ(::ftruncate(source, off_t{kPages / 2} * kPage), 0);
  std::size_t before = 0;
  while (order[kBatch + before] < kPages / 2) ++before;
  ASSERT_EQ(kQssOk, writer.Write(pieces.data() + kBatch, kBatch, out, &done, &refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ(done, std::min(before, kBatch) * kPage);
  ::close(out);
  ::close(source);
}

}  // namespace
}  // namespace qss

#endif  // __linux__

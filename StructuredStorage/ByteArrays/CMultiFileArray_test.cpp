#include "ByteArrays/CMultiFileArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "qss/CQssRef.h"
#include "TemporaryFolder.h"

namespace qss {

namespace {

constexpr std::uint32_t kReadWrite = native_file::kGenericRead | native_file::kGenericWrite;
constexpr std::int64_t kSegment = 16;

class MultiFileArrayTest : public ::testing::Test {
 protected:
  CQssRef<CMultiFileArray> MakeArray(std::uint32_t access = kReadWrite, std::int64_t segmentSize = kSegment) {
    return CQssRef<CMultiFileArray>(
        new CMultiFileArray(base_, access, native_file::kShareRead, native_file::kAttributeNormal, segmentSize));
  }
  std::filesystem::path Segment(std::int32_t n) const {
    return n == 1 ? base_ : std::filesystem::path(base_.string() + ".F000" + std::to_string(n));
  }
  void PutFile(std::int32_t n, const std::string& contents) const {
    std::ofstream(Segment(n), std::ios::binary) << contents;
  }
  std::int64_t FileSize(std::int32_t n) const {
    std::error_code error;
    const auto size = std::filesystem::file_size(Segment(n), error);
    return error ? -1 : static_cast<std::int64_t>(size);
  }

  TemporaryFolder folder_;
  std::filesystem::path base_ = folder_ / "pkg.bin";
};

TEST_F(MultiFileArrayTest, OpenTakesSegmentFilesUpToTheFirstGap) {
  EXPECT_EQ(kQssNotFound, MakeArray()->Open());

  PutFile(1, "0123456789");
  PutFile(2, "abcd");
  PutFile(4, "zzzzzzzzzz");
  auto array = MakeArray(native_file::kGenericRead);
  ASSERT_EQ(kQssOk, array->Open());
  EXPECT_EQ(2, array->segmentCount());
  EXPECT_EQ(10, array->segmentSize());
  std::int64_t size = 0;
  EXPECT_EQ(kQssOk, array->GetSize(&size));
  EXPECT_EQ(14, size);

  char buffer[8] = {};
  std::uint32_t read = 0;
  EXPECT_EQ(kQssOk, array->ReadAt(7, buffer, 7, &read));
  EXPECT_EQ("789abcd", std::string(buffer, read));
}

#ifndef _WIN32
// A segment that exists but does not open is not the end of the container:
// taking it for the end cut the container short, and every reader then
// called it damaged (with too many open files, a valid container of many
// segments did).
TEST_F(MultiFileArrayTest, ASegmentThatExistsButDoesNotOpenFailsTheOpen) {
  PutFile(1, "0123456789");
  ASSERT_EQ(::mkfifo(Segment(2).c_str(), 0600), 0);
  PutFile(3, "abcd");
  auto array = MakeArray(native_file::kGenericRead, 10);
  const QssResult opened = array->Open();
  EXPECT_TRUE(QssFailed(opened)) << opened;
  EXPECT_NE(opened, kQssNotFound);
  EXPECT_EQ(array->segmentCount(), 0);
}
#endif

TEST_F(MultiFileArrayTest, UnopenedArrayMeasuresItsFiles) {
  PutFile(1, "1234567");
  PutFile(2, "abc");
  auto array = MakeArray();
  std::int64_t size = -1;
  EXPECT_EQ(kQssOk, array->GetSize(&size));
  EXPECT_EQ(10, size);
  EXPECT_EQ(0, array->segmentCount());
}

TEST_F(MultiFileArrayTest, GrowthAndShrinkMoveTheFiles) {
  auto array = MakeArray();
  ASSERT_EQ(kQssOk, array->Create());
  std::vector<std::uint8_t> data(40);
  std::iota(data.begin(), data.end(), std::uint8_t{1});
  std::uint32_t written = 0;
  ASSERT_EQ(kQssOk, array->WriteAt(0, data.data(), 40, &written));
  EXPECT_EQ(40u, written);
  EXPECT_EQ(16, FileSize(1));
  EXPECT_EQ(16, FileSize(2));
  EXPECT_EQ(8, FileSize(3));

  EXPECT_EQ(kQssOk, array->SetSize(kSegment));
  EXPECT_EQ(16, FileSize(1));
  EXPECT_EQ(0, FileSize(2));
  EXPECT_EQ(0, FileSize(3));
  array.Reset();

  // What was written survives a reopen with a different configured size.
  auto reopened = MakeArray(native_file::kGenericRead, 1000);
  ASSERT_EQ(kQssOk, reopened->Open());
  EXPECT_EQ(kSegment, reopened->segmentSize());
  std::vector<std::uint8_t> back(16);
  std::uint32_t read = 0;
  EXPECT_EQ(kQssOk, reopened->ReadAt(0, back.data(), 16, &read));
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + 16), back);
}

TEST_F(MultiFileArrayTest, ReadOnlyArrayNeitherGrowsNorWrites) {
  PutFile(1, "0123456789ABCDEF");
  PutFile(2, "xy");
  auto array = MakeArray(native_file::kGenericRead);
  ASSERT_EQ(kQssOk, array->Open());
  std::uint32_t written = 0;
  EXPECT_TRUE(QssFailed(array->WriteAt(17, "hello", 5, &written)));
  EXPECT_TRUE(QssFailed(array->WriteAt(40, "hello", 5, &written)));  // would need segment 3
  EXPECT_TRUE(QssFailed(array->WriteAt(0, "hello", 5, &written)));
  EXPECT_EQ(0u, written);
  EXPECT_TRUE(QssFailed(array->SetSize(3)));
  EXPECT_EQ(16, FileSize(1));
  EXPECT_EQ(2, FileSize(2));
  EXPECT_EQ(-1, FileSize(3));
}

TEST_F(MultiFileArrayTest, RemoveDeletesTheFilesWhenTheArrayGoes) {
  auto array = MakeArray();
  ASSERT_EQ(kQssOk, array->Create());
  ASSERT_EQ(kQssOk, array->SetSize(2 * kSegment + 3));
  EXPECT_EQ(kQssOk, array->Remove());
  EXPECT_EQ(3, FileSize(3));  // still there while the array lives
  array.Reset();
  EXPECT_EQ(-1, FileSize(1));
  EXPECT_EQ(-1, FileSize(2));
  EXPECT_EQ(-1, FileSize(3));
}

TEST_F(MultiFileArrayTest, CreatingASegmentCancelsRemove) {
  auto grown = MakeArray();
  ASSERT_EQ(kQssOk, grown->Create());
  ASSERT_EQ(kQssOk, grown->Remove());
  ASSERT_EQ(kQssOk, grown->SetSize(kSegment + 1));  // creates segment 2
  grown.Reset();
  EXPECT_EQ(kSegment, FileSize(1));
  EXPECT_EQ(1, FileSize(2));

  // Create marks the old files and then creates segment 1 afresh.
  auto created = MakeArray();
  ASSERT_EQ(kQssOk, created->Open());
  ASSERT_EQ(kQssOk, created->Create());
  ASSERT_EQ(kQssOk, created->WriteAt(0, "abc", 3, nullptr));
  created.Reset();
  EXPECT_EQ(3, FileSize(1));
}

TEST_F(MultiFileArrayTest, LongBasePathsAreNeitherCutNorOverrun) {
  const std::filesystem::path deep =
      folder_ / std::string(120, 'a') / std::string(120, 'b') / std::string(120, 'c');
  std::filesystem::create_directories(deep);
  const std::filesystem::path base = deep / "package.bin";
  CQssRef<CMultiFileArray> array(
      new CMultiFileArray(base, kReadWrite, native_file::kShareRead, native_file::kAttributeNormal, kSegment));
  ASSERT_EQ(kQssOk, array->Create());
  ASSERT_EQ(kQssOk, array->WriteAt(kSegment, "tail", 4, nullptr));
  EXPECT_EQ(4u, std::filesystem::file_size(base.string() + ".F0002"));
}

// Two threads share one array with 16-byte segments. The first owns bytes
// 0..kOwned-1 and rewrites and checks them; the second owns everything from
// kOwned on and keeps growing and shrinking the array across segment
// boundaries. Neither may ever see the other's bytes or a wrong size.
TEST(MultiFileArrayConcurrencyTest, TwoThreadsKeepTheirOwnRegions) {
  TemporaryFolder folder;
  CQssRef<CMultiFileArray> array(new CMultiFileArray(folder / "shared.bin", kReadWrite, native_file::kShareRead,
                                                     native_file::kAttributeNormal, kSegment));
  constexpr std::int64_t kOwned = 100;
  ASSERT_EQ(kQssOk, array->Create());
  ASSERT_EQ(kQssOk, array->SetSize(kOwned));
  constexpr int kRounds = 400;

  auto fixedRegion = [&](bool* ok) {
    std::mt19937 random(1);
    std::vector<std::uint8_t> shadow(kOwned, 0);
    for (int round = 0; round < kRounds && *ok; ++round) {
      const auto offset = static_cast<std::int64_t>(random() % kOwned);
      const auto count = static_cast<std::uint32_t>(1 + random() % (kOwned - offset));
      std::vector<std::uint8_t> bytes(count, static_cast<std::uint8_t>(round));
      std::uint32_t done = 0;
      *ok = array->WriteAt(offset, bytes.data(), count, &done) == kQssOk && done == count;
      std::copy(bytes.begin(), bytes.end(), shadow.begin() + offset);
      std::vector<std::uint8_t> back(kOwned);
      *ok = *ok && array->ReadAt(0, back.data(), kOwned, &done) == kQssOk && done == kOwned && back == shadow;
    }
  };
  auto movingTail = [&](bool* ok) {
    std::mt19937 random(2);
    for (int round = 0; round < kRounds && *ok; ++round) {
      const auto length = static_cast<std::uint32_t>(random() % 70);
      *ok = array->SetSize(kOwned + length) == kQssOk;
      std::vector<std::uint8_t> bytes(length, static_cast<std::uint8_t>(0x80 | round));
      std::uint32_t done = 0;
      if (length) *ok = *ok && array->WriteAt(kOwned, bytes.data(), length, &done) == kQssOk && done == length;
      std::int64_t size = 0;
      *ok = *ok && array->GetSize(&size) == kQssOk && size == kOwned + length;
      std::vector<std::uint8_t> back(length);
      if (length) *ok = *ok && array->ReadAt(kOwned, back.data(), length, &done) == kQssOk && back == bytes;
    }
  };

  bool fixedOk = true;
  bool tailOk = true;
  std::thread first(fixedRegion, &fixedOk);
  std::thread second(movingTail, &tailOk);
  first.join();
  second.join();
  EXPECT_TRUE(fixedOk);
  EXPECT_TRUE(tailOk);
}

}  // namespace

}  // namespace qss

namespace qss {
namespace {

// Pieces read together deliver what ReadAt delivers piece by piece: across
// segment boundaries, out of order, many at once (more than one batch of
// the platform's), and up to the end of the array, where the count stops
// with the piece that was cut short.
TEST_F(MultiFileArrayTest, PiecesReadTogetherMatchReadsOneByOne) {
  CQssRef<CMultiFileArray> array = MakeArray();
  ASSERT_EQ(array->Create(), kQssOk);
  std::vector<std::uint8_t> content(16 * 9 + 5);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::uint32_t written = 0;
  ASSERT_EQ(array->WriteAt(0, content.data(), static_cast<std::uint32_t>(content.size()), &written), kQssOk);
  ASSERT_EQ(array->segmentCount(), 10);

  std::mt19937 random(3);
  std::vector<ReadPiece> pieces;
  std::vector<std::uint8_t> buffer(4000);
  std::vector<std::uint8_t> expected;
  std::size_t at = 0;
  for (int i = 0; i < 300; ++i) {
    const std::int64_t offset = random() % (content.size() - 12);
    const std::uint32_t length = 1 + random() % 12;
    pieces.push_back(ReadPiece{offset, buffer.data() + at, length});
    expected.insert(expected.end(), content.begin() + offset, content.begin() + offset + length);
    at += length;
  }
  std::uint32_t got = 0;
  ASSERT_EQ(array->ReadPieces(pieces.data(), pieces.size(), &got), kQssOk);
  ASSERT_EQ(got, expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));

  // The second piece runs past the end: it delivers what is there, and the
  // third is not read.
  std::uint8_t tail[30] = {};
  const ReadPiece atEnd[] = {{10, tail, 4}, {static_cast<std::int64_t>(content.size()) - 3, tail + 4, 10},
                             {0, tail + 14, 5}};
  ASSERT_EQ(array->ReadPieces(atEnd, 3, &got), kQssOk);
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(tail[4], content[content.size() - 3]);
  EXPECT_EQ(tail[14], 0);
}

// Pieces moved to a file together arrive as ReadAt delivers them piece by
// piece: out of order, in runs of pieces per segment, and across segment
// boundaries. A piece past the end of the array is refused: what moved
// before it is a prefix of the pieces, and the caller moves the rest.
TEST_F(MultiFileArrayTest, PiecesCopiedToAFileMatchReadsOneByOne) {
  constexpr std::int64_t kLargerSegment = 1000;
  CQssRef<CMultiFileArray> array = MakeArray(kReadWrite, kLargerSegment);
  ASSERT_EQ(array->Create(), kQssOk);
  std::vector<std::uint8_t> content(3500);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 5 + 1);
  ASSERT_EQ(array->WriteAt(0, content.data(), static_cast<std::uint32_t>(content.size()), nullptr), kQssOk);

  std::mt19937 random(4);
  std::vector<ReadPiece> pieces;
  std::vector<std::uint8_t> expected;
  const auto add = [&](std::int64_t offset, std::uint32_t length) {
    pieces.push_back(ReadPiece{offset, nullptr, length});
    expected.insert(expected.end(), content.begin() + offset, content.begin() + offset + length);
  };
  const auto addRun = [&](std::int64_t segment) {
    for (int i = 0; i < 20; ++i) add(segment * kLargerSegment + random() % (kLargerSegment - 12), random() % 13);
  };
  const auto addCrossing = [&](std::int64_t segment) { add(segment * kLargerSegment + kLargerSegment - 10, 20); };
  addRun(0);
  addCrossing(0);
  addRun(1);
  addCrossing(1);
  addRun(2);
  addRun(0);
  const std::filesystem::path outPath = folder_ / "out.bin";
  const auto readBack = [&] {
    std::ifstream in(outPath, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  {
    std::unique_ptr<NativeFile> out;
    ASSERT_EQ(NativeFile::Open(outPath, kReadWrite, 0, native_file::kCreateAlways, native_file::kAttributeNormal, &out),
              kQssOk);
    std::uint32_t moved = 0;
    bool refused = false;
    ASSERT_EQ(array->CopyPiecesToHandle(pieces.data(), pieces.size(), out->Handle(), &moved, &refused), kQssOk);
    if (refused) GTEST_SKIP() << "this system moves no pieces between files in the kernel";
    EXPECT_EQ(moved, expected.size());
  }
  EXPECT_TRUE(readBack() == expected);

  const ReadPiece pastTheEnd[] = {{3, nullptr, 20}, {static_cast<std::int64_t>(content.size()) - 3, nullptr, 10},
                                  {0, nullptr, 5}};
  std::unique_ptr<NativeFile> out;
  ASSERT_EQ(NativeFile::Open(outPath, kReadWrite, 0, native_file::kCreateAlways, native_file::kAttributeNormal, &out),
            kQssOk);
  std::uint32_t moved = 99;
  bool refused = false;
  ASSERT_EQ(array->CopyPiecesToHandle(pastTheEnd, 3, out->Handle(), &moved, &refused), kQssOk);
  out.reset();
  EXPECT_TRUE(refused);
  EXPECT_LE(moved, 20u);
  const std::vector<std::uint8_t> head = readBack();
  ASSERT_EQ(head.size(), moved);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), content.begin() + 3));
}

}  // namespace
}  // namespace qss

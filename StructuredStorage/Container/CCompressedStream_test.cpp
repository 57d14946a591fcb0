#include "Container/CCompressedStream.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <limits>
#include <random>
#include <vector>

#include "qss/CQssRef.h"
#include "Format/Format.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CStorageEntry.h"
#include "qss/CreateContainer.h"
#include "ContainerTesting.h"
#include "CountingByteArray.h"

namespace qss {

namespace {

using qss_testing::Pattern;

constexpr std::int32_t kMiB = 1 << 20;

std::vector<std::uint8_t> Repeated(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>('a' + (i / 7) % 5);
  return bytes;
}

// Writes that would reach writeLimit or beyond fail and move nothing.
class WriteLimitedArray : public CountingByteArray {
 public:
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override {
    if (offset + static_cast<std::int64_t>(count) > writeLimit) {
      if (bytesWritten) *bytesWritten = 0;
      return kQssInvalidArgument;
    }
    return CountingByteArray::WriteAt(offset, buffer, count, bytesWritten);
  }
  std::int64_t writeLimit = std::numeric_limits<std::int64_t>::max();
};

class CCompressedStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateContainer(array_.get(), 4, 512), kQssOk);
    table_ = CQssRef<CBlockAllocationTable>(new CBlockAllocationTable(array_.get()));
    ASSERT_TRUE(table_->valid());
    stream_ = NewStream();
  }

  // A compressed-flag stream on a fresh entry of the container.
  CQssRef<CCompressedStream> NewStream() {
    CQssRef<CStorageEntry> entry(new CStorageEntry());
    entry->SetFlags(kEntryStream | kEntryCompressed);
    CQssRef<CCompressedStream> stream(new CCompressedStream());
    EXPECT_EQ(stream->Attach(nullptr, table_.get(), entry.get()), kQssOk);
    return stream;
  }

  CStorageEntry& entry() { return *stream_->entry(); }

  void Store(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t written = 0;
    ASSERT_EQ(stream_->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()), &written), kQssOk);
    ASSERT_EQ(written, bytes.size());
  }

  std::vector<std::uint8_t> ReadFromStart() {
    EXPECT_EQ(stream_->Seek(0, kSeekBegin, nullptr), kQssOk);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(entry().Size()) + 10);
    std::uint32_t got = 0;
    EXPECT_EQ(stream_->Read(bytes.data(), static_cast<std::int32_t>(bytes.size()), &got), kQssOk);
    bytes.resize(got);
    return bytes;
  }

  std::vector<std::uint8_t> Raw(std::int32_t count) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    std::int32_t got = 0;
    EXPECT_EQ(table_->ReadChain(entry().FirstBlock(), 0, count, bytes.data(), &got), kQssOk);
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
  }

  void PatchRaw(std::int64_t offset, const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(table_->WriteChain(entry().FirstBlock(), offset, static_cast<std::int32_t>(bytes.size()), bytes.data(),
                                 nullptr),
              kQssOk);
  }

  // Stores an image header with these lengths over the stored one.
  void PatchImageHeader(std::int64_t contentLength, std::int64_t imageLength) {
    CompressedImageHeader header;
    header.contentLength = static_cast<std::uint32_t>(contentLength);
    header.imageLength = static_cast<std::uint32_t>(imageLength);
    std::vector<std::uint8_t> bytes(kCompressedImageHeaderSize);
    header.EncodeTo(bytes.data());
    PatchRaw(0, bytes);
  }

  // A Read of a stored image that is not valid: a failure, nothing read,
  // nothing moved.
  void ExpectImageRefused() {
    std::vector<std::uint8_t> buffer(64, 0xEE);
    std::uint32_t got = 99;
    std::int64_t position = -1;
    EXPECT_EQ(stream_->Seek(0, kSeekCurrent, &position), kQssOk);
    EXPECT_EQ(stream_->Read(buffer.data(), 64, &got), kQssNotAContainer);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(64, 0xEE));
    std::int64_t after = -1;
    EXPECT_EQ(stream_->Seek(0, kSeekCurrent, &after), kQssOk);
    EXPECT_EQ(after, position);
  }

  std::size_t FreeBlockCount() { return qss_testing::FreeList(table_.get()).size(); }

  CQssRef<WriteLimitedArray> array_{new WriteLimitedArray()};
  CQssRef<CBlockAllocationTable> table_;
  CQssRef<CCompressedStream> stream_;
};

TEST_F(CCompressedStreamTest, FirstWriteStoresAnImageOnlyWhenItIsSmaller) {
  Store(std::vector<std::uint8_t>(1000, 'q'));
  EXPECT_TRUE(stream_->IsCompressed());
  EXPECT_EQ(entry().Size(), 1000);
  const std::int32_t stored = entry().StoredLength();
  EXPECT_GT(stored, 16);
  EXPECT_LT(stored, 100);
  const auto raw = Raw(kCompressedImageHeaderSize);
  CompressedImageHeader header;
  ASSERT_EQ(CompressedImageHeader::Decode(raw.data(), raw.size(), &header), kQssOk);
  EXPECT_EQ(header.contentLength, 1000u);
  EXPECT_EQ(header.imageLength, static_cast<std::uint32_t>(stored));
  EXPECT_EQ(header.reserved, 0u);
  EXPECT_EQ(ReadFromStart(), std::vector<std::uint8_t>(1000, 'q'));

  stream_ = NewStream();
  const auto noise = Pattern(10, 1);
  Store(noise);
  EXPECT_FALSE(stream_->IsCompressed());
  EXPECT_EQ(entry().StoredLength(), 10);
  EXPECT_EQ(Raw(10), noise);
  EXPECT_EQ(ReadFromStart(), noise);

  // Content whose image would be exactly as long as the data is stored plain.
  std::vector<std::uint8_t> tie;
  for (std::size_t zeros = 0; zeros < 400 && tie.empty(); ++zeros) {
    auto candidate = Pattern(60, 2);
    candidate.insert(candidate.end(), zeros, 0);
    std::vector<char> out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(candidate.size()))));
    const int c = LZ4_compress_default(reinterpret_cast<const char*>(candidate.data()), out.data(),
                                       static_cast<int>(candidate.size()), static_cast<int>(out.size()));
    if (c + 16 == static_cast<int>(candidate.size())) tie = candidate;
  }
  ASSERT_FALSE(tie.empty());
  stream_ = NewStream();
  Store(tie);
  EXPECT_FALSE(stream_->IsCompressed());
  EXPECT_EQ(entry().StoredLength(), static_cast<std::int32_t>(tie.size()));
}

TEST_F(CCompressedStreamTest, ReadingInPiecesDecompressesOnce) {
  const auto content = Repeated(5 * kMiB / 2);
  Store(content);
  ASSERT_TRUE(stream_->IsCompressed());
  EXPECT_EQ(stream_->Seek(0, kSeekBegin, nullptr), kQssOk);
  std::vector<std::uint8_t> piece(kMiB);
  std::vector<std::uint8_t> back;
  std::vector<std::uint32_t> counts;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t got = 7;
    EXPECT_EQ(stream_->Read(piece.data(), kMiB, &got), kQssOk);
    counts.push_back(got);
    back.insert(back.end(), piece.begin(), piece.begin() + got);
    if (i == 0) array_->ClearLog();
  }
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{kMiB, kMiB, kMiB / 2, 0}));
  EXPECT_EQ(back, content);
  EXPECT_TRUE(array_->reads.empty()) << "the image was read again for a later piece";
}

// A content of many megabytes lives in a buffer aligned for huge pages and
// freed as one: it reads back, and a rewrite (a second such buffer) keeps
// it whole.
TEST_F(CCompressedStreamTest, AContentOfManyMegabytesReadsBackAndRewrites) {
  auto content = Repeated(9 * kMiB + 123);
  Store(content);
  ASSERT_TRUE(stream_->IsCompressed());
  EXPECT_EQ(ReadFromStart(), content);
  EXPECT_EQ(stream_->Seek(5 * kMiB, kSeekBegin, nullptr), kQssOk);
  std::uint32_t written = 0;
  EXPECT_EQ(stream_->Write("xy", 2, &written), kQssOk);
  content[5 * kMiB] = 'x';
  content[5 * kMiB + 1] = 'y';
  EXPECT_EQ(ReadFromStart(), content);
}

// A short, well-compressed stretch followed by a long incompressible one:
// the image is barely smaller than the content, and decompressing it where
// the output could catch up with input not yet read garbled it.
TEST_F(CCompressedStreamTest, NearlyIncompressibleContentReadsBack) {
  std::mt19937 random(7);
  int compressedCount = 0;
  // Stores content in a fresh stream and, when it was compressed, reads it
  // back through a stream of its own.
  const auto roundTrip = [&](const std::vector<std::uint8_t>& content) {
    stream_ = NewStream();
    Store(content);
    if (!stream_->IsCompressed()) return;
    ++compressedCount;
    CQssRef<CCompressedStream> reader(new CCompressedStream());
    ASSERT_EQ(reader->Attach(nullptr, table_.get(), stream_->entry()), kQssOk);
    std::vector<std::uint8_t> back(content.size());
    std::uint32_t got = 0;
    ASSERT_EQ(reader->Read(back.data(), static_cast<std::int32_t>(back.size()), &got), kQssOk);
    EXPECT_EQ(got, content.size());
    EXPECT_EQ(back, content);
  };
  for (std::size_t noise = 600; noise <= 4000; noise += 97) {
    SCOPED_TRACE(noise);
    std::vector<std::uint8_t> content = Repeated(166);
    for (std::size_t i = 0; i < noise; ++i) content.push_back(static_cast<std::uint8_t>(random()));
    roundTrip(content);
  }
  // Mixtures of the two, in stretches of every length.
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::uint8_t> content;
    const int stretches = 1 + static_cast<int>(random() % 6);
    for (int k = 0; k < stretches; ++k) {
      const std::size_t length = random() % (k % 2 == 0 ? 600 : 3000);
      for (std::size_t i = 0; i < length; ++i)
        content.push_back(k % 2 == 0 ? static_cast<std::uint8_t>('a' + i / 9 % 3) : static_cast<std::uint8_t>(random()));
    }
    if (!content.empty()) roundTrip(content);
  }
  EXPECT_GT(compressedCount, 100);
}

TEST_F(CCompressedStreamTest, ReadCountOfZeroReadsNothingAndANegativeCountIsRefused) {
  Store(Repeated(1000));
  std::uint8_t byte = 0x11;
  std::uint32_t got = 77;
  EXPECT_EQ(stream_->Read(&byte, 0, &got), kQssOk);
  EXPECT_EQ(got, 0u);
  got = 77;
  EXPECT_EQ(stream_->Read(&byte, -1, &got), kQssInvalidArgument);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(byte, 0x11);
}

TEST_F(CCompressedStreamTest, RewritePadsWithSpacesAndDropsTheDecompressedContent) {
  const auto content = Repeated(1000);
  Store(content);
  EXPECT_EQ(ReadFromStart(), content);  // leaves the content decompressed

  std::int64_t position = -1;
  EXPECT_EQ(stream_->Seek(1010, kSeekBegin, &position), kQssOk);
  EXPECT_EQ(position, 1010);
  std::uint32_t written = 0;
  EXPECT_EQ(stream_->Write("HELLO", 5, &written), kQssOk);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(stream_->Seek(0, kSeekCurrent, &position), kQssOk);
  EXPECT_EQ(position, 1015);
  EXPECT_EQ(entry().Size(), 1015);
  EXPECT_TRUE(stream_->IsCompressed());

  auto expected = content;
  expected.insert(expected.end(), 10, 0x20);
  expected.insert(expected.end(), {'H', 'E', 'L', 'L', 'O'});
  EXPECT_EQ(ReadFromStart(), expected);

  // Overwriting inside the content keeps its length.
  EXPECT_EQ(stream_->Seek(2, kSeekBegin, nullptr), kQssOk);
  EXPECT_EQ(stream_->Write("xy", 2, &written), kQssOk);
  expected[2] = 'x';
  expected[3] = 'y';
  EXPECT_EQ(ReadFromStart(), expected);
}

// A rewrite whose image is shorter than the one before gives back the
// blocks the old image took beyond it: the chain holds exactly what the
// image needs, and the content reads back whole.
TEST_F(CCompressedStreamTest, AShorterImageGivesBackTheBlocksOfTheLongerOne) {
  Store(Repeated(1800));
  ASSERT_TRUE(stream_->IsCompressed());
  // Half of it made incompressible: a longer image.
  std::vector<std::uint8_t> noise = Pattern(3000, 9);
  std::uint32_t written = 0;
  ASSERT_EQ(stream_->Seek(1800, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream_->Write(noise.data(), static_cast<std::int32_t>(noise.size()), &written), kQssOk);
  ASSERT_TRUE(stream_->IsCompressed());
  const std::int64_t longImage = entry().StoredLength();
  const std::size_t freeWithLongImage = FreeBlockCount();
  // The noise overwritten with repeating text again: a much shorter image.
  const std::vector<std::uint8_t> text = Repeated(3000);
  ASSERT_EQ(stream_->Seek(1800, kSeekBegin, nullptr), kQssOk);
  ASSERT_EQ(stream_->Write(text.data(), static_cast<std::int32_t>(text.size()), &written), kQssOk);
  const std::int64_t shortImage = entry().StoredLength();
  ASSERT_LT((shortImage + 511) / 512, (longImage + 511) / 512);
  EXPECT_EQ(FreeBlockCount(), freeWithLongImage + (longImage + 511) / 512 - (shortImage + 511) / 512);
  EXPECT_EQ(qss_testing::ChainOf(table_.get(), entry().FirstBlock()).size(),
            static_cast<std::size_t>((shortImage + 511) / 512));
  std::vector<std::uint8_t> expected = Repeated(1800);
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(ReadFromStart(), expected);
}

TEST_F(CCompressedStreamTest, ResizeAndSeekOnCompressedContent) {
  Store(Repeated(100));
  ASSERT_TRUE(stream_->IsCompressed());
  const std::int32_t stored = entry().StoredLength();
  EXPECT_EQ(stream_->SetSize(100), kQssInvalidRequest);
  EXPECT_EQ(stream_->SetSize(50), kQssInvalidRequest);
  EXPECT_EQ(entry().Size(), 100);
  EXPECT_EQ(entry().StoredLength(), stored);

  std::int64_t position = 0;
  EXPECT_EQ(stream_->Seek(3, kSeekEnd, &position), kQssOk);
  EXPECT_EQ(position, 97);
  EXPECT_EQ(stream_->Seek(-7, kSeekCurrent, &position), kQssOk);
  EXPECT_EQ(position, 90);
  EXPECT_EQ(stream_->Seek(5, 9, &position), kQssOk);
  EXPECT_EQ(position, 90);

  // A position before the start reads nothing rather than before the buffer.
  EXPECT_EQ(stream_->Seek(-5, kSeekBegin, nullptr), kQssOk);
  std::uint8_t buffer[8];
  std::uint32_t got = 3;
  EXPECT_EQ(stream_->Read(buffer, 8, &got), kQssBeforeHead);
  EXPECT_EQ(got, 0u);

  const std::size_t freeBefore = FreeBlockCount();
  EXPECT_EQ(stream_->SetSize(0), kQssOk);
  EXPECT_EQ(entry().Size(), 0);
  EXPECT_EQ(entry().StoredLength(), 0);
  EXPECT_EQ(entry().FirstBlock(), -1);
  EXPECT_EQ(FreeBlockCount(), freeBefore + 1);

  // The next content starts at the beginning again, whatever the reads left
  // as the underlying position.
  const auto noise = Pattern(700, 3);
  Store(noise);
  EXPECT_EQ(entry().Size(), 700);
  EXPECT_EQ(entry().StoredLength(), 700);
  EXPECT_EQ(ReadFromStart(), noise);
  EXPECT_EQ(stream_->SetSize(300), kQssOk);  // plain content resizes and stays plain
  EXPECT_EQ(entry().StoredLength(), 300);
  EXPECT_EQ(ReadFromStart(), std::vector<std::uint8_t>(noise.begin(), noise.begin() + 300));
}

TEST_F(CCompressedStreamTest, StoredImageIsCheckedBeforeItIsTrusted) {
  const auto content = Repeated(3000);
  Store(content);
  const std::int32_t stored = entry().StoredLength();
  ASSERT_TRUE(stream_->IsCompressed());
  EXPECT_EQ(stream_->Seek(0, kSeekBegin, nullptr), kQssOk);

  PatchRaw(0, {0x78, 0x56, 0x34, 0x12});  // another magic
  ExpectImageRefused();
  PatchImageHeader(2999, stored);  // uncompressed length differs from the entry's size
  ExpectImageRefused();
  PatchImageHeader(3000, stored + 1);  // image length differs
  ExpectImageRefused();
  PatchImageHeader(3000, stored);
  EXPECT_EQ(ReadFromStart(), content);

  // The entry's own fields.
  stream_ = NewStream();
  Store(content);
  entry().SetStoredLength(-20);
  ExpectImageRefused();
  entry().SetStoredLength(12);
  ExpectImageRefused();
  entry().SetStoredLength(16);
  ExpectImageRefused();
  // A length LZ4 cannot reach from the image, even with a header that agrees.
  entry().SetStoredLength(stored);
  const std::int64_t beyondReach = 255LL * (stored - 16) + 1;
  entry().SetSize(beyondReach);
  PatchImageHeader(beyondReach, stored);
  ExpectImageRefused();
  // An image the chain does not hold, claimed by an agreeing header.
  const std::int32_t claimed = 0x10000000;
  entry().SetStoredLength(claimed);
  entry().SetSize(0x7E000000);
  PatchImageHeader(0x7E000000, claimed);
  ExpectImageRefused();

  // A damaged block.
  stream_ = NewStream();
  Store(content);
  PatchRaw(16, std::vector<std::uint8_t>(static_cast<std::size_t>(entry().StoredLength() - 16), 0xF7));
  ExpectImageRefused();

  // A rewrite does not replace content it cannot read with fill bytes.
  const std::int64_t size = entry().Size();
  const std::int32_t storedNow = entry().StoredLength();
  std::uint32_t written = 9;
  EXPECT_EQ(stream_->Write("zz", 2, &written), kQssNotAContainer);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(entry().Size(), size);
  EXPECT_EQ(entry().StoredLength(), storedNow);
}

// The image is decompressed in place, at the tail of the content's buffer.
// A damaged block, or an entry whose length is shorter than its image, must
// still decode within that buffer: whatever LZ4 makes of it, a read never
// delivers more than the recorded length (the sanitizer builds check the
// bounds).
TEST_F(CCompressedStreamTest, DamagedImagesDecodeWithinTheContentBuffer) {
  const auto content = Repeated(200000);
  std::mt19937 random(3);
  for (int round = 0; round < 20; ++round) {
    stream_ = NewStream();
    Store(content);
    const std::int32_t stored = entry().StoredLength();
    std::vector<std::uint8_t> damage(static_cast<std::size_t>(stored - 16));
    // Keep a valid start now and then, so that decoding runs far before it
    // meets the damage.
    const std::size_t keep = round % 2 == 0 ? 0 : damage.size() / 2;
    const auto original = Raw(stored);
    for (std::size_t i = 0; i < damage.size(); ++i)
      damage[i] = i < keep ? original[16 + i] : static_cast<std::uint8_t>(random());
    PatchRaw(16, damage);
    if (round >= 10) {
      // A length far below what the image claims to expand to.
      const std::int64_t shorter = stored / 2 + round;
      entry().SetSize(shorter);
      PatchImageHeader(shorter, stored);
    }
    EXPECT_EQ(stream_->Seek(0, kSeekBegin, nullptr), kQssOk);
    std::vector<std::uint8_t> back(content.size() + 10);
    std::uint32_t got = 0;
    const QssResult result = stream_->Read(back.data(), static_cast<std::int32_t>(back.size()), &got);
    EXPECT_TRUE(result == kQssOk || result == kQssNotAContainer) << result;
    EXPECT_LE(got, static_cast<std::uint64_t>(entry().Size()));
  }
}

TEST_F(CCompressedStreamTest, ShortFirstStoreLeavesTheStreamEmpty) {
  const std::size_t freeBefore = FreeBlockCount();
  auto content = Pattern(1500, 4);
  content.resize(6000, 0);
  // The first blocks handed out are 2, 3, ... from byte 1024 on: let the data
  // blocks refuse every write while the table block (at 512) still takes it.
  array_->writeLimit = 1024;
  std::uint32_t written = 5;
  EXPECT_TRUE(QssFailed(stream_->Write(content.data(), static_cast<std::int32_t>(content.size()), &written)));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(entry().Size(), 0);
  EXPECT_EQ(entry().StoredLength(), 0);
  EXPECT_EQ(entry().FirstBlock(), -1);
  EXPECT_EQ(FreeBlockCount(), freeBefore);

  array_->writeLimit = std::numeric_limits<std::int64_t>::max();
  Store(content);
  EXPECT_TRUE(stream_->IsCompressed());
  EXPECT_EQ(ReadFromStart(), content);
}

TEST_F(CCompressedStreamTest, InvalidRequestsChangeNothing) {
  Store(Repeated(1000));
  const std::int32_t stored = entry().StoredLength();
  std::uint32_t written = 4;
  EXPECT_EQ(stream_->Write("abc", -1, &written), kQssInvalidArgument);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(stream_->Write("abc", 0, &written), kQssOk);
  EXPECT_EQ(stream_->SetSize(-1), kQssInvalidArgument);
  EXPECT_EQ(stream_->SetSize(0x7E000001), kQssInvalidArgument);
  EXPECT_EQ(stream_->Seek(0x7F000000, kSeekBegin, nullptr), kQssOk);
  EXPECT_EQ(stream_->Write("abc", 3, &written), kQssInvalidArgument);

  entry().readOnly = true;
  EXPECT_EQ(stream_->Seek(0, kSeekBegin, nullptr), kQssOk);
  written = 4;
  EXPECT_EQ(stream_->Write("abc", 3, &written), kQssReadOnly);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(entry().Size(), 1000);
  EXPECT_EQ(entry().StoredLength(), stored);
  EXPECT_EQ(ReadFromStart(), Repeated(1000));

  // Plain content in a compressed-flag stream stops where compression would.
  stream_ = NewStream();
  Store(Pattern(100, 5));
  EXPECT_EQ(stream_->Seek(0x7E000000 - 2, kSeekBegin, nullptr), kQssOk);
  EXPECT_EQ(stream_->Write("abc", 3, &written), kQssInvalidArgument);
  EXPECT_EQ(entry().Size(), 100);
}

}  // namespace

}  // namespace qss

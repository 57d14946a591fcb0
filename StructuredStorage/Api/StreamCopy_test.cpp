#include "qss/StreamCopy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "qss/CLockGuard.h"
#include "ByteArrays/CMultiFileArray.h"
#include "ContainerTesting.h"
#include "TemporaryFolder.h"
#include "qss/CRootStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CreateContainer.h"

namespace qss {
namespace {

#ifndef _WIN32

// A container in files (the kernel's copies need a real file) holding one
// stream of the given content: plain in consecutive blocks, plain with its
// blocks relinked out of order, or compressed.
enum class Layout { kConsecutive, kShuffled, kCompressed };

class CopyStreamToFileTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    content_ = qss_testing::Bytes(300000, 11, GetParam() == Layout::kCompressed);
    array_ = CQssRef<CMultiFileArray>(new CMultiFileArray(folder_ / "c.qss",
                                                          native_file::kGenericRead | native_file::kGenericWrite, 0,
                                                          native_file::kAttributeNormal, 100000));
    ASSERT_EQ(array_->Create(), kQssOk);
    ASSERT_EQ(CreateContainer(array_.get(), 4, 512), kQssOk);
    root_ = CQssRef<CRootStorage>(new CRootStorage(array_.get()));
    ASSERT_TRUE(root_->valid());
    CStream* created = nullptr;
    ASSERT_EQ(root_->CreateStream(u"s", GetParam() == Layout::kCompressed, &created), kQssOk);
    stream_ = CQssRef<CStream>::Attach(created);
    if (GetParam() != Layout::kCompressed) {
      ASSERT_EQ(stream_->SetSize(content_.size()), kQssOk);
    }
    if (GetParam() == Layout::kShuffled) {
      std::vector<std::int64_t> chain = qss_testing::ChainOf(stream_->table(), stream_->entry()->FirstBlock());
      std::mt19937 random(5);
      std::shuffle(chain.begin() + 1, chain.end(), random);
      CLockGuard guard(stream_->table()->lock());
      qss_testing::LinkChain(stream_->table(), chain);
    }
    std::uint32_t written = 0;
    ASSERT_EQ(stream_->Write(content_.data(), static_cast<std::int32_t>(content_.size()), &written), kQssOk);
    ASSERT_EQ(written, content_.size());
  }

  std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
    std::vector<std::uint8_t> bytes(std::filesystem::file_size(path));
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(::read(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    return bytes;
  }

  TemporaryFolder folder_;
  std::vector<std::uint8_t> content_;
  CQssRef<CMultiFileArray> array_;
  CQssRef<CRootStorage> root_;
  CQssRef<CStream> stream_;
};

// The file receives the readable bytes at its own position (after what it
// held), whatever way each run takes: in the kernel, gathered, or through
// the buffer; the pieces told to progress add up to the whole.
TEST_P(CopyStreamToFileTest, TheFileGetsTheContentAtItsPosition) {
  const std::filesystem::path out = folder_ / "out.bin";
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "head", 4), 4);
  StreamCopyOptions options;
  options.pieceSize = 70000;
  std::int64_t told = 0;
  options.progress = [&](std::uint32_t size) { told += size; };
  StreamCopyReport report;
  EXPECT_EQ(CopyStreamToFile(stream_.get(), fd, options, &report), kQssOk);
  ::close(fd);
  EXPECT_EQ(report.stage, StreamCopyReport::Stage::kDone);
  EXPECT_EQ(report.copied, static_cast<std::int64_t>(content_.size()));
  EXPECT_EQ(told, report.copied);
  std::vector<std::uint8_t> expected = {'h', 'e', 'a', 'd'};
  expected.insert(expected.end(), content_.begin(), content_.end());
  EXPECT_TRUE(ReadFile(out) == expected);
}

// A pipe takes plain writes only; a descriptor that cannot be written is a
// failure of the sink, never a complete copy.
TEST_P(CopyStreamToFileTest, PipesWorkAndUnwritableTargetsFailAsTheSink) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  std::vector<std::uint8_t> received;
  std::thread reader([&] {
    std::uint8_t chunk[65536];
    for (ssize_t got; (got = ::read(pipeFds[0], chunk, sizeof(chunk))) > 0;) received.insert(received.end(), chunk, chunk + got);
  });
  EXPECT_EQ(CopyStreamToFile(stream_.get(), pipeFds[1]), kQssOk);
  ::close(pipeFds[1]);
  reader.join();
  ::close(pipeFds[0]);
  EXPECT_TRUE(received == content_);

  const std::filesystem::path out = folder_ / "read-only.bin";
  { const int made = ::open(out.c_str(), O_WRONLY | O_CREAT, 0644); ::close(made); }
  const int readOnly = ::open(out.c_str(), O_RDONLY);
  StreamCopyReport report;
  EXPECT_TRUE(QssFailed(CopyStreamToFile(stream_.get(), readOnly, {}, &report)));
  ::close(readOnly);
  EXPECT_EQ(report.stage, StreamCopyReport::Stage::kSink);
  EXPECT_EQ(std::filesystem::file_size(out), 0u);
}

// The other way: a file's bytes written into the stream inside the kernel,
// over the old content and across segment files, stopping where the file
// ends; a compressed stream refuses, and its content stays.
TEST_P(CopyStreamToFileTest, WriteFromFileStoresTheFileWhereWriteWould) {
  const std::vector<std::uint8_t> source = qss_testing::Bytes(200000, 12, false);
  const std::filesystem::path in = folder_ / "in.bin";
  {
    const int made = ::open(in.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(::write(made, source.data(), source.size()), static_cast<ssize_t>(source.size()));
    ::close(made);
  }
  const int fd = ::open(in.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(stream_->Seek(1000, kSeekBegin, nullptr), kQssOk);
  FileCopyState state;
  std::uint32_t written = 0;
  EXPECT_EQ(stream_->WriteFromFile(250000, fd, 100, &state, &written), kQssOk);
  ::close(fd);

  std::vector<std::uint8_t> expected = content_;
  if (GetParam() == Layout::kCompressed) {
    EXPECT_TRUE(state.kernelRefused);
    EXPECT_EQ(written, 0u);
  } else {
    if (state.kernelRefused) GTEST_SKIP() << "this file system does not copy between files in the kernel";
    EXPECT_EQ(written, source.size() - 100);
    EXPECT_EQ(stream_->position(), 1000 + static_cast<std::int64_t>(written));
    std::copy(source.begin() + 100, source.end(), expected.begin() + 1000);
  }
  ASSERT_EQ(stream_->Seek(0, kSeekBegin, nullptr), kQssOk);
  std::vector<std::uint8_t> back(expected.size() + 10);
  std::uint32_t got = 0;
  ASSERT_EQ(stream_->Read(back.data(), static_cast<std::int32_t>(back.size()), &got), kQssOk);
  back.resize(got);
  EXPECT_TRUE(back == expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, CopyStreamToFileTest,
                         ::testing::Values(Layout::kConsecutive, Layout::kShuffled, Layout::kCompressed));

// One plain stream "s" in a container of 512-byte blocks in a file.
class CopyStreamToFileDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    array = CQssRef<CMultiFileArray>(new CMultiFileArray(
        folder / "c.qss", native_file::kGenericRead | native_file::kGenericWrite, 0, native_file::kAttributeNormal));
    ASSERT_EQ(array->Create(), kQssOk);
    ASSERT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
    root = CQssRef<CRootStorage>(new CRootStorage(array.get()));
    CStream* created = nullptr;
    ASSERT_EQ(root->CreateStream(u"s", false, &created), kQssOk);
    stream = CQssRef<CStream>::Attach(created);
  }

  // Writes content into the stream, its blocks linked in an order shuffled
  // by seed, and flushes the container to its file.
  void WriteScattered(const std::vector<std::uint8_t>& content, unsigned seed) {
    ASSERT_EQ(stream->SetSize(content.size()), kQssOk);
    std::vector<std::int64_t> chain = qss_testing::ChainOf(stream->table(), stream->entry()->FirstBlock());
    std::mt19937 random(seed);
    std::shuffle(chain.begin() + 1, chain.end(), random);
    {
      CLockGuard guard(stream->table()->lock());
      qss_testing::LinkChain(stream->table(), chain);
    }
    ASSERT_EQ(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), nullptr), kQssOk);
    ASSERT_EQ(array->Flush(), kQssOk);
  }

  TemporaryFolder folder;
  CQssRef<CMultiFileArray> array;
  CQssRef<CRootStorage> root;
  CQssRef<CStream> stream;
};

// A chain that ends before the entry's length is a failed read after what
// arrived (as in CopyStream), never a complete copy.
TEST_F(CopyStreamToFileDamageTest, AChainThatEndsEarlyIsNotAWholeCopy) {
  const std::vector<std::uint8_t> content = qss_testing::Pattern(512 * 300, 4);
  ASSERT_EQ(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), nullptr), kQssOk);
  std::vector<std::int64_t> chain = qss_testing::ChainOf(stream->table(), stream->entry()->FirstBlock());
  {
    CLockGuard guard(stream->table()->lock());
    stream->table()->SetNext(chain[199], -1);
  }
  const std::filesystem::path out = folder / "out.bin";
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  StreamCopyReport report;
  EXPECT_EQ(CopyStreamToFile(stream.get(), fd, {}, &report), kQssNotAContainer);
  ::close(fd);
  EXPECT_EQ(report.stage, StreamCopyReport::Stage::kRead);
  EXPECT_EQ(report.copied, 512 * 200);
  EXPECT_EQ(std::filesystem::file_size(out), 512u * 200);
}

// A long copy starts with a short piece, so that one the kernel refuses
// from the start touches little of the buffer, and goes on in longer ones
// once the kernel took a piece; the bytes come out whole across them.
TEST_F(CopyStreamToFileDamageTest, ALongScatteredCopyComesOutWholeAcrossItsPieces) {
  const std::vector<std::uint8_t> content = qss_testing::Pattern(20 << 20, 9);
  WriteScattered(content, 3);
  if (HasFatalFailure()) return;

  const std::filesystem::path out = folder / "out.bin";
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(stream->Seek(0, kSeekBegin, nullptr), kQssOk);
  std::vector<std::uint32_t> pieces;
  StreamCopyOptions options;
  options.progress = [&](std::uint32_t size) { pieces.push_back(size); };
  EXPECT_EQ(CopyStreamToFile(stream.get(), fd, options), kQssOk);
  ::close(fd);
  ASSERT_EQ(std::filesystem::file_size(out), content.size());
  std::vector<std::uint8_t> back(content.size());
  const int in = ::open(out.c_str(), O_RDONLY);
  EXPECT_EQ(::read(in, back.data(), back.size()), static_cast<ssize_t>(back.size()));
  ::close(in);
  EXPECT_TRUE(back == content);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], 8u << 20);
}

// A scattered chain moves from a mapping of the container; a container cut
// short under the copy fails it as a read after the bytes that were there,
// and the process lives on.
TEST_F(CopyStreamToFileDamageTest, AContainerCutShortUnderAScatteredCopyIsAFailedRead) {
  const std::vector<std::uint8_t> content = qss_testing::Pattern(512 * 400, 6);
  WriteScattered(content, 8);
  if (HasFatalFailure()) return;

  const std::filesystem::path whole = folder / "whole.bin";
  int fd = ::open(whole.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(stream->Seek(0, kSeekBegin, nullptr), kQssOk);
  EXPECT_EQ(CopyStreamToFile(stream.get(), fd), kQssOk);
  ::close(fd);
  EXPECT_EQ(std::filesystem::file_size(whole), content.size());

  std::int64_t size = 0;
  ASSERT_EQ(array->GetSize(&size), kQssOk);
  ASSERT_EQ(::truncate((folder / "c.qss").c_str(), size / 2), 0);
  const std::filesystem::path cut = folder / "cut.bin";
  fd = ::open(cut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(stream->Seek(0, kSeekBegin, nullptr), kQssOk);
  StreamCopyReport report;
  EXPECT_TRUE(QssFailed(CopyStreamToFile(stream.get(), fd, {}, &report)));
  ::close(fd);
  EXPECT_EQ(report.stage, StreamCopyReport::Stage::kRead);
  EXPECT_LT(report.copied, static_cast<std::int64_t>(content.size()));
  EXPECT_EQ(std::filesystem::file_size(cut), static_cast<std::uintmax_t>(report.copied));
}

#endif  // !_WIN32

}  // namespace
}  // namespace qss

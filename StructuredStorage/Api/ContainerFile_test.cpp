#include "qss/ContainerFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ContainerTesting.h"
#include "TemporaryFolder.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/EntryPath.h"

namespace qss {

namespace {

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A container file at path holding one stream "data" of content.
void MakeContainer(const std::filesystem::path& path, const std::vector<std::uint8_t>& content,
                   std::int64_t segmentSize = kDefaultSegmentSize) {
  CQssRef<CRootStorage> root;
  ASSERT_EQ(CreateContainerFile(path, 4, 512, segmentSize, &root), kQssOk);
  CQssRef<CStream> stream;
  ASSERT_EQ(root->CreateStream(u"data", false, stream.Receive()), kQssOk);
  std::uint32_t written = 0;
  ASSERT_EQ(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), &written), kQssOk);
  ASSERT_EQ(written, content.size());
  stream.Reset();
  ASSERT_EQ(root->Commit(), kQssOk);
}

std::vector<std::uint8_t> ReadData(CRootStorage* root) {
  CQssRef<CStream> stream;
  EXPECT_EQ(OpenStreamPath(root, u"data", &stream), kQssOk);
  std::vector<std::uint8_t> bytes;
  if (stream) {
    EXPECT_EQ(qss_testing::ReadToEnd(stream.get(), &bytes), kQssOk);
  }
  return bytes;
}

}  // namespace

TEST(ContainerFileTest, OpensWhatWasCreatedAndReadOnlyLeavesTheFilesAlone) {
  TemporaryFolder folder;
  const auto path = folder / "one.qss";
  const auto content = qss_testing::Pattern(3000, 7);
  MakeContainer(path, content);
  const std::string before = FileBytes(path);
  {
    CQssRef<CRootStorage> root;
    ASSERT_EQ(OpenContainerFile(path, OpenMode::kReadOnly, &root), kQssOk);
    ASSERT_TRUE(root);
    EXPECT_EQ(ReadData(root.get()), content);
    CQssRef<CStream> created;
    EXPECT_EQ(root->CreateStream(u"more", false, created.Receive()), kQssReadOnly);
    EXPECT_FALSE(created);
  }
  EXPECT_EQ(FileBytes(path), before);

  // Read-write: a stream added and committed is there the next time.
  {
    CQssRef<CRootStorage> root;
    ASSERT_EQ(OpenContainerFile(path, OpenMode::kReadWrite, &root), kQssOk);
    CQssRef<CStream> created;
    ASSERT_EQ(root->CreateStream(u"more", false, created.Receive()), kQssOk);
    created.Reset();
    EXPECT_EQ(root->Commit(), kQssOk);
  }
  CQssRef<CRootStorage> root;
  ASSERT_EQ(OpenContainerFile(path, OpenMode::kReadOnly, &root), kQssOk);
  EXPECT_NE(FirstEntryNamed(root.get(), u"more"), nullptr);
  EXPECT_EQ(ReadData(root.get()), content);
}

TEST(ContainerFileTest, SegmentedContainerOpensFromItsBaseName) {
  TemporaryFolder folder;
  const auto path = folder / "split.qss";
  const auto content = qss_testing::Pattern(20000, 3);
  MakeContainer(path, content, 4096);
  ASSERT_TRUE(std::filesystem::exists(folder / "split.qss.F0002"));
  ASSERT_TRUE(std::filesystem::exists(folder / "split.qss.F0005"));
  EXPECT_EQ(std::filesystem::file_size(path), 4096u);

  CQssRef<CRootStorage> root;
  ASSERT_EQ(OpenContainerFile(path, OpenMode::kReadOnly, &root), kQssOk);
  EXPECT_EQ(ReadData(root.get()), content);
}

// The bytes of a container without its root: what a checker reads.
TEST(ContainerFileTest, ContainerBytesOpenEverySegmentAndFailLikeTheContainer) {
  TemporaryFolder folder;
  const auto path = folder / "split.qss";
  MakeContainer(path, qss_testing::Pattern(20000, 3), 4096);
  EXPECT_EQ(SegmentFileName(path, 1), path);
  EXPECT_EQ(SegmentFileName(path, 2), folder / "split.qss.F0002");
  EXPECT_EQ(SegmentFileName(path, 123), folder / "split.qss.F0123");

  std::int32_t segments = 0;
  std::int64_t total = 0;
  for (std::int32_t n = 1; std::filesystem::exists(SegmentFileName(path, n)); ++n) {
    ++segments;
    total += static_cast<std::int64_t>(std::filesystem::file_size(SegmentFileName(path, n)));
  }
  ASSERT_GT(segments, 1);
  const std::string before = FileBytes(path);
  {
    CQssRef<CPhysicalByteArray> array;
    ContainerFiles files;
    ASSERT_EQ(OpenContainerBytes(path, OpenMode::kReadOnly, &array, &files), kQssOk);
    ASSERT_TRUE(array);
    EXPECT_EQ(files.segments, segments);
    EXPECT_EQ(files.segmentSize, 4096);
    std::int64_t size = 0;
    ASSERT_EQ(array->GetSize(&size), kQssOk);
    EXPECT_EQ(size, total);
    // Read-only files take no write.
    const std::uint8_t byte = 0;
    EXPECT_TRUE(QssFailed(array->WriteAt(0, &byte, 1, nullptr)));

    CQssRef<CRootStorage> root;
    ASSERT_EQ(CRootStorage::Open(array.get(), &root), kQssOk);
    root->rootEntry()->readOnly = true;
    EXPECT_EQ(ReadData(root.get()), qss_testing::Pattern(20000, 3));
  }
  EXPECT_EQ(FileBytes(path), before);

  CQssRef<CPhysicalByteArray> array;
  EXPECT_EQ(OpenContainerBytes(folder / "missing.qss", OpenMode::kReadOnly, &array),
            QssResultFromSystemError(ENOENT));
  EXPECT_FALSE(array);
  EXPECT_FALSE(std::filesystem::exists(folder / "missing.qss"));
  EXPECT_EQ(OpenContainerBytes(path, OpenMode::kReadOnly, nullptr), kQssNullResult);
}

TEST(ContainerFileTest, FailuresHandOutNoRoot) {
  TemporaryFolder folder;
  CQssRef<CRootStorage> root;

  // Nothing at the path: the system's own not-found code, not a container error.
  EXPECT_EQ(OpenContainerFile(folder / "missing.qss", OpenMode::kReadOnly, &root), QssResultFromSystemError(ENOENT));
  EXPECT_FALSE(root);
  EXPECT_FALSE(std::filesystem::exists(folder / "missing.qss"));  // opening never creates
  EXPECT_EQ(OpenContainerFile(folder / "missing.qss", OpenMode::kReadWrite, &root), QssResultFromSystemError(ENOENT));
  EXPECT_FALSE(std::filesystem::exists(folder / "missing.qss"));

  // Not a container at all.
  WriteFile(folder / "text.qss", std::string(2000, 'x'));
  EXPECT_EQ(OpenContainerFile(folder / "text.qss", OpenMode::kReadOnly, &root), kQssNotAContainer);
  EXPECT_FALSE(root);

  // A container cut short inside its table or directory.
  const auto path = folder / "cut.qss";
  MakeContainer(path, qss_testing::Pattern(5000, 1));
  const std::string whole = FileBytes(path);
  for (const std::size_t length : {std::size_t{0}, std::size_t{100}, std::size_t{300}, std::size_t{600}}) {
    WriteFile(path, whole.substr(0, length));
    const QssResult result = OpenContainerFile(path, OpenMode::kReadOnly, &root);
    EXPECT_TRUE(QssFailed(result)) << length;
    EXPECT_FALSE(root) << length;
  }

  // A root directory that claims more than the file holds is refused before
  // the directory is read.
  std::string damaged = whole;
  damaged[64 + 88 + 5] = 1;  // the root record's size gains 2^40
  WriteFile(path, damaged);
  EXPECT_EQ(OpenContainerFile(path, OpenMode::kReadOnly, &root), kQssNotAContainer);
  EXPECT_FALSE(root);

  EXPECT_EQ(OpenContainerFile(path, OpenMode::kReadOnly, nullptr), kQssNullResult);
}

TEST(ContainerFileTest, CreateRefusesBadLayoutsAndMemoryContainersRoundTrip) {
  TemporaryFolder folder;
  CQssRef<CRootStorage> root;
  EXPECT_EQ(CreateContainerFile(folder / "bad.qss", 3, 512, kDefaultSegmentSize, &root), kQssInvalidArgument);
  EXPECT_FALSE(root);

  CQssRef<CMemoryByteArray> memory(new CMemoryByteArray());
  ASSERT_EQ(CRootStorage::Create(memory.get(), 8, 1024, &root), kQssOk);
  CQssRef<CStorage> storage;
  ASSERT_EQ(root->CreateStorage(u"dir", storage.Receive()), kQssOk);
  storage.Reset();
  ASSERT_EQ(root->Commit(), kQssOk);
  root.Reset();

  CQssRef<CMemoryByteArray> copy(new CMemoryByteArray(memory->Bytes()));
  ASSERT_EQ(CRootStorage::Open(copy.get(), &root), kQssOk);
  EXPECT_EQ(OpenStoragePath(root.get(), {u"dir"}, &storage), kQssOk);

  CQssRef<CMemoryByteArray> empty(new CMemoryByteArray());
  EXPECT_TRUE(QssFailed(CRootStorage::Open(empty.get(), &root)));
  EXPECT_FALSE(root);
  EXPECT_EQ(CRootStorage::Open(nullptr, &root), kQssInvalidPointer);
}

}  // namespace qss

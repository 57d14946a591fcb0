// The file layer's contract, which the POSIX and the Windows implementations
// both have to keep: the byte arrays above it are tested once, on top of
// whichever of the two is built.

#include "qss/NativeFile.h"
#include "qss/NativeFolder.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qss {

namespace {

using native_file::kCreateAlways;
using native_file::kGenericRead;
using native_file::kGenericWrite;
using native_file::kOpenExisting;

// "File not found" has the number 2 on both platforms (ENOENT,
// ERROR_FILE_NOT_FOUND).
constexpr QssResult kFileNotFound = QssResultFromSystemError(2);

class NativeFileLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    directory_ = std::filesystem::temp_directory_path() /
                 (std::string("qss-nativefile-") + test->name() + "-" +
                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  std::unique_ptr<NativeFile> Create(const std::filesystem::path& path, std::uint32_t share = 0) {
    std::unique_ptr<NativeFile> file;
    EXPECT_EQ(kQssOk, NativeFile::Open(path, kGenericRead | kGenericWrite, share, kCreateAlways,
                                       native_file::kAttributeNormal, &file));
    return file;
  }

  std::filesystem::path directory_;
};

TEST_F(NativeFileLayerTest, MissingFileIsNotFoundAndIsNeverCreatedByOpenExisting) {
  const auto path = directory_ / "missing.bin";
  std::unique_ptr<NativeFile> file;
  EXPECT_EQ(kFileNotFound, NativeFile::Open(path, kGenericRead, native_file::kShareRead, kOpenExisting,
                                            native_file::kAttributeNormal, &file));
  EXPECT_EQ(nullptr, file);
  EXPECT_FALSE(std::filesystem::exists(path));

  std::int64_t length = -1;
  EXPECT_TRUE(QssFailed(NativeFile::QueryLength(path, &length)));
  EXPECT_TRUE(QssFailed(NativeFile::Delete(path)));
}

TEST_F(NativeFileLayerTest, WritesPastTheEndLeaveAZeroGapAndReadsStopAtTheEnd) {
  const auto path = directory_ / "data.bin";
  auto file = Create(path);
  ASSERT_NE(nullptr, file);

  const std::array<unsigned char, 4> bytes{1, 2, 3, 4};
  std::uint32_t done = 99;
  ASSERT_EQ(kQssOk, file->WriteAt(10, bytes.data(), 4, &done));
  EXPECT_EQ(4u, done);
  std::int64_t size = 0;
  ASSERT_EQ(kQssOk, file->GetSize(&size));
  EXPECT_EQ(14, size);

  std::array<unsigned char, 20> read{};
  read.fill(0xEE);
  ASSERT_EQ(kQssOk, file->ReadAt(8, read.data(), 20, &done));
  EXPECT_EQ(6u, done);  // the end of the file stops the read
  const std::array<unsigned char, 6> expected{0, 0, 1, 2, 3, 4};
  EXPECT_EQ(0, std::memcmp(expected.data(), read.data(), expected.size()));
  EXPECT_EQ(0xEE, read[6]);

  // At and beyond the end there is nothing to read, and that is no error.
  ASSERT_EQ(kQssOk, file->ReadAt(14, read.data(), 4, &done));
  EXPECT_EQ(0u, done);
  ASSERT_EQ(kQssOk, file->ReadAt(1000, read.data(), 4, &done));
  EXPECT_EQ(0u, done);

  EXPECT_TRUE(QssFailed(file->ReadAt(-1, read.data(), 4, &done)));
  EXPECT_TRUE(QssFailed(file->WriteAt(-1, bytes.data(), 4, &done)));
  EXPECT_EQ(0u, done);
}

TEST_F(NativeFileLayerTest, SetSizeTruncatesAndExtendsAndQueryLengthSeesItWithoutOpening) {
  const auto path = directory_ / "sized.bin";
  auto file = Create(path);
  ASSERT_NE(nullptr, file);
  const std::vector<unsigned char> bytes(100, 0x5A);
  ASSERT_EQ(kQssOk, file->WriteAt(0, bytes.data(), 100, nullptr));

  ASSERT_EQ(kQssOk, file->SetSize(30));
  std::int64_t size = 0;
  ASSERT_EQ(kQssOk, file->GetSize(&size));
  EXPECT_EQ(30, size);

  ASSERT_EQ(kQssOk, file->SetSize(5000));
  std::array<unsigned char, 2> tail{0xEE, 0xEE};
  std::uint32_t done = 0;
  ASSERT_EQ(kQssOk, file->ReadAt(29, tail.data(), 2, &done));
  EXPECT_EQ(2u, done);
  EXPECT_EQ(0x5A, tail[0]);
  EXPECT_EQ(0x00, tail[1]);  // the extension reads as zero bytes

  EXPECT_TRUE(QssFailed(file->SetSize(-1)));
  ASSERT_EQ(kQssOk, file->Flush());
  file.reset();

  std::int64_t length = 0;
  ASSERT_EQ(kQssOk, NativeFile::QueryLength(path, &length));
  EXPECT_EQ(5000, length);
}

TEST_F(NativeFileLayerTest, CreateAlwaysTruncatesAndDeleteRemoves) {
  const auto path = directory_ / "again.bin";
  {
    auto file = Create(path);
    ASSERT_NE(nullptr, file);
    const char text[] = "0123456789";
    ASSERT_EQ(kQssOk, file->WriteAt(0, text, 10, nullptr));
  }
  {
    auto file = Create(path);
    ASSERT_NE(nullptr, file);
    std::int64_t size = -1;
    ASSERT_EQ(kQssOk, file->GetSize(&size));
    EXPECT_EQ(0, size);
  }
  ASSERT_EQ(kQssOk, NativeFile::Delete(path));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(NativeFileLayerTest, ReadOnlyFileRefusesWrites) {
  const auto path = directory_ / "readonly.bin";
  Create(path).reset();
  std::unique_ptr<NativeFile> file;
  ASSERT_EQ(kQssOk, NativeFile::Open(path, kGenericRead, native_file::kShareRead, kOpenExisting,
                                     native_file::kAttributeNormal, &file));
  const char byte = 1;
  std::uint32_t done = 7;
  EXPECT_TRUE(QssFailed(file->WriteAt(0, &byte, 1, &done)));
  EXPECT_EQ(0u, done);
  EXPECT_TRUE(QssFailed(file->SetSize(10)));
  std::int64_t size = -1;
  ASSERT_EQ(kQssOk, file->GetSize(&size));
  EXPECT_EQ(0, size);
}

#ifndef _WIN32
// Pieces moved to another file come from a mapping of this one that only the
// kernel touches: a file cut short under it makes the move stop and refuse
// (the caller's plain reads then report the short file) instead of killing
// the process, and a target that cannot be written is a failure.
TEST_F(NativeFileLayerTest, PiecesOfAFileCutShortAreRefusedNotFatal) {
  const auto path = directory_ / "source.bin";
  std::unique_ptr<NativeFile> source = Create(path);
  std::vector<char> content(64 * 1024);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
  ASSERT_EQ(kQssOk, source->WriteAt(0, content.data(), static_cast<std::uint32_t>(content.size()), nullptr));
  const auto outPath = directory_ / "out.bin";
  std::unique_ptr<NativeFile> out = Create(outPath);
  // Two pieces near the start, then many far into the file.
  std::vector<ReadPiece> pieces = {{8192, nullptr, 4096}, {0, nullptr, 100}};
  for (int i = 0; i < 30; ++i) pieces.push_back(ReadPiece{40000 + 700 * i, nullptr, 500});
  const std::uint32_t near = 4096 + 100;
  const std::uint32_t all = near + 30 * 500;
  std::uint32_t done = 0;
  bool refused = false;
  ASSERT_EQ(kQssOk, source->CopyPiecesToHandle(pieces.data(), pieces.size(), out->Handle(), &done, &refused));
  if (refused) GTEST_SKIP() << "this system moves no pieces between files in the kernel";
  EXPECT_EQ(done, all);

  ASSERT_EQ(kQssOk, source->SetSize(16 * 1024));
  ASSERT_EQ(kQssOk, source->CopyPiecesToHandle(pieces.data(), pieces.size(), out->Handle(), &done, &refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ(done, near);
  out.reset();
  std::ifstream in(outPath, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(written.size(), all + near);
  EXPECT_EQ(written.substr(all, 4096), std::string(content.data() + 8192, 4096));
  EXPECT_EQ(written.substr(all - 500, 500), std::string(content.data() + 40000 + 700 * 29, 500));

  const auto readOnlyPath = directory_ / "read-only.bin";
  Create(readOnlyPath).reset();
  std::unique_ptr<NativeFile> readOnly;
  ASSERT_EQ(kQssOk, NativeFile::Open(readOnlyPath, kGenericRead, 0, kOpenExisting, native_file::kAttributeNormal,
                                     &readOnly));
  EXPECT_TRUE(QssFailed(source->CopyPiecesToHandle(pieces.data(), pieces.size(), readOnly->Handle(), &done, &refused)));
  EXPECT_FALSE(refused);
  EXPECT_EQ(done, 0u);
}
#endif

TEST_F(NativeFileLayerTest, DirectoriesAreNoFiles) {
  std::unique_ptr<NativeFile> file;
  EXPECT_TRUE(QssFailed(NativeFile::Open(directory_, kGenericRead, native_file::kShareRead, kOpenExisting,
                                         native_file::kAttributeNormal, &file)));
  EXPECT_EQ(nullptr, file);
  std::int64_t length = -1;
  EXPECT_TRUE(QssFailed(NativeFile::QueryLength(directory_, &length)));
}

TEST_F(NativeFileLayerTest, SetTimesStampsTheLastWriteTime) {
  const auto path = directory_ / "stamped.bin";
  // 2001-09-09 01:46:40 UTC: 10^9 seconds after the Unix epoch.
  constexpr FileTime kStamp = 116444736000000000ull + 1000000000ull * 10000000ull;
  {
    auto file = Create(path);
    ASSERT_NE(nullptr, file);
    ASSERT_EQ(kQssOk, file->SetTimes(kStamp));
  }
  const auto written = std::filesystem::last_write_time(path);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::file_clock::to_sys(written).time_since_epoch());
  EXPECT_EQ(1000000000, seconds.count());
}

TEST_F(NativeFileLayerTest, NamesOutsideAsciiReachTheFileSystem) {
  const auto path = directory_ / std::filesystem::path(u8"Gr\u00fc\u00dfe-\u6587\u4ef6.bin");
  auto file = Create(path);
  ASSERT_NE(nullptr, file);
  file.reset();
  EXPECT_TRUE(std::filesystem::exists(path));
  std::int64_t length = -1;
  EXPECT_EQ(kQssOk, NativeFile::QueryLength(path, &length));
  EXPECT_EQ(0, length);
}

TEST_F(NativeFileLayerTest, ShareModeIsEnforcedOnWindows) {
#ifndef _WIN32
  GTEST_SKIP() << "POSIX has no share modes; the layer accepts and ignores them";
#else
  const auto path = directory_ / "shared.bin";
  auto writer = Create(path, native_file::kShareRead);
  ASSERT_NE(nullptr, writer);
  std::unique_ptr<NativeFile> second;
  // A second writer is refused (ERROR_SHARING_VIOLATION, 32) ...
  EXPECT_EQ(QssResultFromSystemError(32), NativeFile::Open(path, kGenericWrite, native_file::kShareRead |
                                                               native_file::kShareWrite, kOpenExisting,
                                                           native_file::kAttributeNormal, &second));
  // ... and a reader that shares writing with the first is let in.
  EXPECT_EQ(kQssOk, NativeFile::Open(path, kGenericRead, native_file::kShareRead | native_file::kShareWrite,
                                     kOpenExisting, native_file::kAttributeNormal, &second));
  // Names with wildcards would make the length query measure another file.
  std::int64_t length = -1;
  EXPECT_TRUE(QssFailed(NativeFile::QueryLength(directory_ / "shar?d.bin", &length)));
#endif
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// A name that exists in any form, a link to a file outside included, is
// never opened by kCreateNew, so nothing is written through it.
TEST_F(NativeFileLayerTest, CreateNewRefusesEveryExistingName) {
  const auto path = directory_ / "new.bin";
  std::unique_ptr<NativeFile> file;
  ASSERT_EQ(kQssOk, NativeFile::Open(path, kGenericRead | kGenericWrite, 0, native_file::kCreateNew,
                                     native_file::kAttributeNormal, &file));
  file.reset();
  EXPECT_TRUE(QssFailed(NativeFile::Open(path, kGenericRead | kGenericWrite, 0, native_file::kCreateNew,
                                         native_file::kAttributeNormal, &file)));
  EXPECT_EQ(nullptr, file);
#ifndef _WIN32
  WriteAll(directory_ / "outside", "keep");
  std::filesystem::create_symlink(directory_ / "outside", directory_ / "link");
  std::filesystem::create_symlink(directory_ / "nowhere", directory_ / "dangling");
  for (const char* name : {"link", "dangling"}) {
    EXPECT_TRUE(QssFailed(NativeFile::Open(directory_ / name, kGenericWrite, 0, native_file::kCreateNew,
                                           native_file::kAttributeNormal, &file)))
        << name;
  }
  EXPECT_EQ(ReadAll(directory_ / "outside"), "keep");
  EXPECT_FALSE(std::filesystem::exists(directory_ / "nowhere"));
#endif
}

TEST_F(NativeFileLayerTest, MoveOverSwapsNamesAndNeverWritesThroughAHardLink) {
  const auto outside = directory_ / "outside.bin";
  const auto target = directory_ / "target.bin";
  const auto source = directory_ / "source.bin";
  WriteAll(outside, "precious");
  std::filesystem::create_hard_link(outside, target);
  WriteAll(source, "new");
  ASSERT_EQ(kQssOk, NativeFile::MoveOver(source, target));
  EXPECT_EQ(ReadAll(target), "new");
  EXPECT_EQ(ReadAll(outside), "precious");
  EXPECT_FALSE(std::filesystem::exists(source));
  // A missing source changes nothing.
  EXPECT_TRUE(QssFailed(NativeFile::MoveOver(source, target)));
  EXPECT_EQ(ReadAll(target), "new");
  EXPECT_EQ(kQssOk, NativeFile::SyncFolder(directory_));
#ifndef _WIN32  // Windows writes moves through as they are made; nothing is opened to sync
  EXPECT_TRUE(QssFailed(NativeFile::SyncFolder(directory_ / "missing")));
#endif
}

// A move that must not replace: a file (or, on POSIX, a link, even one that
// leads nowhere) at the target fails it and both names keep their files.
TEST_F(NativeFileLayerTest, MoveNoReplaceMovesOnlyToAFreeName) {
  const auto source = directory_ / "source.bin";
  const auto target = directory_ / "target.bin";
  WriteAll(source, "new");
  WriteAll(target, "old");
  EXPECT_TRUE(QssFailed(NativeFile::MoveNoReplace(source, target)));
  EXPECT_EQ(ReadAll(target), "old");
  EXPECT_EQ(ReadAll(source), "new");
#ifndef _WIN32
  const auto dangling = directory_ / "dangling";
  std::filesystem::create_symlink(directory_ / "nowhere", dangling);
  EXPECT_TRUE(QssFailed(NativeFile::MoveNoReplace(source, dangling)));
  EXPECT_TRUE(std::filesystem::is_symlink(dangling));
  EXPECT_FALSE(std::filesystem::exists(directory_ / "nowhere"));
#endif
  const auto free = directory_ / "free.bin";
  ASSERT_EQ(kQssOk, NativeFile::MoveNoReplace(source, free));
  EXPECT_EQ(ReadAll(free), "new");
  EXPECT_FALSE(std::filesystem::exists(source));
}

TEST_F(NativeFileLayerTest, OpenForReadingNoFollowOpensRegularFilesOnly) {
  const auto path = directory_ / "plain.bin";
  WriteAll(path, "content");
  std::unique_ptr<NativeFile> file;
  native_file::FoundKind found = native_file::FoundKind::kUnknown;
  ASSERT_EQ(kQssOk, NativeFile::OpenForReadingNoFollow(path, &file, &found));
  EXPECT_EQ(found, native_file::FoundKind::kRegularFile);
  char text[16] = {};
  std::uint32_t done = 0;
  ASSERT_EQ(kQssOk, file->ReadAt(0, text, sizeof(text), &done));
  EXPECT_EQ(std::string(text, done), "content");
  EXPECT_TRUE(QssFailed(file->WriteAt(0, "x", 1, &done)));
  file.reset();

  EXPECT_EQ(kQssInvalidArgument, NativeFile::OpenForReadingNoFollow(directory_, &file, &found));
  EXPECT_EQ(found, native_file::FoundKind::kFolder);
  EXPECT_EQ(kFileNotFound, NativeFile::OpenForReadingNoFollow(directory_ / "missing", &file, &found));
  EXPECT_EQ(found, native_file::FoundKind::kUnknown);
  EXPECT_EQ(nullptr, file);

  // Opened with its length, and probed without an open: the same answers.
  std::int64_t length = -1;
  ASSERT_EQ(kQssOk, NativeFile::OpenForReadingNoFollow(path, &file, &found, &length));
  EXPECT_EQ(length, 7);
  file.reset();
  length = -1;
  ASSERT_EQ(kQssOk, NativeFile::ProbeForReading(path, &found, &length));
  EXPECT_EQ(found, native_file::FoundKind::kRegularFile);
  EXPECT_EQ(length, 7);
  EXPECT_EQ(kQssInvalidArgument, NativeFile::ProbeForReading(directory_, &found, &length));
  EXPECT_EQ(found, native_file::FoundKind::kFolder);
  EXPECT_EQ(kFileNotFound, NativeFile::ProbeForReading(directory_ / "missing", &found, &length));
  EXPECT_EQ(found, native_file::FoundKind::kUnknown);
}

// A folder held open answers for its files as the path calls do, and only
// for names inside it.
TEST_F(NativeFileLayerTest, AFolderHeldOpenProbesAndOpensItsFilesByName) {
  WriteAll(directory_ / "plain.bin", "content");
  std::filesystem::create_directories(directory_ / "inner");
  WriteAll(directory_ / "inner" / "deeper.bin", "x");
  std::unique_ptr<NativeFolder> folder;
  ASSERT_EQ(kQssOk, NativeFolder::Open(directory_, &folder));
  EXPECT_EQ(folder->path(), directory_);

  native_file::FoundKind found = native_file::FoundKind::kUnknown;
  std::int64_t length = -1;
  ASSERT_EQ(kQssOk, folder->ProbeForReading("plain.bin", &found, &length));
  EXPECT_EQ(found, native_file::FoundKind::kRegularFile);
  EXPECT_EQ(length, 7);
  std::unique_ptr<NativeFile> file;
  length = -1;
  ASSERT_EQ(kQssOk, folder->OpenForReadingNoFollow("plain.bin", &file, &found, &length));
  EXPECT_EQ(length, 7);
  char text[16] = {};
  std::uint32_t done = 0;
  ASSERT_EQ(kQssOk, file->ReadAt(0, text, sizeof(text), &done));
  EXPECT_EQ(std::string(text, done), "content");
  file.reset();

  EXPECT_EQ(kQssInvalidArgument, folder->ProbeForReading("inner", &found, &length));
  EXPECT_EQ(found, native_file::FoundKind::kFolder);
  EXPECT_EQ(kQssInvalidArgument, folder->OpenForReadingNoFollow("inner", &file, &found, nullptr));
  EXPECT_EQ(found, native_file::FoundKind::kFolder);
  EXPECT_EQ(kFileNotFound, folder->OpenForReadingNoFollow("missing", &file, &found, nullptr));
  EXPECT_EQ(found, native_file::FoundKind::kUnknown);
  // Only a plain name: a path, "." or ".." would name something else.
  const std::filesystem::path besides = directory_.filename().string() + "-besides";
  WriteAll(directory_.parent_path() / besides, "besides");
  for (const std::filesystem::path& name :
       {std::filesystem::path("inner") / "deeper.bin", std::filesystem::path(), directory_ / "plain.bin",
        std::filesystem::path(".."), std::filesystem::path("."), std::filesystem::path("..") / besides}) {
    found = native_file::FoundKind::kRegularFile;
    EXPECT_EQ(kQssInvalidArgument, folder->ProbeForReading(name, &found, &length)) << name;
    EXPECT_EQ(found, native_file::FoundKind::kUnknown) << name;
    EXPECT_EQ(kQssInvalidArgument, folder->OpenForReadingNoFollow(name, &file, &found, nullptr)) << name;
    EXPECT_EQ(nullptr, file);
  }
  std::filesystem::remove(directory_.parent_path() / besides);

  EXPECT_EQ(kFileNotFound, NativeFolder::Open(directory_ / "missing", &folder));
  EXPECT_EQ(nullptr, folder);
  EXPECT_TRUE(QssFailed(NativeFolder::Open(directory_ / "plain.bin", &folder)));
  EXPECT_EQ(nullptr, folder);
}

#ifndef _WIN32
// A source swapped for a link or a FIFO is refused at once: the open
// neither follows the link nor waits for a writer.
TEST_F(NativeFileLayerTest, OpenForReadingNoFollowRefusesLinksAndFifosWithoutWaiting) {
  WriteAll(directory_ / "target", "secret");
  std::filesystem::create_symlink(directory_ / "target", directory_ / "link");
  std::filesystem::create_symlink(directory_ / "nowhere", directory_ / "dangling");
  ASSERT_EQ(0, ::mkfifo((directory_ / "fifo").c_str(), 0600));
  std::unique_ptr<NativeFile> file;
  native_file::FoundKind found = native_file::FoundKind::kUnknown;
  for (const char* name : {"link", "dangling"}) {
    EXPECT_EQ(kQssInvalidArgument, NativeFile::OpenForReadingNoFollow(directory_ / name, &file, &found)) << name;
    EXPECT_EQ(found, native_file::FoundKind::kLink) << name;
  }
  EXPECT_EQ(kQssInvalidArgument, NativeFile::OpenForReadingNoFollow(directory_ / "fifo", &file, &found));
  EXPECT_EQ(found, native_file::FoundKind::kSpecial);
  EXPECT_EQ(nullptr, file);
  for (const char* name : {"link", "dangling", "fifo"}) {
    EXPECT_EQ(kQssInvalidArgument, NativeFile::ProbeForReading(directory_ / name, &found, nullptr)) << name;
    EXPECT_EQ(found, name[0] == 'f' ? native_file::FoundKind::kSpecial : native_file::FoundKind::kLink) << name;
  }
}

// The folder held open is the one that was opened: a link in it is not
// followed, and a folder moved away keeps answering for its own files.
TEST_F(NativeFileLayerTest, AFolderHeldOpenRefusesLinksAndStaysTheFolderItWas) {
  std::filesystem::create_directories(directory_ / "first");
  WriteAll(directory_ / "first" / "file", "first");
  WriteAll(directory_ / "target", "secret");
  std::filesystem::create_symlink(directory_ / "target", directory_ / "first" / "link");
  std::unique_ptr<NativeFolder> folder;
  ASSERT_EQ(kQssOk, NativeFolder::Open(directory_ / "first", &folder));
  native_file::FoundKind found = native_file::FoundKind::kUnknown;
  std::unique_ptr<NativeFile> file;
  EXPECT_EQ(kQssInvalidArgument, folder->OpenForReadingNoFollow("link", &file, &found, nullptr));
  EXPECT_EQ(found, native_file::FoundKind::kLink);
  EXPECT_EQ(kQssInvalidArgument, folder->ProbeForReading("link", &found, nullptr));
  EXPECT_EQ(found, native_file::FoundKind::kLink);

  std::filesystem::rename(directory_ / "first", directory_ / "moved");
  std::filesystem::create_directories(directory_ / "first");
  WriteAll(directory_ / "first" / "file", "a stranger");
  std::int64_t length = -1;
  ASSERT_EQ(kQssOk, folder->OpenForReadingNoFollow("file", &file, &found, &length));
  EXPECT_EQ(length, 5);
}

TEST_F(NativeFileLayerTest, AReapedChildIsNoLongerAlive) {
  EXPECT_TRUE(native_file::ProcessIsAlive(native_file::CurrentProcessId()));
  EXPECT_EQ(native_file::CurrentProcessId(), static_cast<std::uint32_t>(::getpid()));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_FALSE(native_file::ProcessIsAlive(static_cast<std::uint32_t>(child)));
  EXPECT_FALSE(native_file::ProcessIsAlive(0));
}
#else
TEST_F(NativeFileLayerTest, ThisProcessIsAliveAndAnUnusedIdIsNot) {
  EXPECT_TRUE(native_file::ProcessIsAlive(native_file::CurrentProcessId()));
  EXPECT_FALSE(native_file::ProcessIsAlive(0x3FFFFFF0u));
}
#endif

}  // namespace

}  // namespace qss

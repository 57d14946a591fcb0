#include "ByteArrays/CFileArray.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/NativeFile.h"
#include "TemporaryFolder.h"

namespace qss {

namespace {

class FileArrayTest : public ::testing::Test {
 protected:
  CQssRef<CFileArray> OpenArray(const std::string& contents) {
    std::ofstream(path_, std::ios::binary) << contents;
    std::unique_ptr<NativeFile> file;
    EXPECT_EQ(kQssOk, NativeFile::Open(path_, native_file::kGenericRead | native_file::kGenericWrite,
                                       native_file::kShareRead, native_file::kOpenExisting,
                                       native_file::kAttributeNormal, &file));
    return CQssRef<CFileArray>(new CFileArray(std::move(file)));
  }

  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // 100-nanosecond ticks since 1601 for a point in time.
  static FileTime ToFileTime(std::filesystem::file_time_type time) {
    const auto sinceUnixEpoch = std::chrono::file_clock::to_sys(time).time_since_epoch();
    return static_cast<FileTime>(std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
                                     sinceUnixEpoch)
                                     .count() +
                                 116444736000000000LL);
  }

  TemporaryFolder folder_;
  std::filesystem::path path_ = folder_ / "array.bin";
};

TEST_F(FileArrayTest, ReadsStopAtTheEndAndRefuseToStartThere) {
  auto array = OpenArray("abcdef");
  char buffer[16] = {};
  std::uint32_t read = 77;

  // A count of 0 succeeds anywhere, before any size check.
  EXPECT_EQ(kQssOk, array->ReadAt(1000, buffer, 0, &read));
  EXPECT_EQ(0u, read);

  read = 77;
  EXPECT_EQ(kQssInvalidArgument, array->ReadAt(6, buffer, 4, &read));
  EXPECT_EQ(0u, read);

  EXPECT_EQ(kQssOk, array->ReadAt(5, buffer, 10, &read));
  EXPECT_EQ(1u, read);
  EXPECT_EQ('f', buffer[0]);

  EXPECT_EQ(kQssOk, array->ReadAt(1, buffer, 3, &read));
  EXPECT_EQ("bcd", std::string(buffer, read));

  EXPECT_EQ(kQssInvalidPointer, array->ReadAt(0, nullptr, 4, &read));
  EXPECT_EQ(kQssInvalidArgument, array->ReadAt(-1, buffer, 4, &read));
  EXPECT_EQ(kQssOk, array->ReadAt(0, buffer, 2, nullptr));
}

TEST_F(FileArrayTest, WritesPastTheEndGrowTheFileWithAZeroGap) {
  auto array = OpenArray("ab");
  std::int64_t size = 0;
  ASSERT_EQ(kQssOk, array->GetSize(&size));
  ASSERT_EQ(2, size);

  std::uint32_t written = 0;
  EXPECT_EQ(kQssOk, array->WriteAt(5, "xy", 2, &written));
  EXPECT_EQ(2u, written);
  EXPECT_EQ(kQssOk, array->GetSize(&size));
  EXPECT_EQ(7, size);
  EXPECT_EQ(std::string("ab\0\0\0xy", 7), Contents());

  // Even an empty write beyond the end extends the file to its offset.
  EXPECT_EQ(kQssOk, array->WriteAt(10, "", 0, &written));
  EXPECT_EQ(kQssOk, array->GetSize(&size));
  EXPECT_EQ(10, size);

  // A write that starts inside and runs past the end changes the size too.
  EXPECT_EQ(kQssOk, array->WriteAt(8, "1234", 4, &written));
  EXPECT_EQ(kQssOk, array->GetSize(&size));
  EXPECT_EQ(12, size);

  EXPECT_EQ(kQssInvalidPointer, array->WriteAt(0, nullptr, 1, &written));
  EXPECT_EQ(kQssInvalidArgument, array->WriteAt(-4, "z", 1, &written));
  EXPECT_EQ(kQssInvalidArgument, array->WriteAt(std::numeric_limits<std::int64_t>::max() - 1, "zzzz", 4, &written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(12u, std::filesystem::file_size(path_));
}

TEST_F(FileArrayTest, SetSizeTruncatesAndTheNextSizeIsAskedAgain) {
  auto array = OpenArray("0123456789");
  std::int64_t size = 0;
  ASSERT_EQ(kQssOk, array->GetSize(&size));
  ASSERT_EQ(10, size);

  EXPECT_EQ(kQssOk, array->SetSize(4));
  EXPECT_EQ(kQssOk, array->GetSize(&size));
  EXPECT_EQ(4, size);
  EXPECT_EQ("0123", Contents());
  char buffer[8];
  EXPECT_EQ(kQssInvalidArgument, array->ReadAt(4, buffer, 1, nullptr));

  EXPECT_EQ(kQssOk, array->SetSize(6));
  EXPECT_EQ(std::string("0123\0\0", 6), Contents());
  EXPECT_EQ(kQssInvalidArgument, array->SetSize(-1));
  EXPECT_EQ(6u, std::filesystem::file_size(path_));
}

TEST_F(FileArrayTest, TimestampIsAppliedAndAppliedAgainAtClose) {
  // Whole seconds: on Windows the C run-time reports file times in seconds.
  const auto stamp = std::chrono::time_point_cast<std::filesystem::file_time_type::duration>(
      std::chrono::floor<std::chrono::seconds>(std::filesystem::file_time_type::clock::now() -
                                               std::chrono::hours(24 * 400)));
  const FileTime time = ToFileTime(stamp);
  {
    auto array = OpenArray("abc");
    EXPECT_EQ(kQssOk, array->SetTimestamp(time));
    EXPECT_EQ(time, ToFileTime(std::filesystem::last_write_time(path_)));
    // A later write moves the time on; closing sets it back.
    EXPECT_EQ(kQssOk, array->WriteAt(0, "xyz", 3, nullptr));
  }
  EXPECT_EQ(time, ToFileTime(std::filesystem::last_write_time(path_)));
}

TEST_F(FileArrayTest, ZeroTimestampLeavesTheFileAlone) {
  const auto recent = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  {
    auto array = OpenArray("abc");
    EXPECT_EQ(kQssOk, array->SetTimestamp(ToFileTime(recent - std::chrono::hours(24 * 400))));
    EXPECT_EQ(kQssOk, array->SetTimestamp(0));  // withdraws the time that was to be applied at close
    EXPECT_EQ(kQssOk, array->WriteAt(0, "xyz", 3, nullptr));
    EXPECT_EQ(kQssOk, array->Remove());
  }
  EXPECT_GT(std::filesystem::last_write_time(path_), recent);
  EXPECT_EQ("xyz", Contents());  // Remove does not delete a single file
}

TEST(NativeFileTest, MissingFilesAndFoldersAreReportedAsSystemErrors) {
  TemporaryFolder folder;
  std::unique_ptr<NativeFile> file;
  const QssResult missing = NativeFile::Open(folder / "none", native_file::kGenericRead, native_file::kShareRead,
                                             native_file::kOpenExisting, native_file::kAttributeNormal, &file);
  EXPECT_TRUE(QssFailed(missing));
  EXPECT_EQ(0x80070000u, static_cast<std::uint32_t>(missing) & 0xFFFF0000u);
  EXPECT_FALSE(file);

  // A folder is not a file to hold bytes.
  EXPECT_TRUE(QssFailed(NativeFile::Open(folder.path(), native_file::kGenericRead, native_file::kShareRead,
                                         native_file::kOpenExisting, native_file::kAttributeNormal, &file)));
  std::int64_t length = -1;
  EXPECT_TRUE(QssFailed(NativeFile::QueryLength(folder / "none", &length)));
  EXPECT_TRUE(QssFailed(NativeFile::Delete(folder / "none")));
}

}  // namespace

}  // namespace qss

// The installer's Windows services against the real system: files, moves
// onto a file in use, processes, the system directory, the WOW64 switch and
// the Windows Installer queries.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "FilePlacement.h"
#include "FileSystemRedirection.h"
#include "InstallerDatabase.h"
#include "PathText.h"
#include "ProcessRunner.h"
#include "SystemDirectory.h"
#include "WideText.h"
#include "testing/TemporaryFolder.h"
#include "win32/Win32Text.h"

namespace {

std::u16string AsText(const std::filesystem::path& path) {
  return FromWide(path.c_str(), path.native().size());
}

std::string Contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(FilePlacement& files, const std::u16string& path, const std::string& text) {
  auto file = files.Create(path);
  ASSERT_NE(file, nullptr);
  std::uint32_t written = 0;
  ASSERT_TRUE(file->Write(text.data(), static_cast<std::uint32_t>(text.size()), &written));
  EXPECT_EQ(written, text.size());
  EXPECT_TRUE(file->Close());
}

TEST(Win32FilePlacementTest, CreatesDeletesAndTellsFilesFromNothing) {
  TemporaryFolder folder;
  auto files = NewPlatformFilePlacement();
  const std::u16string path = AsText(folder / "service.tmp");

  EXPECT_FALSE(files->Exists(path));
  EXPECT_FALSE(files->Delete(path));  // a missing file is not deleted
  WriteFileText(*files, path, "first content");
  WriteFileText(*files, path, "new");  // an existing file is truncated
  EXPECT_EQ(Contents(folder / "service.tmp"), "new");
  EXPECT_TRUE(files->Exists(path));
  EXPECT_TRUE(files->Exists(AsText(folder.path())));  // folders exist too...
  EXPECT_FALSE(files->Delete(AsText(folder.path())));  // ...but are never deleted
  EXPECT_TRUE(files->Delete(path));
  EXPECT_FALSE(files->Exists(path));

  // The file is created unshared: while it is open nobody else reads it.
  auto open = files->Create(path);
  ASSERT_NE(open, nullptr);
  HANDLE other = CreateFileW(AsWide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  EXPECT_EQ(files->Create(AsText(folder / "no such folder" / "x.tmp")), nullptr);
}

TEST(Win32FilePlacementTest, MovesReplaceUnlessTheTargetIsInUse) {
  TemporaryFolder folder;
  auto files = NewPlatformFilePlacement();
  const std::u16string from = AsText(folder / "service.tmp");
  const std::u16string to = AsText(folder / "service.exe");
  WriteFileText(*files, to, "old");
  WriteFileText(*files, from, "new");
  ASSERT_TRUE(files->MoveReplacing(from, to));
  EXPECT_FALSE(files->Exists(from));
  EXPECT_EQ(Contents(folder / "service.exe"), "new");

  // A running service executable is open without FILE_SHARE_DELETE; it can
  // be neither replaced nor renamed over, and both files stay as they were.
  WriteFileText(*files, from, "newer");
  HANDLE held = CreateFileW(AsWide(to), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(files->MoveReplacing(from, to));
  CloseHandle(held);
  EXPECT_EQ(Contents(folder / "service.tmp"), "newer");
  EXPECT_EQ(Contents(folder / "service.exe"), "new");
  EXPECT_FALSE(files->MoveReplacing(AsText(folder / "missing"), to));
}

TEST(Win32ProcessRunnerTest, RunsInTheGivenFolderAndReturnsTheExitCode) {
  TemporaryFolder folder;
  auto processes = NewPlatformProcessRunner();
  const std::u16string shell = AppendPathComponent(NewPlatformSystemDirectory()->GetPath(), u"cmd.exe");
  auto process = processes->Start(shell, shell + u" /c echo here> here.txt & exit 7", AsText(folder.path()));
  ASSERT_NE(process, nullptr);
  process->Wait();
  std::uint32_t exitCode = 999;
  ASSERT_TRUE(process->GetExitCode(&exitCode));
  EXPECT_EQ(exitCode, 7u);
  EXPECT_TRUE(std::filesystem::exists(folder / "here.txt"));
}

TEST(Win32ProcessRunnerTest, StartFailuresKeepTheSystemsErrorCode) {
  TemporaryFolder folder;
  auto processes = NewPlatformProcessRunner();
  const std::u16string missing = AsText(folder / "missing.exe");
  EXPECT_EQ(processes->Start(missing, missing + u" -install", u""), nullptr);
  EXPECT_EQ(processes->LastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));

  // A file that is no program does not start either.
  std::ofstream(folder / "text.exe") << "not a program";
  const std::u16string text = AsText(folder / "text.exe");
  EXPECT_EQ(processes->Start(text, text, u""), nullptr);
  EXPECT_NE(processes->LastError(), 0u);
}

TEST(Win32ProcessRunnerTest, NamesItsOwnExecutable) {
  const std::u16string own = NewPlatformProcessRunner()->GetOwnExecutablePath();
  ASSERT_FALSE(own.empty());
  EXPECT_TRUE(NewPlatformFilePlacement()->Exists(own));
  EXPECT_NE(own.find(u"orvik_installer_tests"), std::u16string::npos);
}

TEST(Win32SystemDirectoryTest, IsAnExistingFolderWithoutATrailingSeparator) {
  const std::u16string path = NewPlatformSystemDirectory()->GetPath();
  ASSERT_GT(path.size(), 3u);
  EXPECT_NE(path.back(), u'\\');
  const DWORD attributes = GetFileAttributesW(AsWide(path));
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Win32FileSystemRedirectionTest, A64BitProcessHasNothingToTurnOff) {
  if (sizeof(void*) != 8) GTEST_SKIP() << "a 32-bit build may run under WOW64";
  auto redirection = NewPlatformFileSystemRedirection();
  void* previous = reinterpret_cast<void*>(1);
  EXPECT_FALSE(redirection->Disable(&previous));
  EXPECT_EQ(previous, nullptr);
}

TEST(Win32InstallerDatabaseTest, UnknownFamiliesAndProductsHaveNothing) {
  auto database = NewPlatformInstallerDatabase();
  char16_t product[100] = {};
  EXPECT_NE(database->EnumRelatedProducts(u"{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}", 0, 0, product), kEnumSuccess);
  char16_t path[260] = {};
  std::uint32_t chars = 260;
  const std::int32_t state = database->GetComponentPath(u"{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}",
                                                        u"{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}", path, &chars);
  EXPECT_LT(state, 0);
  EXPECT_EQ(path[0], u'\0');
}

}  // namespace

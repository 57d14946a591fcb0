// The real file placement: whatever stands at the temporary name when the
// service is extracted was put there by someone else, and is never written
// through.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "FilePlacement.h"
#include "ServiceExtraction.h"
#include "WideText.h"
#include "testing/FakeInstallerServices.h"
#include "testing/TemporaryFolder.h"
#include "testing/TestPackage.h"

namespace {

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class PosixFilePlacementTest : public ::testing::Test {
 protected:
  std::u16string Name(const char* name) const { return Utf8ToUtf16((folder_ / name).string()); }

  // A file of someone else's that a link may point at.
  std::filesystem::path Victim() const {
    const std::filesystem::path victim = folder_ / "victim";
    std::ofstream(victim) << "not yours";
    chmod(victim.c_str(), 0600);
    return victim;
  }

  TemporaryFolder folder_;
  std::unique_ptr<FilePlacement> files_ = NewPlatformFilePlacement();
};

TEST_F(PosixFilePlacementTest, CreatesOnlyANewExecutableFile) {
  // The umask does not take the execute bits away.
  const mode_t umaskBefore = umask(077);
  std::unique_ptr<OutputFile> file = files_->Create(Name("new"));
  umask(umaskBefore);
  ASSERT_TRUE(file);
  std::uint32_t written = 0;
  EXPECT_TRUE(file->Write("abc", 3, &written));
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(ReadWholeFile(folder_ / "new"), "abc");
  EXPECT_EQ(ModeOf(folder_ / "new"), 0755u);

  // A name that exists is refused and left as it is: a file, a link to a
  // file, a link to nothing (whose target is not made), a folder.
  EXPECT_FALSE(files_->Create(Name("new")));
  EXPECT_EQ(ReadWholeFile(folder_ / "new"), "abc");
  const std::filesystem::path victim = Victim();
  std::filesystem::create_symlink(victim, folder_ / "link");
  std::filesystem::create_symlink(folder_ / "nowhere", folder_ / "dangling");
  std::filesystem::create_directory(folder_ / "folder");
  for (const char* name : {"link", "dangling", "folder"}) EXPECT_FALSE(files_->Create(Name(name))) << name;
  EXPECT_EQ(ReadWholeFile(victim), "not yours");
  EXPECT_EQ(ModeOf(victim), 0600u);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "nowhere"));

  // Deleting the link removes the link, not its target.
  EXPECT_TRUE(files_->Delete(Name("link")));
  EXPECT_FALSE(std::filesystem::is_symlink(folder_ / "link"));
  EXPECT_EQ(ReadWholeFile(victim), "not yours");
}

// Forwards to the real placement; right after the temporary file is
// deleted, another process plants a link in its place.
class RacingPlacement final : public FilePlacement {
 public:
  RacingPlacement(FilePlacement& real, std::filesystem::path target) : real_(real), target_(std::move(target)) {}

  bool Delete(const std::u16string& path) override {
    const bool deleted = real_.Delete(path);
    std::filesystem::create_symlink(target_, ToNativePath(path));
    return deleted;
  }
  bool Exists(const std::u16string& path) override { return real_.Exists(path); }
  std::unique_ptr<OutputFile> Create(const std::u16string& path) override { return real_.Create(path); }
  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override {
    return real_.MoveReplacing(from, to);
  }
  bool MoveAtNextRestart(const std::u16string& from, const std::u16string& to) override {
    return real_.MoveAtNextRestart(from, to);
  }

 private:
  FilePlacement& real_;
  std::filesystem::path target_;
};

TEST_F(PosixFilePlacementTest, ALinkPlantedAfterTheDeleteIsNotWrittenThrough) {
  const std::filesystem::path package = folder_ / "firmware.varn";
  WriteTestPackage(package, BuildTestPackage({{{u"Kivra7i\\KivMod7Win.bin", "#!/bin/sh\necho planted\n"}}}));
  const std::filesystem::path system = folder_ / "system";
  std::filesystem::create_directory(system);
  const std::filesystem::path victim = Victim();

  FakeInstaller fake;
  fake.systemDirectory.path = Utf8ToUtf16(system.string());
  RacingPlacement racing(*files_, victim);
  InstallerServices services{fake.console,    fake.database, fake.systemDirectory,
                             fake.redirection, racing,        fake.processes};
  const std::u16string packagePath = Utf8ToUtf16(package.string());
  EXPECT_FALSE(ExtractService(services, packagePath));

  EXPECT_EQ(ReadWholeFile(victim), "not yours");
  EXPECT_EQ(ModeOf(victim), 0600u);
  EXPECT_FALSE(std::filesystem::exists(system / "Win_Talvane_Kivra7.exe"));
  EXPECT_TRUE(fake.processes.runs.empty());
  EXPECT_EQ(fake.console.writes.back(), "Couldn't extract service from " + package.string() + "\n");
}

}  // namespace

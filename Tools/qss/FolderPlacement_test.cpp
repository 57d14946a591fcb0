// A folder built under a temporary name moves into place whole, or joins a
// folder that came to stand there under the rules for existing files.

#include "FolderPlacement.h"

#include <gtest/gtest.h>

#include <string>

#include "qss/NativeFile.h"

#include "QssTestSupport.h"
#include "TemporaryFolder.h"

namespace qss_test {
namespace {

using qss_tool::ExistingFiles;
using qss_tool::FolderPlacement;
using qss_tool::MakeFolderBesidePlace;
using qss_tool::MoveFolderIntoPlace;
using qss_tool::RemoveStrayTemporaries;

using Files = std::map<std::string, std::string>;

// A built folder beside place with a file that clashes, a new one and a
// subfolder whose name also stands at place.
fs::path BuildBeside(const fs::path& place) {
  fs::path built;
  EXPECT_FALSE(MakeFolderBesidePlace(place, &built));
  WriteFile(built / "clash.txt", "new clash");
  WriteFile(built / "fresh.txt", "fresh");
  WriteFile(built / "sub" / "deeper.txt", "deeper");
  return built;
}

TEST(FolderPlacementTest, AFreePlaceTakesTheWholeFolderUnderAHiddenNameFirst) {
  TemporaryFolder folder;
  const fs::path place = folder / "out";
  const fs::path built = BuildBeside(place);
  EXPECT_EQ(built.parent_path(), folder.path());
  EXPECT_EQ(built.filename().string().rfind(".out.qss-tmp-", 0), 0U) << built;
  EXPECT_FALSE(fs::exists(place));

  // A second folder for the same place while the first stands gets a name of its own.
  fs::path second;
  ASSERT_FALSE(MakeFolderBesidePlace(place, &second));
  EXPECT_NE(second, built);
  EXPECT_TRUE(fs::is_directory(second));

  const FolderPlacement placement = MoveFolderIntoPlace(built, place, ExistingFiles::kRefuse);
  EXPECT_TRUE(placement.problems.empty());
  EXPECT_EQ(Snapshot(place), (Files{{"clash.txt", "new clash"},
                                    {"fresh.txt", "fresh"},
                                    {"sub", "<folder>"},
                                    {"sub/deeper.txt", "deeper"}}));
  EXPECT_FALSE(fs::exists(built));
}

TEST(FolderPlacementTest, AFolderThatAppearedMeanwhileIsJoinedUnderTheRulesForExistingFiles) {
  for (const ExistingFiles existing : {ExistingFiles::kRefuse, ExistingFiles::kOverwrite, ExistingFiles::kKeep}) {
    SCOPED_TRACE(static_cast<int>(existing));
    TemporaryFolder folder;
    const fs::path place = folder / "out";
    const fs::path built = BuildBeside(place);
    // Arrived after the look: a second name of a file outside, and a folder.
    WriteFile(folder / "outside", "precious");
    fs::create_directories(place / "sub");
    fs::create_hard_link(folder / "outside", place / "clash.txt");
    WriteFile(place / "sub" / "theirs.txt", "theirs");

    const FolderPlacement placement = MoveFolderIntoPlace(built, place, existing);
    const bool overwrite = existing == ExistingFiles::kOverwrite;
    EXPECT_EQ(Snapshot(place), (Files{{"clash.txt", overwrite ? "new clash" : "precious"},
                                      {"fresh.txt", "fresh"},
                                      {"sub", "<folder>"},
                                      {"sub/deeper.txt", "deeper"},
                                      {"sub/theirs.txt", "theirs"}}));
    // Replaced by a move, never written through.
    EXPECT_EQ(ReadFile(folder / "outside"), "precious");
    EXPECT_EQ(placement.kept, existing == ExistingFiles::kKeep ? 1 : 0);
    if (existing == ExistingFiles::kRefuse) {
      ASSERT_EQ(placement.problems.size(), 1U);
      EXPECT_EQ(placement.problems[0], (place / "clash.txt").string() +
                                           " exists; not replaced (--overwrite replaces, --keep skips)");
    } else {
      EXPECT_TRUE(placement.problems.empty()) << placement.problems[0];
    }
    EXPECT_FALSE(fs::exists(built));
  }
}

TEST(FolderPlacementTest, AFileAtThePlaceStaysAndTheBuiltFolderGoes) {
  TemporaryFolder folder;
  const fs::path place = folder / "out";
  const fs::path built = BuildBeside(place);
  WriteFile(place, "a file");
  const FolderPlacement placement = MoveFolderIntoPlace(built, place, ExistingFiles::kOverwrite);
  ASSERT_EQ(placement.problems.size(), 1U);
  EXPECT_EQ(placement.problems[0], "something that is not a folder came to stand at " + place.string() +
                                       "; its content was not unpacked");
  EXPECT_EQ(ReadFile(place), "a file");
  EXPECT_FALSE(fs::exists(built));
}

// What an unfinished unpack left goes once its process is gone; this
// process's own temporaries, and names of another form (a container's
// segment, no leading dot, a suffix that is not a process), stay.
TEST(FolderPlacementTest, TemporariesOfAProcessThatIsGoneAreRemovedAndNothingElse) {
  std::uint32_t gone = 0x3FFFFFF0u;
  while (qss::native_file::ProcessIsAlive(gone)) --gone;
  const std::string dead = std::to_string(gone);
  const std::string self = std::to_string(qss::native_file::CurrentProcessId());
  TemporaryFolder folder;
  WriteFile(folder / (".out.qss-tmp-" + dead) / "sub" / "a.txt", "left");
  WriteFile(folder / (".file.txt.qss-tmp-" + dead + "-2"), "left");
  WriteFile(folder / (".out.qss-tmp-" + self) / "b.txt", "mine");
  WriteFile(folder / (".big.qss.qss-tmp-" + dead + ".F0002"), "segment");
  WriteFile(folder / ("out.qss-tmp-" + dead), "no dot");
  WriteFile(folder / (".out.qss-tmp-" + dead + "x"), "not a process");
  WriteFile(folder / (".out.qss-tmp-" + dead + "-"), "no attempt");
  WriteFile(folder / "kept.txt", "kept");
  RemoveStrayTemporaries(folder.path());
  EXPECT_EQ(Snapshot(folder.path()), (Files{{".out.qss-tmp-" + self, "<folder>"},
                                           {".out.qss-tmp-" + self + "/b.txt", "mine"},
                                           {".big.qss.qss-tmp-" + dead + ".F0002", "segment"},
                                           {"out.qss-tmp-" + dead, "no dot"},
                                           {".out.qss-tmp-" + dead + "x", "not a process"},
                                           {".out.qss-tmp-" + dead + "-", "no attempt"},
                                           {"kept.txt", "kept"}}));
}

}  // namespace
}  // namespace qss_test

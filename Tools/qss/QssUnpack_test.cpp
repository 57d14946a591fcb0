// qss unpack: a part of a container, filters, and what happens to files
// that are already there.

#include <gtest/gtest.h>

#include "QssTestSupport.h"
#include "TemporaryFolder.h"

namespace qss_test {
namespace {

class UnpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(folder_ / "src" / "Kivra7i" / "KivMod7Win.bin", "service");
    WriteFile(folder_ / "src" / "Kivra7i" / "setup.log", "log");
    WriteFile(folder_ / "src" / "Drivers" / "net" / "a.sys", "a");
    WriteFile(folder_ / "src" / "Drivers" / "net" / "a.log", "alog");
    WriteFile(folder_ / "src" / "Drivers" / "b.sys", "b");
    WriteFile(folder_ / "src" / "readme.txt", "readme");
    fs::create_directories(folder_ / "src" / "Empty");
    container_ = (folder_ / "c.qss").string();
    const RunResult run =
        RunInProcess({"pack", "--nest", "Drivers", (folder_ / "src").string(), container_});
    ASSERT_EQ(run.code, 0) << run.err;
  }
  RunResult Unpack(std::vector<std::string> options, const std::string& dir, const std::string& path = "") {
    std::vector<std::string> args = {"unpack"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(container_);
    args.push_back((folder_ / dir).string());
    if (!path.empty()) args.push_back(path);
    return RunInProcess(args);
  }

  TemporaryFolder folder_;
  std::string container_;
};

TEST_F(UnpackTest, PathPicksOneStreamStorageOrNestedContainer) {
  RunResult run = Unpack({}, "one", "Kivra7i\\KivMod7Win.bin");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Snapshot(folder_ / "one"), (std::map<std::string, std::string>{{"KivMod7Win.bin", "service"}}));

  run = Unpack({}, "storage", "Kivra7i");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Snapshot(folder_ / "storage"),
            (std::map<std::string, std::string>{
                {"Kivra7i", "<folder>"}, {"Kivra7i/KivMod7Win.bin", "service"}, {"Kivra7i/setup.log", "log"}}));

  // A nested container, and a storage inside one.
  run = Unpack({}, "nested", "Drivers/net");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Snapshot(folder_ / "nested"),
            (std::map<std::string, std::string>{{"net", "<folder>"}, {"net/a.log", "alog"}, {"net/a.sys", "a"}}));

  run = Unpack({}, "missing", "Kivra7i/none");
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: unpack: no such entry 'none' in 'Kivra7i' (0x81016002)\n");
  EXPECT_FALSE(fs::exists(folder_ / "missing"));
}

TEST_F(UnpackTest, IncludeAndExcludeSelectByNameOrWholePath) {
  // A name pattern at any depth; a storage that matches takes its content.
  RunResult run = Unpack({"--exclude", "*.log", "--exclude", "Empty"}, "no-logs");
  ASSERT_EQ(run.code, 0) << run.err;
  std::map<std::string, std::string> snapshot = Snapshot(folder_ / "no-logs");
  EXPECT_EQ(snapshot.count("Kivra7i/setup.log"), 0u);
  EXPECT_EQ(snapshot.count("Drivers/net/a.log"), 0u);
  EXPECT_EQ(snapshot.count("Empty"), 0u);
  EXPECT_EQ(snapshot.at("Drivers/net/a.sys"), "a");
  EXPECT_EQ(snapshot.at("readme.txt"), "readme");

  // Only what is included, and only the folders on its way.
  run = Unpack({"--include", "Drivers/**/*.sys"}, "sys");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Snapshot(folder_ / "sys"),
            (std::map<std::string, std::string>{
                {"Drivers", "<folder>"}, {"Drivers/b.sys", "b"}, {"Drivers/net", "<folder>"}, {"Drivers/net/a.sys", "a"}}));

  run = Unpack({"--include", "Kivra7i", "--exclude", "*.log", "--include", "Empty"}, "mixed");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Snapshot(folder_ / "mixed"), (std::map<std::string, std::string>{{"Empty", "<folder>"},
                                                                               {"Kivra7i", "<folder>"},
                                                                               {"Kivra7i/KivMod7Win.bin", "service"}}));
  // Patterns see the path from the container's root, also under PATH.
  run = Unpack({"--exclude", "Drivers/net/a.sys"}, "part", "Drivers");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(fs::exists(folder_ / "part" / "Drivers" / "net" / "a.sys"));
  EXPECT_TRUE(fs::exists(folder_ / "part" / "Drivers" / "net" / "a.log"));
}

TEST_F(UnpackTest, ExistingFilesAreRefusedBeforeAnythingIsWrittenUnlessOverwriteOrKeep) {
  WriteFile(folder_ / "out" / "readme.txt", "mine");
  WriteFile(folder_ / "out" / "Kivra7i" / "setup.log", "my log");
  const auto before = Snapshot(folder_ / "out");
  RunResult run = Unpack({}, "out");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("qss: unpack: " + (folder_ / "out" / "readme.txt").string() + " exists\n"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("qss: unpack: " + (folder_ / "out" / "Kivra7i" / "setup.log").string() + " exists\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("nothing written; --overwrite replaces existing files, --keep skips them"), std::string::npos);
  EXPECT_EQ(Snapshot(folder_ / "out"), before);  // not even the missing files or folders

  // An excluded file is not in the way.
  run = Unpack({"--exclude", "readme.txt", "--exclude", "*.log"}, "out");
  EXPECT_EQ(run.code, 0) << run.err;

  run = Unpack({"--keep"}, "out");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "qss: unpack: 5 existing files kept\n");  // 2 of ours, 3 from the run before
  EXPECT_EQ(ReadFile(folder_ / "out" / "readme.txt"), "mine");
  EXPECT_EQ(ReadFile(folder_ / "out" / "Drivers" / "b.sys"), "b");
  run = Unpack({"--keep", "-q"}, "out");
  EXPECT_EQ(run.err, "");

  run = Unpack({"--overwrite"}, "out");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadFile(folder_ / "out" / "readme.txt"), "readme");
  EXPECT_EQ(ReadFile(folder_ / "out" / "Kivra7i" / "setup.log"), "log");

  run = Unpack({"--overwrite", "--keep"}, "out");
  EXPECT_EQ(run.code, 2);
}

// Storages whose names differ only in case: separate folders where file
// names keep case; where they fold it, one folder that holds both files,
// whether the first folder was placed already or is still being built.
TEST_F(UnpackTest, StoragesWhoseNamesFoldTogetherBothArrive) {
  WriteFile(folder_ / "one.txt", "one");
  WriteFile(folder_ / "two.txt", "two");
  for (const std::string top : {"", "Top/"}) {
    ASSERT_EQ(RunInProcess({"put", container_, top + "Docs/one.txt", (folder_ / "one.txt").string()}).code, 0);
    ASSERT_EQ(RunInProcess({"put", container_, top + "DOCS/two.txt", (folder_ / "two.txt").string()}).code, 0);
  }
  const RunResult run = Unpack({"--include", "*.txt"}, "out");
  ASSERT_EQ(run.code, 0) << run.err;
  for (const fs::path& top : {fs::path(), fs::path("Top")}) {
    EXPECT_EQ(ReadFile(folder_ / "out" / top / "Docs" / "one.txt"), "one");
    EXPECT_EQ(ReadFile(folder_ / "out" / top / "DOCS" / "two.txt"), "two");
  }
  for (const auto& item : fs::recursive_directory_iterator(folder_ / "out")) {
    EXPECT_EQ(item.path().filename().string().find(".qss-tmp-"), std::string::npos) << item.path();
  }
}

}  // namespace
}  // namespace qss_test

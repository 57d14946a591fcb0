// Replays every saved fuzzing input through the harnesses, in the ordinary
// build: the crash reproducers kept in regressions/ and the seed corpus the
// generator makes. Inputs whose name starts with "write-" go to the
// writing-side harness, all others to the reading side.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "ContainerReadHarness.h"
#include "ContainerWriteHarness.h"
#include "SeedContainers.h"

namespace {

std::vector<std::filesystem::path> InputsIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  if (!std::filesystem::is_directory(folder)) return files;
  for (const auto& item : std::filesystem::directory_iterator(folder))
    if (item.is_regular_file() && item.path().filename().string()[0] != '.') files.push_back(item.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> Load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Replay(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  SCOPED_TRACE(name);
  if (name.rfind("write-", 0) == 0) {
    EXPECT_EQ(RunWriteHarness(bytes.data(), bytes.size()).problem, "");
  } else {
    EXPECT_EQ(RunReadHarness(bytes.data(), bytes.size()).problem, "");
  }
}

TEST(FuzzRegressions, EverySavedReproducerPassesTheHarness) {
  for (const auto& file : InputsIn(QSS_FUZZ_DIR "/regressions")) Replay(file.filename().string(), Load(file));
}

TEST(FuzzRegressions, EverySeedPassesTheHarness) {
  std::vector<SeedInput> seeds;
  std::string problem;
  ASSERT_TRUE(MakeReadSeeds(&seeds, &problem)) << problem;
  for (const SeedInput& seed : seeds) {
    Replay(seed.name, seed.bytes);
    // A seed is a container the library wrote; it opens and has content.
    const ReadHarnessReport report = RunReadHarness(seed.bytes.data(), seed.bytes.size());
    EXPECT_TRUE(report.opened) << seed.name;
    EXPECT_GT(report.streamsRead, 0) << seed.name;
  }
  for (const SeedInput& seed : MakeWriteSeeds()) Replay(seed.name, seed.bytes);
}

TEST(FuzzRegressions, TreeSeedsReachEveryKindOfObject) {
  std::vector<SeedInput> seeds;
  std::string problem;
  ASSERT_TRUE(MakeReadSeeds(&seeds, &problem)) << problem;
  for (const SeedInput& seed : seeds) {
    if (seed.name.rfind("tree-", 0) != 0) continue;
    const ReadHarnessReport report = RunReadHarness(seed.bytes.data(), seed.bytes.size());
    // dir and nested; four streams in each of the three directories, and the
    // nested container once more as a raw stream.
    EXPECT_EQ(report.storagesOpened, 2) << seed.name;
    EXPECT_EQ(report.streamsRead, 13) << seed.name;
  }
}

TEST(FuzzRegressions, GarbageAndEmptyInputsAreRefused) {
  const std::uint8_t nothing = 0;
  const ReadHarnessReport empty = RunReadHarness(&nothing, 0);
  EXPECT_FALSE(empty.opened);
  EXPECT_EQ(empty.problem, "");
  std::vector<std::uint8_t> zeros(4096, 0);
  EXPECT_FALSE(RunReadHarness(zeros.data(), zeros.size()).opened);
  EXPECT_EQ(RunWriteHarness(&nothing, 0).problem, "");
}

}  // namespace

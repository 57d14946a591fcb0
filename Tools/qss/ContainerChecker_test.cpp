// CheckContainer and the reading commands on randomly damaged containers:
// whatever the bytes say, they end, report, and never crash or write.

#include "ContainerChecker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "QssTestSupport.h"
#include "TemporaryFolder.h"

using namespace qss;

namespace qss_test {
namespace {

std::vector<std::string> CheckBytes(const std::string& bytes) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(std::vector<std::uint8_t>(bytes.begin(), bytes.end())));
  std::vector<std::string> problems;
  qss_tool::CheckContainer(array.get(), &problems);
  return problems;
}

TEST(ContainerCheckerTest, SmallestAndEmptyInputs) {
  EXPECT_EQ(CheckBytes("").size(), 1u);
  EXPECT_NE(CheckBytes(std::string(255, '\0')).at(0).find("no whole 256-byte header (0x81016005)"), std::string::npos);
  std::string header(256, '\0');
  std::memcpy(header.data(), "Quorell Structured Storage\x1a", 28);
  header[32] = 3;  // entry width 3
  EXPECT_NE(CheckBytes(header).at(0).find("entryWidth 3"), std::string::npos);
}

TEST(ContainerCheckerTest, RandomDamageNeverCrashesOrWrites) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "a" / "packed.txt", std::string(30000, 'p') + "tail");
  WriteFile(folder / "src" / "a" / "raw.bin", std::string(3000, '\x11'));
  WriteFile(folder / "src" / "n" / "inner.txt", std::string(2000, 'i'));
  WriteFile(folder / "src" / "top", "top");
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", "--compress", "--block-size", "256", "--entry-width", "2", "--nest", "n",
                          (folder / "src").string(), container.string()})
                .code,
            0);
  const std::string clean = ReadFile(container);
  ASSERT_TRUE(CheckBytes(clean).empty());

  // QSS_DAMAGE_ROUNDS=N runs a longer search locally.
  const char* roundsText = std::getenv("QSS_DAMAGE_ROUNDS");
  const int rounds = roundsText ? std::atoi(roundsText) : 150;
  std::mt19937 random(12345);
  int reported = 0;
  for (int round = 0; round < rounds; ++round) {
    std::string damaged = clean;
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < flips; ++i) {
      // Mostly the header, table and directories, where damage matters most.
      const std::size_t limit = random() % 2 ? std::min<std::size_t>(damaged.size(), 2048) : damaged.size();
      damaged[random() % limit] = static_cast<char>(random());
    }
    if (CheckBytes(damaged).empty()) continue;
    ++reported;
    WriteFile(container, damaged);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", "--json", container.string(), "n"},
             {"tree", "--json", container.string()},
             {"cat", container.string(), "a/packed.txt"},
             {"unpack", container.string(), (folder / "out").string()},
             {"info", container.string()}}) {
      const RunResult run = RunInProcess(args);
      EXPECT_LE(run.code, 1) << args[0] << " round " << round;
    }
    EXPECT_TRUE(ReadFile(container) == damaged) << "round " << round;
    fs::remove_all(folder / "out");
  }
  EXPECT_GT(reported, rounds / 3);  // the damage was mostly noticed
}

}  // namespace
}  // namespace qss_test

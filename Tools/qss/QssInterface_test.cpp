// What every qss command shares, run as the real program: the version,
// failures named in words, --quiet and --progress.

#include <gtest/gtest.h>

#include <lz4.h>

#include "QssTestSupport.h"
#include "TemporaryFolder.h"
#include "qss/Version.h"

namespace qss_test {
namespace {

TEST(VersionTest, BothSpellingsNameTheProjectAndLz4Versions) {
  TemporaryFolder folder;
  const std::string expected =
      std::string("qss ") + QSS_VERSION_STRING + "\nLZ4 " + LZ4_versionString() + "\n";
  for (const char* spelling : {"--version", "version"}) {
    const RunResult run = RunProgram({spelling}, folder.path());
    EXPECT_EQ(run.code, 0) << spelling;
    EXPECT_EQ(run.out, expected) << spelling;
    EXPECT_EQ(run.err, "");
  }
}

// A user reads the cause; a script still finds the code.
TEST(MessagesTest, FailuresNameTheCauseInWordsAndTheCode) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "Kivra7i" / "KivMod7Win.bin", "service");
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunProgram({"pack", (folder / "src").string(), container}, folder.path()).code, 0);

  RunResult run = RunProgram({"cat", container, "Kivra7i\\x"}, folder.path());
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: cat: no such entry 'x' in 'Kivra7i' (0x81016002)\n");
  run = RunProgram({"cat", container, "nothing/x"}, folder.path());
  EXPECT_EQ(run.err, "qss: cat: no such entry 'nothing' in the root (0x81016002)\n");

  const std::string missing = (folder / "nonexist.qss").string();
  for (const char* command : {"info", "ls", "check"}) {
    run = RunProgram({command, missing}, folder.path());
    EXPECT_EQ(run.code, 1);
#ifdef _WIN32
    // The system's own words, which differ there.
    EXPECT_EQ(run.err.rfind(std::string("qss: ") + command + ": cannot open " + missing + ": ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(" (0x80070002)\n"), std::string::npos) << run.err;
#else
    EXPECT_EQ(run.err, std::string("qss: ") + command + ": cannot open " + missing +
                           ": No such file or directory (0x80070002)\n");
#endif
  }
}

TEST(QuietAndProgressTest, QuietLeavesErrorsOnlyAndProgressFollowsTheOption) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "data", std::string(3 << 20, 'p'));
  const std::string container = (folder / "c.qss").string();

  // Standard error is a file here: auto draws nothing, always draws.
  RunResult run = RunProgram({"pack", "--progress=always", (folder / "src").string(), container}, folder.path());
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.err.find("] 100%  3.0 MiB/3.0 MiB  "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" left"), std::string::npos) << run.err;
  run = RunProgram({"unpack", "--progress", "always", container, (folder / "out").string()}, folder.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.err.find("unpack ["), std::string::npos);
  run = RunProgram({"cat", container, "data", "--progress=always"}, folder.path());
  EXPECT_EQ(run.out, std::string(3 << 20, 'p'));  // the bar never goes to standard output
  EXPECT_NE(run.err.find("cat ["), std::string::npos);
  run = RunProgram({"unpack", container, (folder / "auto").string()}, folder.path());
  EXPECT_EQ(run.err, "");

  // As if standard error were a terminal.
  run = RunInProcess({"cat", "--progress=never", container, "data"}, true);
  EXPECT_EQ(run.err, "");
  run = RunInProcess({"cat", "-q", container, "data"}, true);
  EXPECT_EQ(run.err, "");
  run = RunInProcess({"cat", container, "data"}, true);
  EXPECT_NE(run.err.find("cat ["), std::string::npos);

  run = RunProgram({"check", "--quiet", container}, folder.path());
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out, "");
  // Quiet keeps the errors.
  run = RunProgram({"cat", "-q", container, "nothing"}, folder.path());
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: cat: no such entry 'nothing' in the root (0x81016002)\n");

  run = RunProgram({"cat", "--progress=sometimes", container, "data"}, folder.path());
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("--progress must be auto, always or never"), std::string::npos);
  // After "--" they are operands.
  run = RunProgram({"cat", container, "--", "-q"}, folder.path());
  EXPECT_EQ(run.err, "qss: cat: no such entry '-q' in the root (0x81016002)\n");
}

}  // namespace
}  // namespace qss_test

// The manual page and the bash completion that ship with qss.

#include <gtest/gtest.h>

#include "QssTestSupport.h"
#include "TemporaryFolder.h"

namespace qss_test {
namespace {

// The text roff shows for one verbatim block.
std::string Unroff(const std::string& block) {
  std::string text;
  bool lineStart = true;
  for (std::size_t i = 0; i < block.size(); ++i) {
    if (lineStart && block.compare(i, 2, "\\&") == 0) {
      i += 1;
      continue;
    }
    if (block[i] == '\\' && i + 1 < block.size() && (block[i + 1] == 'e' || block[i + 1] == '-')) {
      text.push_back(block[i + 1] == 'e' ? '\\' : '-');
      ++i;
      lineStart = false;
      continue;
    }
    text.push_back(block[i]);
    lineStart = block[i] == '\n';
  }
  return text;
}

// The manual page says exactly what the help texts say, character for
// character once roff has read it, so neither can change alone.
TEST(ManualPageTest, EveryHelpTextStandsInTheManualPageAsWritten) {
  const RunResult run = RunInProcess({"--manual-page"});
  ASSERT_EQ(run.code, 0);
  const std::string& page = run.out;
  EXPECT_EQ(page.rfind(".TH QSS 1 ", 0), 0u);
  // Every line roff would read as a request is one the page means as one.
  std::size_t at = 0;
  std::vector<std::string> blocks;
  while ((at = page.find(".nf\n", at)) != std::string::npos) {
    const std::size_t end = page.find(".fi\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string block = page.substr(at + 4, end - at - 4);
    for (std::size_t line = 0; line < block.size(); line = block.find('\n', line) + 1) {
      EXPECT_NE(block[line], '.') << block.substr(line, 40);
      EXPECT_NE(block[line], '\'') << block.substr(line, 40);
    }
    blocks.push_back(Unroff(block));
    at = end;
  }
  const std::vector<std::string> commands = {"ls",  "tree", "cat",   "unpack", "pack",  "put",
                                              "rm",  "mkdir", "info", "check", "mount", "umount"};
  ASSERT_EQ(blocks.size(), commands.size() + 1);
  EXPECT_EQ(blocks[0], qss_tool::HelpText(""));
  for (std::size_t i = 0; i < commands.size(); ++i) {
    EXPECT_NE(page.find(".SS " + commands[i] + "\n"), std::string::npos);
    EXPECT_EQ(blocks[i + 1], qss_tool::HelpText(commands[i])) << commands[i];
  }
}

#ifndef _WIN32
// Runs the completion function on a command line as bash would, with the
// built program first in PATH; the candidates, one per line.
std::string Complete(const fs::path& scratch, const std::vector<std::string>& words) {
  std::string script = "PATH=" + Quote(ProgramPath().parent_path().string()) + ":$PATH\n";
  script += "source " + Quote((fs::path(QSS_SOURCE_DIR) / "completion" / "qss.bash").string()) + "\n";
  script += "COMP_WORDS=(";
  for (const std::string& word : words) script += Quote(word) + " ";
  script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) + "\n_qss\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
  WriteFile(scratch / "complete.sh", script);
  const std::string command = "bash " + Quote((scratch / "complete.sh").string()) + " > " +
                              Quote((scratch / "complete.out").string()) + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  return ReadFile(scratch / "complete.out");
}

TEST(CompletionTest, CompletesCommandsOptionsAndEntryPathsInsideTheContainer) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "Kivra7i" / "KivMod7Win.bin", "x");
  WriteFile(folder / "src" / "Kivra7i" / "two words", "y");
  WriteFile(folder / "src" / "Key.txt", "z");
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container}).code, 0);

  EXPECT_EQ(Complete(folder.path(), {"qss", "unp"}), "unpack\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "--vers"}), "--version\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "unpack", "--ov"}), "--overwrite\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "pack", "--skip"}), "--skip-special\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "um"}), "umount\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "mount", "--fo"}), "--foreground\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "cat", "--progress", "al"}), "always\n");
  // Entry paths come from the container, storages with a '/' to go on.
  EXPECT_EQ(Complete(folder.path(), {"qss", "cat", container, "K"}), "Key.txt\nKivra7i/\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "cat", container, "Kivra7i/"}),
            "Kivra7i/KivMod7Win.bin\nKivra7i/two words\n");
  EXPECT_EQ(Complete(folder.path(), {"qss", "unpack", "--keep", container, "out", "Kivra7i/t"}),
            "Kivra7i/two words\n");
  // No entries from something that is not a container.
  EXPECT_EQ(Complete(folder.path(), {"qss", "ls", (folder / "src" / "Key.txt").string(), "K"}), "\n");
}
#endif

}  // namespace
}  // namespace qss_test

// Starting real programs on POSIX.

#include "posix/PosixProcessRunner.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "WideText.h"
#include "testing/TemporaryFolder.h"
#include "testing/TestPackage.h"

namespace {

class PosixProcessRunnerTest : public ::testing::TestWithParam<PosixProcessRunner::Method> {
 protected:
  // A script that records its arguments, one a line, and its working
  // directory, then exits with the code given as its first argument.
  std::u16string WriteScript() {
    const std::filesystem::path script = folder_ / "record args.sh";
    std::ofstream(script) << "#!/bin/sh\n"
                             "log='" << (folder_ / "log").string() << "'\n"
                             "pwd > \"$log\"\n"
                             "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$log\"; done\n"
                             "echo 'output nobody should see'\n"
                             "exit \"$1\"\n";
    chmod(script.c_str(), 0755);
    return Utf8ToUtf16(script.string());
  }

  std::uint32_t Run(const std::u16string& program, const std::u16string& commandLine,
                    const std::u16string& directory) {
    std::unique_ptr<RunningProcess> process = runner_.Start(program, commandLine, directory);
    if (!process) return 999;
    process->Wait();
    std::uint32_t exitCode = 999;
    EXPECT_TRUE(process->GetExitCode(&exitCode));
    return exitCode;
  }

  TemporaryFolder folder_;
  PosixProcessRunner runner_{GetParam()};
};

TEST_P(PosixProcessRunnerTest, SplitsTheArgumentsAndRunsInTheGivenFolder) {
  const std::u16string script = WriteScript();
  const std::filesystem::path work = folder_ / "work dir";
  std::filesystem::create_directory(work);
  EXPECT_EQ(Run(script, script + u" 7 config \"Orvik Integrated System\" start=auto", Utf8ToUtf16(work.string())), 7u);
  EXPECT_EQ(ReadWholeFile(folder_ / "log"),
            work.string() + "\n[7]\n[config]\n[Orvik Integrated System]\n[start=auto]\n");
}

TEST_P(PosixProcessRunnerTest, StartFailuresReportTheErrorNumber) {
  EXPECT_EQ(runner_.Start(u"c:\\Windows\\System32\\sc.exe", u"c:\\Windows\\System32\\sc.exe config", u""), nullptr);
  EXPECT_EQ(runner_.LastError(), 2u);
  const std::u16string script = WriteScript();
  EXPECT_EQ(runner_.Start(script, script, Utf8ToUtf16((folder_ / "missing").string())), nullptr);
  EXPECT_EQ(runner_.LastError(), 2u);
  const std::filesystem::path plain = folder_ / "not-executable";
  std::ofstream(plain) << "data";
  EXPECT_EQ(runner_.Start(Utf8ToUtf16(plain.string()), u"x", u""), nullptr);
  EXPECT_EQ(runner_.LastError(), 13u);  // EACCES
}

TEST_P(PosixProcessRunnerTest, TheChildInheritsOnlyTheStandardDescriptors) {
  const int open = ::open("/proc/self/exe", O_RDONLY);  // no close-on-exec
  ASSERT_GE(open, 3);
  const std::u16string check = u"/bin/sh -c \"test -e /proc/$$/fd/" + Utf8ToUtf16(std::to_string(open)) +
                               u" && exit 1; test -e /proc/$$/fd/0 || exit 2; exit 0\"";
  EXPECT_EQ(Run(u"/bin/sh", check, u""), 0u);
  close(open);
}

TEST_P(PosixProcessRunnerTest, ExitCodesAndSignals) {
  EXPECT_EQ(Run(u"/bin/sh", u"/bin/sh -c \"exit 3\"", u""), 3u);
  EXPECT_EQ(Run(u"/bin/sh", u"/bin/sh -c \"kill -9 $$\"", u""), 128u + 9u);
  // The installer ignores SIGPIPE; its children get the default back.
  const auto previous = signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(Run(u"/bin/sh", u"/bin/sh -c \"kill -PIPE $$\"", u""), 128u + SIGPIPE);
  signal(SIGPIPE, previous);
}

INSTANTIATE_TEST_SUITE_P(BothWays, PosixProcessRunnerTest,
                         ::testing::Values(PosixProcessRunner::Method::kBest, PosixProcessRunner::Method::kForkExec),
                         [](const auto& info) {
                           return info.param == PosixProcessRunner::Method::kBest ? "Spawn" : "ForkExec";
                         });

TEST(PosixProcessRunnerOwnPathTest, NamesTheRunningExecutable) {
  PosixProcessRunner runner;
  const std::u16string own = runner.GetOwnExecutablePath();
  EXPECT_EQ(std::filesystem::path(Utf16ToUtf8(own)), std::filesystem::canonical("/proc/self/exe"));
}

}  // namespace

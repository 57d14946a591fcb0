// The real OrvikInstallService program, run on packages built with the
// container library, with its installer database and system directory in a
// temporary folder and standard input at its end.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "testing/TemporaryFolder.h"
#include "testing/TestPackage.h"

namespace {

const char kProduct[] = "{6E1B2C3D-4F50-4A6B-8C7D-9E0F1A2B3C4D}";
const char kPressAnyKey[] = "\nPress any key to exit the application\n";
const char kScFailure[] =
    "Process c:\\Windows\\System32\\sc.exe config \"Orvik Integrated System\" start=auto failed with error "
    "00000002\n";

std::filesystem::path ProgramFolder() {
  if (const char* bin = std::getenv("QSS_TEST_BIN")) return bin;
  // Run by hand: the test program lives in build/tests, the installer in build/bin.
  return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin";
}

struct Outcome {
  int exitCode = -1;
  std::string output;
  std::string errors;
};

class InstallerEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = ProgramFolder() / "OrvikInstallService";
    if (!std::filesystem::exists(program_)) GTEST_SKIP() << program_ << " is not built";
    programFolder_ = std::filesystem::canonical(program_).parent_path();
    std::filesystem::create_directories(system_);
    std::filesystem::create_directories(package_.parent_path());
  }

  // The service stands in as a script that logs each run's switch and
  // working directory.
  std::string ServiceScript() const {
    return "#!/bin/sh\nprintf '%s %s\\n' \"$1\" \"$(pwd)\" >> '" + log_.string() + "'\necho noise\n";
  }

  void WriteDatabase(bool withComponent = true) {
    std::ofstream db(database_);
    db << "# test installation\n"
       << "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t" << kProduct << "\n";
    if (withComponent) db << "component\t" << kProduct << "\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\t" << package_.string() << "\n";
  }

  Outcome Run() {
    const std::filesystem::path out = folder_ / "stdout", err = folder_ / "stderr";
    // A run that hangs ends as a failure rather than blocking the tests.
    const std::string command = "ORVIK_INSTALLER_DB='" + database_.string() + "' ORVIK_SYSTEM_DIR='" +
                                system_.string() + "' timeout -k 5 120 '" + program_.string() +
                                "' ignored --arguments </dev/null >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    Outcome outcome;
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    outcome.output = ReadWholeFile(out);
    outcome.errors = ReadWholeFile(err);
    return outcome;
  }

  std::string Header() const {
    return "Searching for an installed version of Lumetra\nLocating Varn file...\nOpening firmware file " +
           package_.string() + "\n\nExtracting service into file " + (system_ / "Win_Talvane_Kivra7.tmp").string() +
           "\n";
  }

  std::string SuccessOutput() const {
    const std::string service = (system_ / "Win_Talvane_Kivra7.exe").string();
    return Header() + "\nRunning process: " + service + " -remove\nRunning process: " + service + " -install\n" +
           kScFailure + "\nSuccessfully installed the Orvik Integrated Systems service\n" +
           "REBOOT the system in order to start the service\n" + kPressAnyKey;
  }

  // Every file of the package, segments included.
  std::string PackageBytes() const {
    std::string bytes;
    for (int segment = 1;; ++segment) {
      std::filesystem::path name = package_;
      if (segment > 1) name += ".F000" + std::to_string(segment);
      if (!std::filesystem::exists(name)) break;
      bytes += ReadWholeFile(name);
    }
    return bytes;
  }

  void ExpectInstalled(const TestPackageLayout& layout, std::int64_t segmentSize = 0) {
    WriteTestPackage(package_, BuildTestPackage(layout), segmentSize);
    WriteDatabase();
    const std::string before = PackageBytes();

    const Outcome outcome = Run();
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output, SuccessOutput());
    EXPECT_EQ(outcome.errors, "");

    const std::filesystem::path placed = system_ / "Win_Talvane_Kivra7.exe";
    EXPECT_EQ(ReadWholeFile(placed), ServiceScript());
    struct stat info {};
    ASSERT_EQ(stat(placed.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_FALSE(std::filesystem::exists(system_ / "Win_Talvane_Kivra7.tmp"));
    const std::string folder = programFolder_.string();
    EXPECT_EQ(ReadWholeFile(log_), "-remove " + folder + "\n-install " + folder + "\n");
    EXPECT_EQ(PackageBytes(), before);
  }

  TemporaryFolder folder_;
  std::filesystem::path program_;
  std::filesystem::path programFolder_;
  std::filesystem::path system_ = folder_ / "system";
  std::filesystem::path package_ = folder_ / "Lumetra Firmware" / "Firmware.varn";
  std::filesystem::path database_ = folder_ / "installer.db";
  std::filesystem::path log_ = folder_ / "service.log";
};

TEST_F(InstallerEndToEndTest, InstallsFromAPlainPackage) {
  ExpectInstalled({{{u"Kivra7i\\KivMod7Win.bin", ServiceScript()}, {u"Brova3i\\KivMod7Win.bin", "#!/bin/sh\nexit 1\n"}}});
}

TEST_F(InstallerEndToEndTest, InstallsFromACompressedStream) {
  ExpectInstalled({{{u"Kivra7i\\Win_Talvane_Kivra7.bin", ServiceScript(), true}}});
}

TEST_F(InstallerEndToEndTest, InstallsFromASegmentedPackage) {
  ExpectInstalled({{{u"Brova3i\\KivMod7Win.bin", ServiceScript()}, {u"Brova3i\\Padding", PatternContent(9000)}}},
                  1024);
  EXPECT_TRUE(std::filesystem::exists(package_.string() + ".F0003"));
}

TEST_F(InstallerEndToEndTest, InstallsFromANestedContainer) {
  ExpectInstalled({{{u"Kivra7i\\KivMod7Win.bin", ServiceScript(), true}}, {u"Kivra7i"}});
}

TEST_F(InstallerEndToEndTest, ReplacesAnEarlierServiceAndItsLeftovers) {
  std::ofstream(system_ / "Win_Talvane_Kivra7.exe") << "old service";
  std::ofstream(system_ / "Win_Talvane_Kivra7.tmp") << "left over from an interrupted run";
  ExpectInstalled({{{u"Kivra7i\\KivMod7Win.bin", ServiceScript()}}});
}

// A FIFO with no writer, or a device that never ends, is no database: the
// run neither waits nor aborts.
TEST_F(InstallerEndToEndTest, OnlyARegularFileIsADatabase) {
  const std::filesystem::path fifo = folder_ / "installer.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::filesystem::path& database : {fifo, std::filesystem::path("/dev/zero")}) {
    database_ = database;
    const Outcome outcome = Run();
    EXPECT_EQ(outcome.exitCode, 0) << database;
    EXPECT_EQ(outcome.output,
              "Searching for an installed version of Lumetra\n"
              "Unable to install the integrated service because Lumetra is not installed.\n"
              "Install Lumetra and run this program again!" +
                  std::string(kPressAnyKey))
        << database;
    EXPECT_EQ(outcome.errors, "") << database;
  }
}

TEST_F(InstallerEndToEndTest, NoProductNoPackageNothingToExtract) {
  // No database file at all.
  Outcome outcome = Run();
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output,
            "Searching for an installed version of Lumetra\n"
            "Unable to install the integrated service because Lumetra is not installed.\n"
            "Install Lumetra and run this program again!" +
                std::string(kPressAnyKey));

  WriteDatabase(/*withComponent=*/false);
  outcome = Run();
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, "Searching for an installed version of Lumetra\nLocating Varn file...\n\n" +
                                std::string(kPressAnyKey).substr(1));

  WriteDatabase();
  WriteTestPackage(package_, BuildTestPackage({{{u"Kivra7i\\Other.bin", ServiceScript()}}}));
  outcome = Run();
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, Header() + "Couldn't extract service from " + package_.string() +
                                "\n\nThe Orvik Integrated Systems service couldn't be installed.\n"
                                "Contact service support for assistance.\n" + kPressAnyKey);
  EXPECT_EQ(outcome.errors, "");
  EXPECT_TRUE(std::filesystem::is_empty(system_));
}

// An output nobody reads any more does not change the exit code, nor stop
// the installation.
TEST_F(InstallerEndToEndTest, AClosedOutputStillEndsWithZero) {
  WriteTestPackage(package_, BuildTestPackage({{{u"Kivra7i\\KivMod7Win.bin", ServiceScript()}}}));
  WriteDatabase();
  int output[2];
  ASSERT_EQ(pipe(output), 0);
  close(output[0]);
  const std::string dbVariable = "ORVIK_INSTALLER_DB=" + database_.string();
  const std::string systemVariable = "ORVIK_SYSTEM_DIR=" + system_.string();
  std::string program = program_.string();
  char* argv[] = {program.data(), nullptr};
  char* envp[] = {const_cast<char*>(dbVariable.c_str()), const_cast<char*>(systemVariable.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadWholeFile(system_ / "Win_Talvane_Kivra7.exe"), ServiceScript());
}

// A folder where the final file belongs cannot be replaced: the user is told
// the file will be replaced after a restart, and registration still runs on
// the final path (which fails to start here).
TEST_F(InstallerEndToEndTest, AFinalFileThatCannotBeReplaced) {
  std::filesystem::create_directories(system_ / "Win_Talvane_Kivra7.exe" / "in use");
  WriteTestPackage(package_, BuildTestPackage({{{u"Kivra7i\\KivMod7Win.bin", ServiceScript()}}}));
  WriteDatabase();
  const Outcome outcome = Run();
  const std::string service = (system_ / "Win_Talvane_Kivra7.exe").string();
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, Header() + "Couldn't rename extracted file to " + service +
                                "\nFile will be replaced after rebooting\n\nProcess " + service +
                                " -remove failed with error 0000000d\nProcess " + service +
                                " -install failed with error 0000000d\n" + kScFailure +
                                "\nSuccessfully installed the Orvik Integrated Systems service\n"
                                "REBOOT the system in order to start the service\n" + kPressAnyKey);
  EXPECT_EQ(ReadWholeFile(system_ / "Win_Talvane_Kivra7.tmp"), ServiceScript());
}

}  // namespace

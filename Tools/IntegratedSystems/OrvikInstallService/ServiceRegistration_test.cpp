// Running programs and registering the service.

#include "ServiceRegistration.h"

#include <gtest/gtest.h>

#include "testing/FakeInstallerServices.h"

namespace {

TEST(RunProcessTest, JoinsTheCommandLineAndRunsInTheInstallersFolder) {
  FakeInstaller fake;
  fake.processes.exitCodes[u"/sys32/My Service.exe"] = 42;
  EXPECT_EQ(RunProcess(fake.services, u"/sys32/My Service.exe", u"-remove"), 42u);
  EXPECT_EQ(RunProcess(fake.services, u"/sys32/My Service.exe", u""), 42u);
  ASSERT_EQ(fake.processes.runs.size(), 2u);
  // The path is not quoted; an empty argument string adds no space.
  EXPECT_EQ(fake.processes.runs[0].commandLine, u"/sys32/My Service.exe -remove");
  EXPECT_EQ(fake.processes.runs[1].commandLine, u"/sys32/My Service.exe");
  EXPECT_EQ(fake.processes.runs[0].application, u"/sys32/My Service.exe");
  EXPECT_EQ(fake.processes.runs[0].workingDirectory, u"/opt/installer");
  EXPECT_TRUE(fake.processes.runs[0].waited);
  EXPECT_EQ(fake.console.writes, (std::vector<std::string>{"Running process: /sys32/My Service.exe -remove\n",
                                                           "Running process: /sys32/My Service.exe\n"}));
}

TEST(RunProcessTest, AStartFailureIsPrintedWithItsErrorCode) {
  FakeInstaller fake;
  fake.processes.startErrors[u"/missing"] = 2;
  fake.processes.startErrors[u"/denied"] = 0xC0000142;
  EXPECT_EQ(RunProcess(fake.services, u"/missing", u"-install"), kProcessNotStarted);
  EXPECT_EQ(RunProcess(fake.services, u"/denied", u""), kProcessNotStarted);
  EXPECT_EQ(fake.console.writes, (std::vector<std::string>{"Process /missing -install failed with error 00000002\n",
                                                           "Process /denied failed with error c0000142\n"}));
}

TEST(RegisterServiceTest, RunsAllThreeWhateverTheyReturn) {
  FakeInstaller fake;
  fake.processes.startErrors[u"/sys32/svc.exe"] = 5;
  RegisterService(fake.services, u"/sys32/svc.exe");
  ASSERT_EQ(fake.processes.runs.size(), 3u);
  EXPECT_EQ(fake.processes.runs[2].application, u"c:\\Windows\\System32\\sc.exe");
  EXPECT_EQ(fake.processes.runs[2].commandLine,
            u"c:\\Windows\\System32\\sc.exe config \"Orvik Integrated System\" start=auto");
  EXPECT_EQ(fake.console.writes,
            (std::vector<std::string>{"\n", "Process /sys32/svc.exe -remove failed with error 00000005\n",
                                      "Process /sys32/svc.exe -install failed with error 00000005\n",
                                      "Running process: c:\\Windows\\System32\\sc.exe config \"Orvik Integrated "
                                      "System\" start=auto\n"}));
}

}  // namespace

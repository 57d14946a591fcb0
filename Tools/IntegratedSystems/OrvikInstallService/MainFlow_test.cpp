// The four kinds of run, printed exactly as the user sees them.

#include "MainFlow.h"

#include <gtest/gtest.h>

#include "WideText.h"
#include "testing/FakeInstallerServices.h"
#include "testing/TemporaryFolder.h"
#include "testing/TestPackage.h"

namespace {

using Lines = std::vector<std::string>;

const char kPressAnyKey[] = "\nPress any key to exit the application\n";

class MainFlowTest : public ::testing::Test {
 protected:
  // One related product whose package file holds layout.
  std::string InstallProduct(const TestPackageLayout& layout) {
    const std::filesystem::path path = folder_ / "Lumetra" / "Firmware.varn";
    std::filesystem::create_directories(path.parent_path());
    WriteTestPackage(path, BuildTestPackage(layout));
    const std::u16string packagePath = Utf8ToUtf16(path.string());
    fake_.database.products = {u"{11111111-1111-1111-1111-111111111111}"};
    fake_.database.componentPaths[fake_.database.products[0]] = packagePath;
    fake_.files.files[packagePath] = "(the package, as the fake file system sees it)";
    return path.string();
  }

  TemporaryFolder folder_;
  FakeInstaller fake_;
};

TEST_F(MainFlowTest, HostProductNotInstalled) {
  EXPECT_EQ(RunInstaller(fake_.services), 0);
  EXPECT_EQ(fake_.console.writes,
            (Lines{"Searching for an installed version of Lumetra\n",
                   "Unable to install the integrated service because Lumetra is not installed.\n"
                   "Install Lumetra and run this program again!",
                   kPressAnyKey}));
  EXPECT_EQ(fake_.console.keyWaits, 1);
}

TEST_F(MainFlowTest, ProductInstalledButNoPackageFile) {
  fake_.database.products = {u"{11111111-1111-1111-1111-111111111111}", u"{22222222-2222-2222-2222-222222222222}"};
  fake_.database.componentPaths[fake_.database.products[1]] = u"/nowhere/Firmware.varn";
  EXPECT_EQ(RunInstaller(fake_.services), 0);
  EXPECT_EQ(fake_.console.writes, (Lines{"Searching for an installed version of Lumetra\n", "Locating Varn file..",
                                         ".", ".", "\n", kPressAnyKey}));
  EXPECT_EQ(fake_.console.keyWaits, 1);
  EXPECT_TRUE(fake_.files.log.empty());
}

TEST_F(MainFlowTest, PackageFoundButNothingExtracted) {
  const std::string package = InstallProduct({{{u"Kivra7i\\Other.bin", "not the service"}}});
  EXPECT_EQ(RunInstaller(fake_.services), 0);
  EXPECT_EQ(fake_.console.writes, (Lines{"Searching for an installed version of Lumetra\n",
                                         "Locating Varn file..",
                                         ".",
                                         "\n",
                                         "Opening firmware file " + package + "\n",
                                         "\nExtracting service into file " + FakeSystemFileText(u"Win_Talvane_Kivra7.tmp") + "\n",
                                         "Couldn't extract service from " + package + "\n",
                                         "\nThe Orvik Integrated Systems service couldn't be installed.\n",
                                         "Contact service support for assistance.\n",
                                         kPressAnyKey}));
  EXPECT_EQ(fake_.console.keyWaits, 1);
}

TEST_F(MainFlowTest, Success) {
  const std::string package = InstallProduct({{{u"Kivra7i\\KivMod7Win.bin", "service"}}});
  fake_.processes.startErrors[u"c:\\Windows\\System32\\sc.exe"] = 2;
  EXPECT_EQ(RunInstaller(fake_.services), 0);
  EXPECT_EQ(fake_.console.writes,
            (Lines{"Searching for an installed version of Lumetra\n",
                   "Locating Varn file..",
                   ".",
                   "\n",
                   "Opening firmware file " + package + "\n",
                   "\nExtracting service into file " + FakeSystemFileText(u"Win_Talvane_Kivra7.tmp") + "\n",
                   "\n",
                   "Running process: " + FakeSystemFileText(u"Win_Talvane_Kivra7.exe") + " -remove\n",
                   "Running process: " + FakeSystemFileText(u"Win_Talvane_Kivra7.exe") + " -install\n",
                   "Process c:\\Windows\\System32\\sc.exe config \"Orvik Integrated System\" start=auto failed with "
                   "error 00000002\n",
                   "\nSuccessfully installed the Orvik Integrated Systems service\n",
                   "REBOOT the system in order to start the service\n",
                   kPressAnyKey}));
  EXPECT_EQ(fake_.files.files[FakeSystemFile(u"Win_Talvane_Kivra7.exe")], "service");
  EXPECT_EQ(fake_.console.keyWaits, 1);
}

TEST_F(MainFlowTest, SuccessWithTheMoveLeftToTheNextRestart) {
  InstallProduct({{{u"Brova3i\\KivMod7Win.bin", "service"}}});
  fake_.files.moveReplacingFails = true;
  EXPECT_EQ(RunInstaller(fake_.services), 0);
  const Lines& writes = fake_.console.writes;
  ASSERT_EQ(writes.size(), 14u);
  EXPECT_EQ(writes[6],
            "Couldn't rename extracted file to " + FakeSystemFileText(u"Win_Talvane_Kivra7.exe") +
                "\nFile will be replaced after rebooting\n");
  EXPECT_EQ(writes[7], "\n");
  EXPECT_EQ(writes[10], "Running process: c:\\Windows\\System32\\sc.exe config \"Orvik Integrated System\" start=auto\n");
  EXPECT_EQ(writes[11], "\nSuccessfully installed the Orvik Integrated Systems service\n");
}

}  // namespace

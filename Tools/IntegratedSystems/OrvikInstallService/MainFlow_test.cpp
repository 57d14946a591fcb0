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
  std::string InstallProduct(const TestPackageLayout& layout) { return InstallProduct(layout, fake_); }
  std::string InstallProduct(const TestPackageLayout& layout, FakeInstaller& fake) {
    const std::filesystem::path path = folder_ / "Lumetra" / "Firmware.varn";
    std::filesystem::create_directories(path.parent_path());
    WriteTestPackage(path, BuildTestPackage(layout));
    const std::u16string packagePath = Utf8ToUtf16(path.string());
    fake.database.products = {u"{11111111-1111-1111-1111-111111111111}"};
    fake.database.componentPaths[fake.database.products[0]] = packagePath;
    fake.files.files[packagePath] = "(the package, as the fake file system sees it)";
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

// Whatever a service throws, the run ends as its messages say: the usual
// messages of the step that failed, the key prompt, exit code 0.
TEST_F(MainFlowTest, AThrowingDatabaseCallIsAFailedCall) {
  fake_.database.throwAtIndex = 0;
  EXPECT_EQ(RunInstaller(fake_.services), 0);
  EXPECT_EQ(fake_.console.writes,
            (Lines{"Searching for an installed version of Lumetra\n",
                   "Unable to install the integrated service because Lumetra is not installed.\n"
                   "Install Lumetra and run this program again!",
                   kPressAnyKey}));
  EXPECT_EQ(fake_.console.keyWaits, 1);

  // The enumeration ends where it throws; a product whose path query throws
  // has no package, and the next one is asked.
  FakeInstaller fake;
  InstallProduct({{{u"Kivra7i\\KivMod7Win.bin", "service"}}}, fake);
  fake.database.products = {u"{22222222-2222-2222-2222-222222222222}", fake.database.products[0], u"{3}"};
  fake.database.throwingProducts = {fake.database.products[0]};
  fake.database.throwAtIndex = 2;
  EXPECT_EQ(RunInstaller(fake.services), 0);
  EXPECT_EQ(fake.database.productsQueried.size(), 2u);
  EXPECT_EQ(fake.files.files[FakeSystemFile(u"Win_Talvane_Kivra7.exe")], "service");
  EXPECT_EQ(fake.console.writes[fake.console.writes.size() - 3],
            "\nSuccessfully installed the Orvik Integrated Systems service\n");
}

TEST_F(MainFlowTest, AThrowingFileOperationEndsWithTheFailureMessages) {
  const TestPackageLayout layout{{{u"Kivra7i\\KivMod7Win.bin", "service"}}};
  const std::string package = InstallProduct(layout);  // the same file for every run below
  const std::string temporary = FakeSystemFileText(u"Win_Talvane_Kivra7.tmp");
  const std::string final = FakeSystemFileText(u"Win_Talvane_Kivra7.exe");
  const Lines extracting{"Searching for an installed version of Lumetra\n", "Locating Varn file..", ".", "\n",
                         "Opening firmware file " + package + "\n",
                         "\nExtracting service into file " + temporary + "\n"};
  const Lines failed{"\nThe Orvik Integrated Systems service couldn't be installed.\n",
                     "Contact service support for assistance.\n", kPressAnyKey};

  // Creating the file throws on every attempt: nothing was extracted.
  FakeInstaller creating;
  InstallProduct(layout, creating);
  creating.files.throwFrom["create " + temporary] = 1;
  EXPECT_EQ(RunInstaller(creating.services), 0);
  Lines expected = extracting;
  expected.push_back("Couldn't extract service from " + package + "\n");
  expected.insert(expected.end(), failed.begin(), failed.end());
  EXPECT_EQ(creating.console.writes, expected);
  EXPECT_EQ(creating.console.keyWaits, 1);

  // Once extracted, the move throws: no registration, redirection back on.
  FakeInstaller moving;
  InstallProduct(layout, moving);
  moving.files.throwFrom["move " + temporary + " " + final] = 1;
  EXPECT_EQ(RunInstaller(moving.services), 0);
  expected = extracting;
  expected.insert(expected.end(), failed.begin(), failed.end());
  EXPECT_EQ(moving.console.writes, expected);
  EXPECT_TRUE(moving.processes.runs.empty());
  EXPECT_EQ(moving.redirection.restores, 1);
  EXPECT_FALSE(moving.redirection.disabled);
  EXPECT_EQ(moving.console.keyWaits, 1);

  // Even a message that cannot be written leaves the rest to be said.
  FakeInstaller printing;
  InstallProduct(layout, printing);
  printing.console.throwAtWrite = 0;
  EXPECT_EQ(RunInstaller(printing.services), 0);
  EXPECT_EQ(printing.console.writes, failed);
  EXPECT_EQ(printing.console.keyWaits, 1);
}

}  // namespace

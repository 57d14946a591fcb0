// Finding the host product and its package through the installer database.

#include "PackageLocation.h"

#include <gtest/gtest.h>

#include "testing/FakeInstallerServices.h"

namespace {

const std::u16string kOld = u"{AAAAAAAA-0000-0000-0000-000000000001}";
const std::u16string kNew = u"{AAAAAAAA-0000-0000-0000-000000000002}";
const std::u16string kThird = u"{AAAAAAAA-0000-0000-0000-000000000003}";

TEST(PackageLocationTest, AsksForTheUpgradeFamilyUntilTheEnumerationFails) {
  FakeInstaller fake;
  fake.database.products = {kOld, kNew, kThird};
  fake.database.failAtIndex = 2;
  std::vector<std::u16string> products;
  FindRelatedProducts(fake.services, products);
  EXPECT_EQ(products, (std::vector<std::u16string>{kOld, kNew}));
  ASSERT_EQ(fake.database.upgradeCodesAsked.size(), 3u);
  EXPECT_EQ(fake.database.upgradeCodesAsked[0], u"{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}");
  EXPECT_EQ(fake.console.writes, std::vector<std::string>{"Searching for an installed version of Lumetra\n"});
}

TEST(PackageLocationTest, TheFirstProductWhosePackageExistsWins) {
  FakeInstaller fake;
  fake.database.products = {kOld, kNew, kThird};
  fake.database.componentPaths[kOld] = u"/old/gone.varn";
  fake.database.componentPaths[kNew] = u"/new/Firmware.varn";
  fake.database.componentPaths[kThird] = u"/third/Firmware.varn";
  fake.files.files[u"/new/Firmware.varn"] = "";
  fake.files.files[u"/third/Firmware.varn"] = "";
  std::u16string path = u"left over";
  EXPECT_TRUE(LocateFirmwarePackage(fake.services, path));
  EXPECT_EQ(path, u"/new/Firmware.varn");
  // The third product is never asked.
  EXPECT_EQ(fake.database.productsQueried, (std::vector<std::u16string>{kOld, kNew}));
  EXPECT_EQ(fake.database.componentsQueried[0], u"{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}");
  EXPECT_EQ(fake.database.bufferSizesGiven, (std::vector<std::uint32_t>{260, 260}));
  EXPECT_EQ(fake.console.writes, (std::vector<std::string>{"Searching for an installed version of Lumetra\n",
                                                           "Locating Varn file..", ".", ".", "\n"}));
}

TEST(PackageLocationTest, NoPackageForAnyProductGivesAnEmptyPath) {
  FakeInstaller fake;
  fake.database.products = {kOld, kNew};
  // An uninstalled component, and a path longer than the buffer.
  fake.database.componentPaths[kNew] = u"/" + std::u16string(300, u'x');
  fake.files.files[fake.database.componentPaths[kNew]] = "";
  std::u16string path;
  EXPECT_FALSE(LocateFirmwarePackage(fake.services, path));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(fake.console.writes.size(), 5u);
}

TEST(PackageLocationTest, NoRelatedProduct) {
  FakeInstaller fake;
  std::u16string path;
  EXPECT_FALSE(LocateFirmwarePackage(fake.services, path));
  EXPECT_TRUE(path.empty());
  EXPECT_TRUE(fake.database.productsQueried.empty());
  ASSERT_EQ(fake.console.writes.size(), 2u);
  EXPECT_EQ(fake.console.writes[1],
            "Unable to install the integrated service because Lumetra is not installed.\n"
            "Install Lumetra and run this program again!");
}

}  // namespace

#include "PackageLocation.h"

#include <algorithm>

#include "ConsolePrint.h"
#include "WideText.h"

void FindRelatedProducts(InstallerServices& services, std::vector<std::u16string>& products) {
  std::u16string buffer(kEnumerationBufferChars, u'\0');
  ConsolePrint(services.console, u"Searching for an installed version of Lumetra\n");
  for (std::uint32_t index = 0;; ++index) {
    // A call that throws (a database too large to hold in memory, say)
    // failed like any other, and ends the list.
    try {
      if (services.database.EnumRelatedProducts(kLumetraUpgradeCode, 0, index, buffer.data()) != kEnumSuccess) break;
      // Only the first kProductCodeBufferChars characters belong to the answer.
      products.push_back(TextBeforeNul(std::u16string_view(buffer).substr(0, kProductCodeBufferChars)));
    } catch (...) {
      break;
    }
    std::fill(buffer.begin() + kProductCodeBufferChars, buffer.end(), u'\0');
  }
}

namespace {

// The product's package file when the database names one that exists;
// empty otherwise, also when a question throws.
std::u16string ExistingPackagePath(InstallerServices& services, const std::u16string& product) {
  try {
    std::u16string buffer(kComponentPathBufferChars, u'\0');
    std::uint32_t bufferChars = kComponentPathBufferChars;
    services.database.GetComponentPath(product.c_str(), kFirmwarePackageComponentId, buffer.data(), &bufferChars);
    std::u16string path = TextBeforeNul(buffer);
    if (!path.empty() && services.files.Exists(path)) return path;
  } catch (...) {
  }
  return {};
}

}  // namespace

bool LocateFirmwarePackage(InstallerServices& services, std::u16string& packagePath) {
  std::vector<std::u16string> products;
  FindRelatedProducts(services, products);
  if (products.empty()) {
    ConsolePrint(services.console,
                 u"Unable to install the integrated service because Lumetra is not installed.\n"
                 u"Install Lumetra and run this program again!");
    packagePath.clear();
    return false;
  }

  ConsolePrint(services.console, u"Locating Varn file..");
  packagePath.clear();
  for (const std::u16string& product : products) {
    ConsolePrint(services.console, u".");
    packagePath = ExistingPackagePath(services, product);
    if (!packagePath.empty()) break;
  }
  ConsolePrint(services.console, u"\n");
  return !packagePath.empty();
}

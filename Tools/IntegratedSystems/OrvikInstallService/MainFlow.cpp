#include "MainFlow.h"

#include <string>

#include "ConsolePrint.h"
#include "PackageLocation.h"
#include "ServiceExtraction.h"

namespace {

enum class Outcome { kNoPackage, kInstalled, kNotInstalled };

Outcome InstallFromPackage(InstallerServices& services) {
  std::u16string packagePath;
  if (!LocateFirmwarePackage(services, packagePath)) return Outcome::kNoPackage;
  return ExtractService(services, packagePath) ? Outcome::kInstalled : Outcome::kNotInstalled;
}

}  // namespace

int RunInstaller(InstallerServices& services) {
  // The steps turn what hostile input can make throw into their usual
  // failures. Anything else that throws still ends the run as one that
  // did not install, with the key prompt: the console is all the user has.
  Outcome outcome = Outcome::kNotInstalled;
  try {
    outcome = InstallFromPackage(services);
  } catch (...) {
  }
  try {
    if (outcome == Outcome::kInstalled) {
      ConsolePrint(services.console, u"\nSuccessfully installed the Orvik Integrated Systems service\n");
      ConsolePrint(services.console, u"REBOOT the system in order to start the service\n");
    } else if (outcome == Outcome::kNotInstalled) {
      ConsolePrint(services.console, u"\nThe Orvik Integrated Systems service couldn't be installed.\n");
      ConsolePrint(services.console, u"Contact service support for assistance.\n");
    }
  } catch (...) {
  }
  try {
    ConsolePrint(services.console, u"\nPress any key to exit the application\n");
  } catch (...) {
  }
  try {
    services.console.WaitForKey();
  } catch (...) {
  }
  return 0;
}

#include "MainFlow.h"

#include <string>

#include "ConsolePrint.h"
#include "PackageLocation.h"
#include "ServiceExtraction.h"

int RunInstaller(InstallerServices& services) {
  std::u16string packagePath;
  if (LocateFirmwarePackage(services, packagePath)) {
    if (ExtractService(services, packagePath)) {
      ConsolePrint(services.console, u"\nSuccessfully installed the Orvik Integrated Systems service\n");
      ConsolePrint(services.console, u"REBOOT the system in order to start the service\n");
    } else {
      ConsolePrint(services.console, u"\nThe Orvik Integrated Systems service couldn't be installed.\n");
      ConsolePrint(services.console, u"Contact service support for assistance.\n");
    }
  }
  ConsolePrint(services.console, u"\nPress any key to exit the application\n");
  services.console.WaitForKey();
  return 0;
}

// OrvikInstallService: installs the "Orvik Integrated System" service from
// the firmware package of the installed host product. Takes no arguments
// (any given are ignored) and always exits with 0.

#include "MainFlow.h"
#include "qss/ContainerFile.h"

using namespace qss;

int main() {
  // A package of many segment files holds one file open for each.
  qss::RaiseOpenFileLimit();
  // RunInstaller lets nothing through; this covers setting up the services.
  try {
    const auto console = NewPlatformConsole();
    const auto database = NewPlatformInstallerDatabase();
    const auto systemDirectory = NewPlatformSystemDirectory();
    const auto redirection = NewPlatformFileSystemRedirection();
    const auto files = NewPlatformFilePlacement();
    const auto processes = NewPlatformProcessRunner();
    InstallerServices services{*console, *database, *systemDirectory, *redirection, *files, *processes};
    RunInstaller(services);
  } catch (...) {
  }
  return 0;
}

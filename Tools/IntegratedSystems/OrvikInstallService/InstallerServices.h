// InstallerServices: everything the installer asks of the platform.
//
// The installer's steps take this bundle instead of calling the operating
// system, so the program's main wires in the real services and the tests
// wire in fakes that record what was asked.
//
// Each platform folder (posix/, win32/) provides the real services through
// the six factories declared beside the interfaces: NewPlatformConsole,
// NewPlatformInstallerDatabase, NewPlatformSystemDirectory,
// NewPlatformFileSystemRedirection, NewPlatformFilePlacement and
// NewPlatformProcessRunner.

#ifndef TOOLS_ORVIKINSTALLSERVICE_INSTALLERSERVICES_H_
#define TOOLS_ORVIKINSTALLSERVICE_INSTALLERSERVICES_H_

#include "Console.h"
#include "FilePlacement.h"
#include "FileSystemRedirection.h"
#include "InstallerDatabase.h"
#include "ProcessRunner.h"
#include "SystemDirectory.h"

struct InstallerServices {
  Console& console;
  InstallerDatabase& database;
  SystemDirectory& systemDirectory;
  FileSystemRedirection& redirection;
  FilePlacement& files;
  ProcessRunner& processes;
};

#endif  // TOOLS_ORVIKINSTALLSERVICE_INSTALLERSERVICES_H_

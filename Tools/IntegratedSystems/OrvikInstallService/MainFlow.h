// MainFlow: the installer's one run, from finding the package to the final
// key press.

#ifndef TOOLS_ORVIKINSTALLSERVICE_MAINFLOW_H_
#define TOOLS_ORVIKINSTALLSERVICE_MAINFLOW_H_

#include "InstallerServices.h"

// Locates the package, extracts and registers the service, tells the user
// the outcome and waits for a key. Returns the program's exit code, which is
// 0 whatever happened: the user learns the outcome from the console alone.
// No exception leaves it.
int RunInstaller(InstallerServices& services);

#endif  // TOOLS_ORVIKINSTALLSERVICE_MAINFLOW_H_

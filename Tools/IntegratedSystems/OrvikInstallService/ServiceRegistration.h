// ServiceRegistration: running programs, and the three runs that register
// the service with the system.

#ifndef TOOLS_ORVIKINSTALLSERVICE_SERVICEREGISTRATION_H_
#define TOOLS_ORVIKINSTALLSERVICE_SERVICEREGISTRATION_H_

#include <cstdint>
#include <string>

#include "InstallerServices.h"

// RunProcess's answer when the child could not be started.
inline constexpr std::uint32_t kProcessNotStarted = 999;

inline constexpr char16_t kServiceControlTool[] = u"c:\\Windows\\System32\\sc.exe";
inline constexpr char16_t kServiceControlArguments[] = u"config \"Orvik Integrated System\" start=auto";

// Runs applicationPath with the arguments (the command line is the path, and
// a space and the arguments when there are any) in the directory of this
// program's own executable, reports the run on the console and waits for the
// child to end. Returns its exit code, or kProcessNotStarted.
std::uint32_t RunProcess(InstallerServices& services, const std::u16string& applicationPath,
                         const std::u16string& arguments);

// Runs the service executable with "-remove", then with "-install", then the
// service-control tool to start the service automatically. Every run
// happens, whatever the earlier ones did.
void RegisterService(InstallerServices& services, const std::u16string& serviceExecutablePath);

#endif  // TOOLS_ORVIKINSTALLSERVICE_SERVICEREGISTRATION_H_

// The system directory on POSIX: the directory named by the environment
// variable ORVIK_SYSTEM_DIR, or /usr/local/lib/orvik when it is unset or
// empty. The service executable is placed there.

#ifndef TOOLS_ORVIKINSTALLSERVICE_POSIX_POSIXSYSTEMDIRECTORY_H_
#define TOOLS_ORVIKINSTALLSERVICE_POSIX_POSIXSYSTEMDIRECTORY_H_

inline constexpr char kSystemDirectoryVariable[] = "ORVIK_SYSTEM_DIR";
inline constexpr char kDefaultSystemDirectory[] = "/usr/local/lib/orvik";

#endif  // TOOLS_ORVIKINSTALLSERVICE_POSIX_POSIXSYSTEMDIRECTORY_H_

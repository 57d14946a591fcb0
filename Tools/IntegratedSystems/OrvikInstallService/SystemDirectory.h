// SystemDirectory: where system-wide executables such as the service live.

#ifndef TOOLS_ORVIKINSTALLSERVICE_SYSTEMDIRECTORY_H_
#define TOOLS_ORVIKINSTALLSERVICE_SYSTEMDIRECTORY_H_

#include <memory>
#include <string>

class SystemDirectory {
 public:
  virtual ~SystemDirectory() = default;

  // The directory's path, without a trailing separator unless it is a root.
  virtual std::u16string GetPath() = 0;
};

// The system directory of the platform the program was built for.
std::unique_ptr<SystemDirectory> NewPlatformSystemDirectory();

#endif  // TOOLS_ORVIKINSTALLSERVICE_SYSTEMDIRECTORY_H_

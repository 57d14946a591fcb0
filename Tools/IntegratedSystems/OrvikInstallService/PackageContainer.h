// PackageContainer: the firmware package opened read-only as a container.
//
// The package may be one file or numbered segment files beside it. The
// container is opened for reading with read sharing, so the package is never
// created or changed. A package that cannot be opened, or is not a
// container, holds no root storage: valid() is false.

#ifndef TOOLS_ORVIKINSTALLSERVICE_PACKAGECONTAINER_H_
#define TOOLS_ORVIKINSTALLSERVICE_PACKAGECONTAINER_H_

#include <string>

#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"

class PackageContainer {
 public:
  explicit PackageContainer(const std::u16string& packagePath);
  PackageContainer(const PackageContainer&) = delete;
  PackageContainer& operator=(const PackageContainer&) = delete;

  // Only for a valid package.
  qss::CStorage& root();
  // True when the package held a readable container.
  bool valid() const;

 private:
  qss::CQssRef<qss::CRootStorage> root_;
};

#endif  // TOOLS_ORVIKINSTALLSERVICE_PACKAGECONTAINER_H_

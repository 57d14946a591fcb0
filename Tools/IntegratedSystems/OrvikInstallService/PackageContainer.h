// PackageContainer: the firmware package opened read-only as a container.
//
// The package may be one file or numbered segment files beside it. The
// container is opened for reading with read sharing, so the package is never
// created or changed. A package that cannot be opened, or is not a
// container, still gives a root storage: one without entries, on which every
// open by name fails.

#ifndef TOOLS_ORVIKINSTALLSERVICE_PACKAGECONTAINER_H_
#define TOOLS_ORVIKINSTALLSERVICE_PACKAGECONTAINER_H_

#include <string>

#include "qss/CQssRef.h"

namespace qss { class CMultiFileArray; }
namespace qss { class CRootStorage; }
namespace qss { class CStorage; }

class PackageContainer {
 public:
  explicit PackageContainer(const std::u16string& packagePath);
  // Gives up the root storage and the package files.
  ~PackageContainer();
  PackageContainer(const PackageContainer&) = delete;
  PackageContainer& operator=(const PackageContainer&) = delete;

  qss::CStorage& root();
  // True when the package held a readable container.
  bool valid() const;

 private:
  qss::CQssRef<qss::CMultiFileArray> package_;
  // Held with one reference; null when the package did not open as a
  // container.
  qss::CRootStorage* root_ = nullptr;
};

#endif  // TOOLS_ORVIKINSTALLSERVICE_PACKAGECONTAINER_H_

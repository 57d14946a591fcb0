#include "PackageContainer.h"

#include "qss/ContainerFile.h"
#include "WideText.h"

using namespace qss;

PackageContainer::PackageContainer(const std::u16string& packagePath) {
  // A package whose files do not open, or that is no container, holds no
  // root, which is all the caller needs to know.
  static_cast<void>(OpenContainerFile(ToNativePath(packagePath), OpenMode::kReadOnly, &root_));
}

CStorage& PackageContainer::root() { return *root_; }

bool PackageContainer::valid() const { return static_cast<bool>(root_); }

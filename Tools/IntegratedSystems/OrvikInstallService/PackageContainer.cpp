#include "PackageContainer.h"

#include "ByteArrays/CMultiFileArray.h"
#include "qss/CRootStorage.h"
#include "WideText.h"

using namespace qss;

PackageContainer::PackageContainer(const std::u16string& packagePath)
    : package_(new CMultiFileArray(ToNativePath(packagePath), native_file::kGenericRead, native_file::kShareRead,
                                   native_file::kAttributeNormal)) {
  // A package whose files do not open holds no container, which is all the
  // caller needs to know.
  if (QssFailed(package_->Open())) return;
  root_ = new CRootStorage(package_.get());
  if (root_->valid()) {
    root_->AddRef();
  } else {
    delete root_;  // nobody holds a root that did not open
    root_ = nullptr;
  }
}

PackageContainer::~PackageContainer() {
  if (root_ != nullptr) root_->Release();
}

CStorage& PackageContainer::root() { return *root_; }

bool PackageContainer::valid() const { return root_ != nullptr; }

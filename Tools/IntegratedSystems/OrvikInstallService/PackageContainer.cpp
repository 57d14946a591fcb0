#include "PackageContainer.h"

#include "ByteArrays/CMultiFileArray.h"
#include "Container/CRootStorage.h"
#include "WideText.h"

PackageContainer::PackageContainer(const std::u16string& packagePath)
    : package_(new CMultiFileArray(ToNativePath(packagePath), native_file::kGenericRead, native_file::kShareRead,
                                   native_file::kAttributeNormal)) {
  // A package that does not open leaves the array without segments; the root
  // storage then finds no container, which is all the caller needs to know.
  package_->Open();
  root_ = new CRootStorage(package_.get());
  if (root_->valid()) root_->AddRef();
}

PackageContainer::~PackageContainer() {
  if (root_->valid()) {
    root_->Release();
  } else {
    delete root_;
  }
}

CStorage& PackageContainer::root() { return *root_; }

bool PackageContainer::valid() const { return root_->valid(); }

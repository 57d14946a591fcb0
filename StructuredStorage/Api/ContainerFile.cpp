#include "qss/ContainerFile.h"

#include <memory>

#include "ByteArrays/CMultiFileArray.h"
#include "qss/NativeFile.h"
#include "qss/CRootStorage.h"
#include "qss/CStorageEntry.h"

namespace qss {

namespace {

// The array finds no segment at all when the base file is missing; the
// system's own code says that better than the array's.
QssResult WhyNothingOpened(const std::filesystem::path& path, std::uint32_t access) {
  std::unique_ptr<NativeFile> file;
  const QssResult opened = NativeFile::Open(path, access, native_file::kShareRead, native_file::kOpenExisting,
                                            native_file::kAttributeNormal, &file);
  return QssFailed(opened) ? opened : kQssNotFound;
}

}  // namespace

QssResult OpenContainerBytes(const std::filesystem::path& path, OpenMode mode, CQssRef<CPhysicalByteArray>* array,
                             ContainerFiles* files) {
  if (array == nullptr) return kQssNullResult;
  array->Reset();
  const std::uint32_t access = mode == OpenMode::kReadOnly
                                   ? native_file::kGenericRead
                                   : native_file::kGenericRead | native_file::kGenericWrite;
  CQssRef<CMultiFileArray> segmented(
      new CMultiFileArray(path, access, native_file::kShareRead, native_file::kAttributeNormal));
  const QssResult opened = segmented->Open();
  if (opened == kQssNotFound) return WhyNothingOpened(path, access);
  if (QssFailed(opened)) return opened;
  if (files != nullptr) {
    files->segments = segmented->segmentCount();
    files->segmentSize = segmented->segmentSize();
  }
  *array = CQssRef<CPhysicalByteArray>(segmented.get());
  return kQssOk;
}

std::filesystem::path SegmentFileName(const std::filesystem::path& path, std::int32_t n) {
  return CMultiPhysicalByteArray::SegmentName(path, n);
}

QssResult OpenContainerFile(const std::filesystem::path& path, OpenMode mode, CQssRef<CRootStorage>* root) {
  if (root == nullptr) return kQssNullResult;
  root->Reset();
  CQssRef<CPhysicalByteArray> array;
  if (QssResult opened = OpenContainerBytes(path, mode, &array); QssFailed(opened)) return opened;
  CQssRef<CRootStorage> openedRoot;
  if (QssResult result = CRootStorage::Open(array.get(), &openedRoot); QssFailed(result)) return result;
  // Nothing is saved through a read-only root, so its files are never asked
  // to take a write they would refuse.
  if (mode == OpenMode::kReadOnly) openedRoot->rootEntry()->readOnly = true;
  *root = std::move(openedRoot);
  return kQssOk;
}

QssResult CreateContainerFile(const std::filesystem::path& path, std::int32_t entryWidth, std::int32_t blockSize,
                              std::int64_t segmentSize, CQssRef<CRootStorage>* root) {
  if (root == nullptr) return kQssNullResult;
  root->Reset();
  CQssRef<CMultiFileArray> array(new CMultiFileArray(path, native_file::kGenericRead | native_file::kGenericWrite,
                                                     native_file::kShareRead, native_file::kAttributeNormal,
                                                     segmentSize));
  if (QssResult created = array->Create(); QssFailed(created)) return created;
  return CRootStorage::Create(array.get(), entryWidth, blockSize, root);
}

void RaiseOpenFileLimit() { native_file::RaiseOpenFileLimit(); }

}  // namespace qss

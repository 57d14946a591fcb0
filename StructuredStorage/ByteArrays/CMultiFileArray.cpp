#include "ByteArrays/CMultiFileArray.h"

#include <memory>
#include <utility>

#include "qss/CLockGuard.h"
#include "ByteArrays/CFileArray.h"
#include "qss/NativeFile.h"

namespace qss {

CMultiFileArray::CMultiFileArray(std::filesystem::path basePath, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                 std::uint32_t flagsAndAttributes, std::int64_t segmentSize,
                                 std::uint32_t createDisposition)
    : CMultiPhysicalByteArray(std::move(basePath), segmentSize),
      desiredAccess_(desiredAccess),
      shareMode_(shareMode),
      flagsAndAttributes_(flagsAndAttributes),
      createDisposition_(createDisposition) {}

CMultiFileArray::~CMultiFileArray() {
  // Files are closed before they are deleted; some platforms insist.
  ReleaseSegments();
  if (removeOnDestroy_) DeleteSegmentFiles();
}

// Every operation holds the lock throughout. It is recursive because the base
// calls back into the virtual GetSize and SetSize of this class.

QssResult CMultiFileArray::Flush() {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::Flush();
}

QssResult CMultiFileArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::ReadAt(offset, buffer, count, bytesRead);
}

QssResult CMultiFileArray::ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::ReadPieces(pieces, count, bytesRead);
}

QssResult CMultiFileArray::CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source,
                                          std::int64_t sourceOffset, std::uint32_t* bytesMoved, bool* refused) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::CopyFromHandle(offset, count, source, sourceOffset, bytesMoved, refused);
}

QssResult CMultiFileArray::CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target,
                                        std::uint32_t* bytesMoved, bool* refused) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::CopyToHandle(offset, count, target, bytesMoved, refused);
}

QssResult CMultiFileArray::CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                                              std::uint32_t* bytesMoved, bool* refused) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::CopyPiecesToHandle(pieces, count, target, bytesMoved, refused);
}

QssResult CMultiFileArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                                   std::uint32_t* bytesWritten) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::WriteAt(offset, buffer, count, bytesWritten);
}

QssResult CMultiFileArray::GetSize(std::int64_t* size) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::GetSize(size);
}

QssResult CMultiFileArray::SetSize(std::int64_t size) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::SetSize(size);
}

QssResult CMultiFileArray::SetTimestamp(FileTime time) {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::SetTimestamp(time);
}

QssResult CMultiFileArray::Remove() {
  CLockGuard guard(lock_);
  removeOnDestroy_ = true;
  return kQssOk;
}

QssResult CMultiFileArray::Create() {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::Create();
}

QssResult CMultiFileArray::Open() {
  CLockGuard guard(lock_);
  return CMultiPhysicalByteArray::Open();
}

QssResult CMultiFileArray::OpenFile(const std::filesystem::path& name, std::uint32_t disposition,
                                    CPhysicalByteArray** segment) {
  if (segment == nullptr) return kQssInvalidPointer;
  std::unique_ptr<NativeFile> file;
  const QssResult result =
      NativeFile::Open(name, desiredAccess_, shareMode_, disposition, flagsAndAttributes_, &file);
  if (QssFailed(result)) return result;
  *segment = new CFileArray(std::move(file));
  return kQssOk;
}

QssResult CMultiFileArray::CreateSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) {
  removeOnDestroy_ = false;
  return OpenFile(name, createDisposition_, segment);
}

QssResult CMultiFileArray::OpenSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) {
  return OpenFile(name, native_file::kOpenExisting, segment);
}

QssResult CMultiFileArray::DeleteSegment(const std::filesystem::path& name) { return NativeFile::Delete(name); }

QssResult CMultiFileArray::QuerySegmentLength(const std::filesystem::path& name, std::int64_t* length) {
  if (length == nullptr) return kQssInvalidPointer;
  if (QssFailed(NativeFile::QueryLength(name, length))) return kQssUnspecifiedFailure;
  return kQssOk;
}

}  // namespace qss

// CMultiFileArray: a segmented byte array whose segments are files named
// after a base path (see CMultiPhysicalByteArray), one CFileArray each.
//
// The data operations run under the array's recursive lock, so one array can
// be shared between threads. Remove only marks the files: they are deleted
// when the array is destroyed, after they are closed, unless a segment is
// created in between.

#ifndef STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIFILEARRAY_H_
#define STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIFILEARRAY_H_

#include <cstdint>
#include <filesystem>

#include "qss/CLock.h"
#include "ByteArrays/CMultiPhysicalByteArray.h"
#include "qss/NativeFile.h"

namespace qss {

class CMultiFileArray : public CMultiPhysicalByteArray {
 public:
  // desiredAccess, shareMode and flagsAndAttributes are the native_file
  // values every segment file is opened with. createDisposition is how a
  // new segment file is made: native_file::kCreateAlways truncates a file
  // of that name, native_file::kCreateNew refuses to (for a writer that
  // must never write through a name it did not create).
  CMultiFileArray(std::filesystem::path basePath, std::uint32_t desiredAccess, std::uint32_t shareMode,
                  std::uint32_t flagsAndAttributes, std::int64_t segmentSize = kDefaultSegmentSize,
                  std::uint32_t createDisposition = native_file::kCreateAlways);
  ~CMultiFileArray() override;

  QssResult Flush() override;
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  QssResult ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) override;
  QssResult CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target, std::uint32_t* bytesMoved,
                         bool* refused) override;
  QssResult CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source, std::int64_t sourceOffset,
                           std::uint32_t* bytesMoved, bool* refused) override;
  QssResult CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                               std::uint32_t* bytesMoved, bool* refused) override;
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  QssResult GetSize(std::int64_t* size) override;
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(FileTime time) override;
  // Marks the segment files for deletion when the array is destroyed.
  QssResult Remove() override;
  QssResult Create() override;
  QssResult Open() override;

 protected:
  // Creating a segment cancels an earlier Remove.
  QssResult CreateSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) override;
  QssResult OpenSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) override;
  QssResult DeleteSegment(const std::filesystem::path& name) override;
  // kQssUnspecifiedFailure when the file cannot be measured.
  QssResult QuerySegmentLength(const std::filesystem::path& name, std::int64_t* length) override;

 private:
  QssResult OpenFile(const std::filesystem::path& name, std::uint32_t disposition, CPhysicalByteArray** segment);

  std::uint32_t desiredAccess_;
  std::uint32_t shareMode_;
  std::uint32_t flagsAndAttributes_;
  std::uint32_t createDisposition_;
  bool removeOnDestroy_ = false;
  CLock lock_;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIFILEARRAY_H_

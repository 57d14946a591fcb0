// CFileArray: a byte array that is one open file.
//
// It is the segment of a CMultiFileArray, which creates it from a file it has
// just opened and serialises every call with its own lock; CFileArray itself
// has no lock. The array owns the file and closes it when it is destroyed.
// The file's size is remembered between calls and asked again after
// anything that may have changed it.

#ifndef STRUCTUREDSTORAGE_BYTEARRAYS_CFILEARRAY_H_
#define STRUCTUREDSTORAGE_BYTEARRAYS_CFILEARRAY_H_

#include <cstdint>
#include <memory>

#include "qss/CPhysicalByteArray.h"
#include "qss/NativeFile.h"

namespace qss {

class CFileArray : public CPhysicalByteArray {
 public:
  explicit CFileArray(std::unique_ptr<NativeFile> file);
  // Applies the time of SetTimestamp once more, so that writes made after it
  // leave no newer time on the file, then closes the file.
  ~CFileArray() override;

  QssResult Flush() override;
  // A read that starts at or beyond the end fails with kQssInvalidArgument; a
  // read that runs past the end stops there.
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  // The same limits as ReadAt, piece by piece; the pieces within them go to
  // the file together.
  QssResult ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) override;
  // Stops at the end of the file, as ReadAt does.
  QssResult CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target, std::uint32_t* bytesMoved,
                         bool* refused) override;
  // Only inside the file as it is (the store's blocks are allocated first).
  QssResult CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source, std::int64_t sourceOffset,
                           std::uint32_t* bytesMoved, bool* refused) override;
  QssResult CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                               std::uint32_t* bytesMoved, bool* refused) override;
  // A write that starts beyond the end first grows the file to its offset
  // (even a write of 0 bytes), so the gap belongs to the file.
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  QssResult GetSize(std::int64_t* size) override;
  QssResult SetSize(std::int64_t size) override;
  // Stamps the file now and again at close; 0 stamps nothing, now or later.
  QssResult SetTimestamp(FileTime time) override;
  // A single file is not deleted: does nothing.
  QssResult Remove() override { return kQssOk; }

 private:
  static constexpr std::int64_t kUnknownSize = -1;

  // The checks of a read from offset: it must start inside the file, whose
  // end limits it to *wanted of the count bytes asked for.
  QssResult LimitToEnd(std::int64_t offset, std::uint32_t count, std::uint32_t* wanted);

  std::int64_t cachedSize_ = kUnknownSize;
  std::unique_ptr<NativeFile> file_;
  FileTime fileTime_ = 0;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_BYTEARRAYS_CFILEARRAY_H_

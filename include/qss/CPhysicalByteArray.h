#ifndef QSS_CPHYSICALBYTEARRAY_H_
#define QSS_CPHYSICALBYTEARRAY_H_

#include <cstddef>
#include <cstdint>

#include "qss/Export.h"
#include "qss/CQssRefCountedObject.h"
#include "qss/ResultCodes.h"
#include "qss/FileTime.h"

namespace qss {

/// One piece of a scattered read: length bytes at offset into buffer.
struct ReadPiece {
  /// Where the piece starts in the byte array.
  std::int64_t offset = 0;
  /// Where its bytes go; the caller owns it.
  void* buffer = nullptr;
  /// Bytes of the piece.
  std::uint32_t length = 0;
};

/// Reads pieces one after the other through readAt(offset, buffer, length,
/// &got), the way a store without a better one serves ReadPieces: *done
/// counts from the first piece on and ends with the first piece cut short
/// (its bytes included) or failed, whose result is returned.
template <typename ReadAt>
QssResult ReadPiecesInTurn(const ReadPiece* pieces, std::size_t count, std::uint32_t* done, ReadAt readAt) {
  if (done) *done = 0;
  std::uint32_t total = 0;
  QssResult result = kQssOk;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t got = 0;
    result = readAt(pieces[i].offset, pieces[i].buffer, pieces[i].length, &got);
    total += got;
    if (QssFailed(result) || got < pieces[i].length) break;
  }
  if (done) *done = total;
  return result;
}

/// CPhysicalByteArray: the flat, 64-bit-addressed store under a container.
///
/// A container never touches a file directly; it reads and writes one of
/// these. Offsets and sizes are signed 64-bit; a single transfer counts fewer
/// than 2^31 bytes. bytesRead / bytesWritten may be null; when given they are
/// set to 0 first and receive the bytes actually transferred, also on failure.
///
/// Threads: the library's byte arrays serialise every call under a lock of
/// their own, so one array may be shared by several threads (and by the
/// containers laid on it).
class QSS_EXPORT CPhysicalByteArray : public CQssRefCountedObject {
 public:
  /// Makes what was written durable on the device (nothing to do in memory).
  virtual QssResult Flush() = 0;
  /// Reads up to count bytes at offset into buffer; fewer at the end of the
  /// array.
  virtual QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) = 0;
  /// Writes count bytes at offset, growing the array when the write runs
  /// past its end; a write that stores fewer bytes is a failure.
  virtual QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                            std::uint32_t* bytesWritten) = 0;
  /// The array's length in bytes.
  virtual QssResult GetSize(std::int64_t* size) = 0;
  /// Truncates or extends the array to exactly size bytes.
  virtual QssResult SetSize(std::int64_t size) = 0;
  /// Stamps the backing store's times; 0 means no time.
  virtual QssResult SetTimestamp(FileTime time) = 0;
  /// Removes the backing store where that makes sense (segment files).
  virtual QssResult Remove() = 0;

  // Added after the original slots, which stay in their order.

  /// Reads the pieces as ReadAt would one after the other, where the store
  /// can in fewer requests. *bytesRead counts from the first piece on and
  /// ends with the first piece cut short (its bytes included) or failed.
  virtual QssResult ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) {
    return ReadPiecesInTurn(pieces, count, bytesRead,
                            [this](std::int64_t offset, void* buffer, std::uint32_t length, std::uint32_t* got) {
                              return ReadAt(offset, buffer, length, got);
                            });
  }
  /// Moves count bytes at offset to target, the descriptor (POSIX) or HANDLE
  /// (Windows) of a file open for writing, at that file's current position,
  /// without passing them through this process where the store can.
  /// *refused is set when it cannot (the default): nothing more has moved,
  /// and the caller copies the rest itself.
  virtual QssResult CopyToHandle(std::int64_t /*offset*/, std::uint32_t /*count*/, std::intptr_t /*target*/,
                                 std::uint32_t* bytesMoved, bool* refused) {
    if (bytesMoved) *bytesMoved = 0;
    if (refused) *refused = true;
    return kQssOk;
  }
  /// The other way: count bytes of source (a descriptor or HANDLE open for
  /// reading), from sourceOffset on, written at offset inside the store
  /// without passing through this process. The range must lie inside the
  /// store already. *bytesMoved falls short of count when source ends;
  /// *refused as for CopyToHandle.
  virtual QssResult CopyFromHandle(std::int64_t /*offset*/, std::uint32_t /*count*/, std::intptr_t /*source*/,
                                   std::int64_t /*sourceOffset*/, std::uint32_t* bytesMoved, bool* refused) {
    if (bytesMoved) *bytesMoved = 0;
    if (refused) *refused = true;
    return kQssOk;
  }
  /// Moves the pieces' bytes (their buffers are not used), one after the
  /// other, to target as CopyToHandle moves one range, in fewer requests
  /// than one per piece where the store can. *bytesMoved counts from the
  /// first piece on. *refused as for CopyToHandle, also when a piece lies
  /// past the end of the store: the caller moves the rest, from where
  /// *bytesMoved ends, itself.
  virtual QssResult CopyPiecesToHandle(const ReadPiece* /*pieces*/, std::size_t /*count*/, std::intptr_t /*target*/,
                                       std::uint32_t* bytesMoved, bool* refused) {
    if (bytesMoved) *bytesMoved = 0;
    if (refused) *refused = true;
    return kQssOk;
  }
};

}  // namespace qss

#endif  // QSS_CPHYSICALBYTEARRAY_H_

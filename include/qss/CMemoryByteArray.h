#ifndef QSS_CMEMORYBYTEARRAY_H_
#define QSS_CMEMORYBYTEARRAY_H_

#include <cstdint>
#include <vector>

#include "qss/Export.h"
#include "qss/CLock.h"
#include "qss/CPhysicalByteArray.h"

namespace qss {

/// CMemoryByteArray: a byte array held in memory.
///
/// Behaves like a single file (a read at or beyond the end fails with
/// kQssInvalidArgument, a write past the end grows the array). Tools and tests
/// use it to build and inspect containers without touching the disk.
class QSS_EXPORT CMemoryByteArray : public CPhysicalByteArray {
 public:
  CMemoryByteArray() = default;
  /// An array holding bytes.
  explicit CMemoryByteArray(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  /// Nothing to make durable: kQssOk.
  QssResult Flush() override { return kQssOk; }
  /// See CPhysicalByteArray::ReadAt; a read at or beyond the end is
  /// kQssInvalidArgument.
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  /// See CPhysicalByteArray::WriteAt.
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  /// See CPhysicalByteArray::GetSize.
  QssResult GetSize(std::int64_t* size) override;
  /// See CPhysicalByteArray::SetSize; new bytes are zero.
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(FileTime) override { return kQssOk; }
  QssResult Remove() override { return kQssOk; }

  /// A copy of the contents, for inspection.
  std::vector<std::uint8_t> Bytes();

 private:
  CLock lock_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace qss

#endif  // QSS_CMEMORYBYTEARRAY_H_

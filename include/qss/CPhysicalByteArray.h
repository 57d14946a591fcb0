// CPhysicalByteArray: the flat, 64-bit-addressed store under a container.
//
// A container never touches a file directly; it reads and writes one of
// these. Offsets and sizes are signed 64-bit; a single transfer counts fewer
// than 2^31 bytes. bytesRead / bytesWritten may be null; when given they are
// set to 0 first and receive the bytes actually transferred, also on failure.

#ifndef QSS_CPHYSICALBYTEARRAY_H_
#define QSS_CPHYSICALBYTEARRAY_H_

#include <cstdint>

#include "qss/Export.h"
#include "qss/CQssRefCountedObject.h"
#include "qss/ResultCodes.h"
#include "qss/FileTime.h"

namespace qss {

class QSS_EXPORT CPhysicalByteArray : public CQssRefCountedObject {
 public:
  virtual QssResult Flush() = 0;
  virtual QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) = 0;
  virtual QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                            std::uint32_t* bytesWritten) = 0;
  virtual QssResult GetSize(std::int64_t* size) = 0;
  virtual QssResult SetSize(std::int64_t size) = 0;
  // Stamps the backing store's times; 0 means no time.
  virtual QssResult SetTimestamp(FileTime time) = 0;
  // Removes the backing store where that makes sense (segment files).
  virtual QssResult Remove() = 0;
};

}  // namespace qss

#endif  // QSS_CPHYSICALBYTEARRAY_H_

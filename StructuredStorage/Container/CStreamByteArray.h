// CStreamByteArray: a byte array that is the content of a stream.
//
// Byte p of the array is byte p of the stream. A nested container is opened
// by laying one of these on a stream of its parent and building a
// CRootStorage on it.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CSTREAMBYTEARRAY_H_
#define STRUCTUREDSTORAGE_CONTAINER_CSTREAMBYTEARRAY_H_

#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"

namespace qss {

class CStream;

class CStreamByteArray : public CPhysicalByteArray {
 public:
  // Takes one reference to stream for the life of the array.
  explicit CStreamByteArray(CStream* stream);
  ~CStreamByteArray() override;

  QssResult Flush() override { return kQssOk; }
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  QssResult GetSize(std::int64_t* size) override;
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(FileTime) override { return kQssOk; }
  QssResult Remove() override { return kQssOk; }

 private:
  CQssRef<CStream> stream_;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_CONTAINER_CSTREAMBYTEARRAY_H_

#include "CountingByteArray.h"

namespace qss {

QssResult CountingByteArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count,
                                    std::uint32_t* bytesRead) {
  reads.push_back({offset, count});
  if (failReads != kQssOk) {
    if (bytesRead) *bytesRead = 0;
    return failReads;
  }
  return CMemoryByteArray::ReadAt(offset, buffer, count, bytesRead);
}

QssResult CountingByteArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                                     std::uint32_t* bytesWritten) {
  writes.push_back({offset, count});
  if (failWrites != kQssOk) {
    if (bytesWritten) *bytesWritten = 0;
    return failWrites;
  }
  return CMemoryByteArray::WriteAt(offset, buffer, count, bytesWritten);
}

QssResult CountingByteArray::SetSize(std::int64_t size) {
  sizes.push_back(size);
  return CMemoryByteArray::SetSize(size);
}

}  // namespace qss

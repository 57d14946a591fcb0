// CountingByteArray: an in-memory byte array that records every transfer.
//
// Tests use it to see how many reads and writes the container makes and
// where, and to make writes fail at or beyond a chosen offset.

#ifndef STRUCTUREDSTORAGE_TESTING_COUNTINGBYTEARRAY_H_
#define STRUCTUREDSTORAGE_TESTING_COUNTINGBYTEARRAY_H_

#include <cstdint>
#include <limits>
#include <vector>

#include "ByteArrays/CMemoryByteArray.h"

class CountingByteArray : public CMemoryByteArray {
 public:
  struct Transfer {
    std::int64_t offset;
    std::uint32_t count;
    bool operator==(const Transfer&) const = default;
  };

  using CMemoryByteArray::CMemoryByteArray;

  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override {
    reads.push_back({offset, count});
    return CMemoryByteArray::ReadAt(offset, buffer, count, bytesRead);
  }

  // A write that would reach writeLimit or beyond fails and writes nothing.
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override {
    writes.push_back({offset, count});
    if (offset + static_cast<std::int64_t>(count) > writeLimit) {
      if (bytesWritten) *bytesWritten = 0;
      return kQssInvalidArgument;
    }
    return CMemoryByteArray::WriteAt(offset, buffer, count, bytesWritten);
  }

  void ClearCounts() {
    reads.clear();
    writes.clear();
  }

  std::vector<Transfer> reads;
  std::vector<Transfer> writes;
  std::int64_t writeLimit = std::numeric_limits<std::int64_t>::max();
};

#endif  // STRUCTUREDSTORAGE_TESTING_COUNTINGBYTEARRAY_H_

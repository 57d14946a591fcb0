// CountingByteArray: an in-memory byte array that records its transfers.
//
// Tests use it to check how many ReadAt / WriteAt calls an operation makes
// and where, and to make transfers fail on demand.

#ifndef STRUCTUREDSTORAGE_TESTING_COUNTINGBYTEARRAY_H_
#define STRUCTUREDSTORAGE_TESTING_COUNTINGBYTEARRAY_H_

#include <cstdint>
#include <vector>

#include "qss/CMemoryByteArray.h"

namespace qss {

class CountingByteArray : public CMemoryByteArray {
 public:
  struct Transfer {
    std::int64_t offset;
    std::uint32_t count;
    bool operator==(const Transfer&) const = default;
  };

  CountingByteArray() = default;
  explicit CountingByteArray(std::vector<std::uint8_t> bytes) : CMemoryByteArray(std::move(bytes)) {}

  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  QssResult SetSize(std::int64_t size) override;

  void ClearLog() {
    reads.clear();
    writes.clear();
    sizes.clear();
  }

  std::vector<Transfer> reads;
  std::vector<Transfer> writes;
  std::vector<std::int64_t> sizes;  // every SetSize asked for
  // When set, every ReadAt / WriteAt fails with this code and moves nothing.
  QssResult failReads = kQssOk;
  QssResult failWrites = kQssOk;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_TESTING_COUNTINGBYTEARRAY_H_

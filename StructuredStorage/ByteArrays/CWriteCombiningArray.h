// CWriteCombiningArray: a byte array that gathers small writes before they
// reach the array beneath it.
//
// A new container of many small streams costs a write and a growth of the
// file per stream. Here writes shorter than kGatherBelow collect in one
// buffer while each starts where the last ended, or further on past every
// byte written so far (the gap is filled with the zeros it holds anyway).
// A growth by SetSize is only remembered. Both reach the inner array in one
// growth and one write, before any call that could look at them (a read, a
// copy, Flush, a shrink): every caller sees the bytes it would see without
// this array.
//
// The price is when a failure shows. A gathered write that fails is
// reported by the call that sent it on, usually Flush, not by the WriteAt
// that handed over its bytes; from then on every call fails with the same
// result, since bytes reported as written are lost. What was never sent on
// when the array is destroyed is lost as well. That suits a file built whole,
// then flushed and checked before anyone relies on it (CContainerFileWriter's
// temporaries); a container edited in place must not sit on one.
//
// It must be the inner array's only user. Calls are serialised by its own
// lock.

#ifndef STRUCTUREDSTORAGE_BYTEARRAYS_CWRITECOMBININGARRAY_H_
#define STRUCTUREDSTORAGE_BYTEARRAYS_CWRITECOMBININGARRAY_H_

#include <cstdint>

#include "qss/AlignedBuffer.h"
#include "qss/CLock.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"

namespace qss {

class CWriteCombiningArray final : public CPhysicalByteArray {
 public:
  static constexpr std::uint32_t kBufferBytes = 1 << 20;
  // Longer writes go straight on, after what was gathered before them.
  static constexpr std::uint32_t kGatherBelow = 64 << 10;

  // Takes one reference to inner for the life of this array.
  explicit CWriteCombiningArray(CPhysicalByteArray* inner);
  ~CWriteCombiningArray() override;

  // Sends on what was gathered, then flushes the inner array.
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
  // The size callers made, remembered growth included.
  QssResult GetSize(std::int64_t* size) override;
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(FileTime time) override;
  QssResult Remove() override;

 private:
  static constexpr std::int64_t kUnknown = -1;

  // Learns the inner array's size once.
  QssResult Measure();
  // Whether count bytes at offset can join the gathered ones.
  bool Joins(std::int64_t offset, std::uint32_t count) const;
  // Grows the inner array to the remembered size, then writes the gathered
  // bytes. The first failure sticks.
  QssResult SendOn();
  // The copies' start: nothing moved or refused yet, then SendOn.
  QssResult SendOnBeforeCopy(std::uint32_t* bytesMoved, bool* refused);

  CLock lock_;
  CQssRef<CPhysicalByteArray> inner_;
  AlignedBuffer buffer_;
  std::int64_t bufferOffset_ = 0;
  std::uint32_t buffered_ = 0;
  std::int64_t innerSize_ = kUnknown;  // as this array last left it
  std::int64_t size_ = kUnknown;       // as callers see it
  // Past this the inner array holds only zeros, or nothing yet: no byte
  // beyond it was ever written.
  std::int64_t writtenEnd_ = kUnknown;
  QssResult broken_ = kQssOk;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_BYTEARRAYS_CWRITECOMBININGARRAY_H_

// CFailingByteArray: a byte array that fails chosen calls, for tests.
//
// It forwards every operation to an inner byte array and counts the calls of
// ReadAt, WriteAt, SetSize and Flush separately. A plan per operation says
// which calls fail: only the n-th (counted from 1 since the plan was armed),
// or every call from the n-th on. A failing call transfers nothing, leaves
// the inner array as it was, reports 0 bytes and returns the chosen code; so
// the failure looks like a storage device that refused the request.
//
// A write can also be cut short instead: only the first half of its bytes
// (rounded down, so possibly none) reach the inner array, that count is
// reported, and the call returns the chosen code. With kQssOk that is a
// device that accepted less than it was given and said nothing more, which
// only a caller that compares the count notices.

#ifndef STRUCTUREDSTORAGE_TESTING_CFAILINGBYTEARRAY_H_
#define STRUCTUREDSTORAGE_TESTING_CFAILINGBYTEARRAY_H_

#include <atomic>
#include <cstdint>

#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"

namespace qss {

class CFailingByteArray : public CPhysicalByteArray {
 public:
  enum class Operation { kRead = 0, kWrite = 1, kSetSize = 2, kFlush = 3 };
  static constexpr int kOperationCount = 4;

  // An input/output error of the platform.
  static constexpr QssResult kDefaultFailure = QssResultFromSystemError(5);

  // Takes one reference to inner for the life of this array.
  explicit CFailingByteArray(CPhysicalByteArray* inner);
  ~CFailingByteArray() override;

  // Fails only the n-th call of op from now on (n >= 1); restarts the count.
  void FailNth(Operation op, std::int64_t n, QssResult code = kDefaultFailure);
  // Fails every call of op from the n-th on (n >= 1); restarts the count.
  void FailFrom(Operation op, std::int64_t n, QssResult code = kDefaultFailure);
  // Cuts only the n-th write from now on short (n >= 1; restarts the count of
  // writes): half of it is transferred and counted, then code is returned.
  void CutShortNth(std::int64_t n, QssResult code = kQssOk);
  // Forgets every plan; counts go on.
  void Heal();

  // Calls of op since its plan was last armed (or since construction).
  std::int64_t Calls(Operation op) const;
  // Calls that were made to fail, over all operations, since construction.
  std::int64_t Failures() const { return failures_.load(); }

  CPhysicalByteArray* inner() const { return inner_.get(); }

  QssResult Flush() override;
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  QssResult GetSize(std::int64_t* size) override;
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(FileTime time) override;
  QssResult Remove() override;

 private:
  struct Plan {
    std::atomic<std::int64_t> calls{0};
    std::atomic<std::int64_t> failAt{0};  // 0: no failure planned
    std::atomic<bool> onwards{false};
    std::atomic<bool> cutShort{false};  // a failing write transfers half first
    std::atomic<QssResult> code{kDefaultFailure};
  };

  void Arm(Operation op, std::int64_t n, bool onwards, bool cutShort, QssResult code);
  // Counts one call of op and tells whether it must fail (and with what).
  bool ShouldFail(Operation op, QssResult* code);

  CQssRef<CPhysicalByteArray> inner_;
  Plan plans_[kOperationCount];
  std::atomic<std::int64_t> failures_{0};
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_TESTING_CFAILINGBYTEARRAY_H_

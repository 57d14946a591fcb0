// CQssRefCountedObject: the base of every shared object of the library.
//
// An object lives as long as it has holders. Each holder calls AddRef when it
// stores a pointer and Release when it gives it up. The last Release runs
// FinalRelease once and then destroys the object. New objects start with no
// holder (count 0): whoever hands an object out says whether it already
// carries a reference for the receiver.

#ifndef QSS_CQSSREFCOUNTEDOBJECT_H_
#define QSS_CQSSREFCOUNTEDOBJECT_H_

#include "qss/Export.h"

#include <atomic>
#include <cstdint>

namespace qss {

class QSS_EXPORT CQssRefCountedObject {
 public:
  CQssRefCountedObject() = default;
  CQssRefCountedObject(const CQssRefCountedObject&) = delete;
  CQssRefCountedObject& operator=(const CQssRefCountedObject&) = delete;
  virtual ~CQssRefCountedObject() = default;

  // Runs exactly once, when the last reference goes, before the destructor.
  virtual void FinalRelease() {}

  void AddRef() { referenceCount_.fetch_add(1, std::memory_order_acq_rel); }

  void Release() {
    if (referenceCount_.fetch_sub(1, std::memory_order_acq_rel) - 1 != 0) return;
    // Nobody else holds the object now. Parking the count at 100 lets the
    // teardown take and drop references to this object without bringing the
    // count to zero a second time.
    referenceCount_.store(kTeardownCount, std::memory_order_relaxed);
    FinalRelease();
    delete this;
  }

  std::int32_t ReferenceCount() const { return referenceCount_.load(std::memory_order_acquire); }

  static constexpr std::int32_t kTeardownCount = 100;

 private:
  std::atomic<std::int32_t> referenceCount_{0};
};

}  // namespace qss

#endif  // QSS_CQSSREFCOUNTEDOBJECT_H_

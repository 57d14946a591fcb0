#ifndef QSS_CQSSREFCOUNTEDOBJECT_H_
#define QSS_CQSSREFCOUNTEDOBJECT_H_

#include "qss/Export.h"

#include <atomic>
#include <cstdint>

namespace qss {

/// CQssRefCountedObject: the base of every shared object of the library.
///
/// An object lives as long as it has holders. Each holder calls AddRef when it
/// stores a pointer and Release when it gives it up. The last Release runs
/// FinalRelease once and then destroys the object. New objects start with no
/// holder (count 0): whoever hands an object out says whether it already
/// carries a reference for the receiver. Hold references with CQssRef
/// rather than pairing AddRef and Release by hand.
///
/// Threads: AddRef and Release may be called from any thread.
class QSS_EXPORT CQssRefCountedObject {
 public:
  CQssRefCountedObject() = default;
  CQssRefCountedObject(const CQssRefCountedObject&) = delete;
  CQssRefCountedObject& operator=(const CQssRefCountedObject&) = delete;
  virtual ~CQssRefCountedObject() = default;

  /// Runs exactly once, when the last reference goes, before the destructor.
  virtual void FinalRelease() {}

  /// Adds one holder.
  void AddRef() { referenceCount_.fetch_add(1, std::memory_order_acq_rel); }

  /// Drops one holder; the last runs FinalRelease and destroys the object.
  void Release() {
    if (referenceCount_.fetch_sub(1, std::memory_order_acq_rel) - 1 != 0) return;
    // Nobody else holds the object now. Parking the count at 100 lets the
    // teardown take and drop references to this object without bringing the
    // count to zero a second time.
    referenceCount_.store(kTeardownCount, std::memory_order_relaxed);
    FinalRelease();
    delete this;
  }

  /// The number of holders now (kTeardownCount and more during teardown),
  /// for tests and diagnostics.
  std::int32_t ReferenceCount() const { return referenceCount_.load(std::memory_order_acquire); }

  /// The count an object is given while it is torn down.
  static constexpr std::int32_t kTeardownCount = 100;

 private:
  std::atomic<std::int32_t> referenceCount_{0};
};

}  // namespace qss

#endif  // QSS_CQSSREFCOUNTEDOBJECT_H_

#ifndef QSS_CLOCKGUARD_H_
#define QSS_CLOCKGUARD_H_

#include "qss/CLock.h"

namespace qss {

/// Holds a CLockBase for the length of a scope: unlocks on every exit from
/// the scope, including an exception. A caller that must keep several calls
/// of one object together (a Seek and the Reads after it, on a stream other
/// threads share) holds the object's lock() with it; the object's own calls
/// take the same recursive lock again.
class CLockGuard {
 public:
  /// Takes lock, waiting as long as another thread holds it.
  explicit CLockGuard(CLockBase& lock) : lock_(&lock) { lock_->Lock(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;
  /// Gives the lock back.
  ~CLockGuard() {
    lock_->Unlock();
    lock_ = nullptr;
  }

 private:
  CLockBase* lock_;
};

}  // namespace qss

#endif  // QSS_CLOCKGUARD_H_

// CLockGuard: holds a CLockBase for the length of a scope.
//
// Unlocks on every exit from the scope, including an exception.

#ifndef STRUCTUREDSTORAGE_BASE_CLOCKGUARD_H_
#define STRUCTUREDSTORAGE_BASE_CLOCKGUARD_H_

#include "qss/CLock.h"

namespace qss {

class CLockGuard {
 public:
  explicit CLockGuard(CLockBase& lock) : lock_(&lock) { lock_->Lock(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;
  ~CLockGuard() {
    lock_->Unlock();
    lock_ = nullptr;
  }

 private:
  CLockBase* lock_;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_BASE_CLOCKGUARD_H_

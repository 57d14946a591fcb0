// NativeRecursiveLock: the operating system's recursive mutual-exclusion lock
// (a critical section on Windows, a recursive pthread mutex elsewhere).
//
// Its storage is held inline and opaque so that no platform header leaks
// into the library's headers.

#ifndef QSS_NATIVELOCK_H_
#define QSS_NATIVELOCK_H_

#include <cstddef>

#include "qss/Export.h"

namespace qss {

class QSS_EXPORT NativeRecursiveLock {
 public:
  NativeRecursiveLock();
  ~NativeRecursiveLock();
  NativeRecursiveLock(const NativeRecursiveLock&) = delete;
  NativeRecursiveLock& operator=(const NativeRecursiveLock&) = delete;

  void Lock();
  void Unlock();

  static constexpr std::size_t kStorageSize = 64;

 private:
  alignas(16) unsigned char storage_[kStorageSize];
};

}  // namespace qss

#endif  // QSS_NATIVELOCK_H_

#ifndef QSS_NATIVELOCK_H_
#define QSS_NATIVELOCK_H_

#include <cstddef>

#include "qss/Export.h"

namespace qss {

/// The operating system's recursive mutual-exclusion lock (a critical
/// section on Windows, a recursive pthread mutex elsewhere).
///
/// Its storage is held inline and opaque so that no platform header leaks
/// into the library's headers.
class QSS_EXPORT NativeRecursiveLock {
 public:
  NativeRecursiveLock();
  ~NativeRecursiveLock();
  NativeRecursiveLock(const NativeRecursiveLock&) = delete;
  NativeRecursiveLock& operator=(const NativeRecursiveLock&) = delete;

  /// Waits until the calling thread holds the lock; the holder may take it
  /// again.
  void Lock();
  /// Gives back one Lock of the calling thread.
  void Unlock();

  /// Bytes reserved for the platform's lock object.
  static constexpr std::size_t kStorageSize = 64;

 private:
  alignas(16) unsigned char storage_[kStorageSize];
};

}  // namespace qss

#endif  // QSS_NATIVELOCK_H_

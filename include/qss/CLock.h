#ifndef QSS_CLOCK_H_
#define QSS_CLOCK_H_

#include "qss/NativeLock.h"

namespace qss {

/// A lock that can be taken and given back; CLock is the library's one.
class CLockBase {
 public:
  virtual ~CLockBase() = default;
  /// Waits until the calling thread holds the lock.
  virtual void Lock() = 0;
  /// Gives back one Lock of the calling thread.
  virtual void Unlock() = 0;
};

/// The recursive lock that serialises one object's operations.
///
/// A CLock is always a member of the object it protects. The thread that holds
/// it may take it again; it is free after as many Unlock calls as Lock calls.
/// The lock itself is the platform's (see NativeRecursiveLock).
class CLock final : public CLockBase {
 public:
  CLock() = default;
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  /// Waits until the calling thread holds the lock (at once when it does
  /// already).
  void Lock() override { native_.Lock(); }
  /// Gives back one Lock of the calling thread.
  void Unlock() override { native_.Unlock(); }

 private:
  NativeRecursiveLock native_;
};

}  // namespace qss

#endif  // QSS_CLOCK_H_

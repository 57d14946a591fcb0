// CLockBase, CLock: the recursive lock that serialises one object's operations.
//
// A CLock is always a member of the object it protects. The thread that holds
// it may take it again; it is free after as many Unlock calls as Lock calls.
// The lock itself is the platform's (see Platform/NativeLock.h).

#ifndef QSS_CLOCK_H_
#define QSS_CLOCK_H_

#include "qss/NativeLock.h"

namespace qss {

class CLockBase {
 public:
  virtual ~CLockBase() = default;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

class CLock final : public CLockBase {
 public:
  CLock() = default;
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void Lock() override { native_.Lock(); }
  void Unlock() override { native_.Unlock(); }

 private:
  NativeRecursiveLock native_;
};

}  // namespace qss

#endif  // QSS_CLOCK_H_

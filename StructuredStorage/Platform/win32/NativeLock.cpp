#include "qss/NativeLock.h"

#include <windows.h>

#include <new>

namespace qss {

namespace {
CRITICAL_SECTION* AsCriticalSection(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

static_assert(sizeof(CRITICAL_SECTION) <= NativeRecursiveLock::kStorageSize);
static_assert(alignof(CRITICAL_SECTION) <= 16);

// A critical section is recursive: the owning thread may enter it again and
// it is free after as many leaves as enters.
NativeRecursiveLock::NativeRecursiveLock() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }

NativeRecursiveLock::~NativeRecursiveLock() { DeleteCriticalSection(AsCriticalSection(storage_)); }

void NativeRecursiveLock::Lock() { EnterCriticalSection(AsCriticalSection(storage_)); }

void NativeRecursiveLock::Unlock() { LeaveCriticalSection(AsCriticalSection(storage_)); }

}  // namespace qss

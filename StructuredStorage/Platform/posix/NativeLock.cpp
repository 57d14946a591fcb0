#include "qss/NativeLock.h"

#include <pthread.h>

#include <new>

namespace qss {

namespace {
pthread_mutex_t* AsMutex(unsigned char* storage) { return std::launder(reinterpret_cast<pthread_mutex_t*>(storage)); }
}  // namespace

static_assert(sizeof(pthread_mutex_t) <= NativeRecursiveLock::kStorageSize);
static_assert(alignof(pthread_mutex_t) <= 16);

NativeRecursiveLock::NativeRecursiveLock() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (storage_) pthread_mutex_t, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

NativeRecursiveLock::~NativeRecursiveLock() { pthread_mutex_destroy(AsMutex(storage_)); }

void NativeRecursiveLock::Lock() { pthread_mutex_lock(AsMutex(storage_)); }

void NativeRecursiveLock::Unlock() { pthread_mutex_unlock(AsMutex(storage_)); }

}  // namespace qss

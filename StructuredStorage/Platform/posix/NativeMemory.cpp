#include "Platform/NativeMemory.h"

#include <sys/mman.h>

namespace qss::native_memory {

void AdviseHugePages(void* start, std::size_t length) {
#if defined(MADV_HUGEPAGE)
  static_cast<void>(::madvise(start, length, MADV_HUGEPAGE));
#else
  static_cast<void>(start);
  static_cast<void>(length);
#endif
}

bool HugePagesOnRequest() {
#if defined(MADV_HUGEPAGE)
  return true;
#else
  return false;
#endif
}

}  // namespace qss::native_memory

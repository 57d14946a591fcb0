#include "Platform/NativeMemory.h"

#include <new>

namespace qss::native_memory {

void* AllocateHugeAligned(std::size_t bytes) noexcept {
  void* start = ::operator new[](bytes, std::align_val_t{kHugePageBytes}, std::nothrow);
  if (start != nullptr) AdviseHugePages(start, bytes);
  return start;
}

void ReleaseHugeAligned(void* start) noexcept { ::operator delete[](start, std::align_val_t{kHugePageBytes}); }

}  // namespace qss::native_memory

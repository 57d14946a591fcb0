#ifndef QSS_PLATFORM_NATIVEMEMORY_H_
#define QSS_PLATFORM_NATIVEMEMORY_H_

#include <cstddef>

namespace qss::native_memory {

// Pages the system can map many at a time where it offers them on request
// (2 MiB on x86-64 Linux): a buffer of many such pages, aligned to them,
// takes one fault per page instead of one per 4 KiB.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Asks for huge pages behind [start, start + length). Only a hint: a system
// without them, or one that declines, maps small pages as always.
void AdviseHugePages(void* start, std::size_t length);

// bytes of memory aligned to a huge page and advised onto huge pages; null
// when there is not that much. Only ReleaseHugeAligned frees it.
void* AllocateHugeAligned(std::size_t bytes) noexcept;
void ReleaseHugeAligned(void* start) noexcept;

// Whether AdviseHugePages can have an effect here. Where it cannot, a
// buffer rounded up to huge pages would only waste the rounding.
bool HugePagesOnRequest();

}  // namespace qss::native_memory

#endif  // QSS_PLATFORM_NATIVEMEMORY_H_

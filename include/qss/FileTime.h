// FileTime: the time stamp a container's byte array carries.

#ifndef QSS_FILETIME_H_
#define QSS_FILETIME_H_

#include <cstdint>

namespace qss {

/// 100-nanosecond ticks since 1601-01-01 UTC (a Windows FILETIME read as one
/// 64-bit number). 0 means "no time".
using FileTime = std::uint64_t;

}  // namespace qss

#endif  // QSS_FILETIME_H_

// Segmented containers: one byte array spread over numbered files.
//
// Segment 1 is the container's own path and holds bytes 0 to segmentSize-1;
// segment n >= 2 is the path with ".F" and four digits appended
// ("package.qss.F0002") and holds the next segmentSize bytes. Only the last
// may be shorter.

#ifndef QSS_SEGMENTS_H_
#define QSS_SEGMENTS_H_

#include <cstdint>

namespace qss {

/// The size of every segment but the last when a writer asks for none.
inline constexpr std::int64_t kDefaultSegmentSize = 10000000000LL;
/// ".F" and four digits leave room for this many segments.
inline constexpr std::int32_t kMaxSegmentCount = 9999;

}  // namespace qss

#endif  // QSS_SEGMENTS_H_

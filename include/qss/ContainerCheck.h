// CheckContainer: a full consistency check of a container, independent of
// the library's own reading code.
//
// It parses the header and the allocation table from the raw bytes, walks
// every chain reachable from the directories (nested containers included),
// and reports every problem it finds as one line of text: the header, the
// table, chains that leave the table, run past the byte array, run in a
// cycle, share a block with another chain or are shorter than their sizes,
// the free list (ascending, disjoint from used blocks), names without
// terminator or repeated in a directory, and compressed images whose header
// disagrees with the entry or that do not decompress.
//
// Safe on any input: every walk is bounded, memory is bounded by the size of
// the byte array, and the array is only read.

#ifndef QSS_CONTAINERCHECK_H_
#define QSS_CONTAINERCHECK_H_

#include <cstddef>
#include <string>
#include <vector>

#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

class CPhysicalByteArray;

/// The most problem lines one check reports; a last line says how many more
/// were found.
inline constexpr std::size_t kMaxReportedProblems = 200;

/// The depth to which a check follows storages and nested containers unless
/// told otherwise; deeper ones are reported as too deep to check.
inline constexpr int kDefaultCheckDepth = 64;

/// Checks the container held by array and appends one line per problem to
/// *problems. kQssOk for a sound container (nothing appended);
/// kQssNotAContainer when problems were found; kQssInvalidArgument for a
/// null array, kQssNullResult for a null problems. Storages and nested
/// containers more than maxDepth levels down count as problems (too deep to
/// check), since the tools do not open them either.
QSS_EXPORT QssResult CheckContainer(CPhysicalByteArray* array, std::vector<std::string>* problems,
                                    int maxDepth = kDefaultCheckDepth);

/// The most threads a check uses.
inline constexpr int kMostCheckThreads = 64;

/// How a check goes about it.
struct CheckOptions {
  /// As maxDepth above.
  int maxDepth = kDefaultCheckDepth;
  /// Threads that decompress compressed images while the calling thread
  /// walks the container (at most kMostCheckThreads); 1 or less does
  /// everything on the calling thread. The report is the same either way.
  int threads = 1;
};

/// CheckContainer as above, with options. Only the calling thread reads
/// the array.
QSS_EXPORT QssResult CheckContainer(CPhysicalByteArray* array, std::vector<std::string>* problems,
                                    const CheckOptions& options);

}  // namespace qss

#endif  // QSS_CONTAINERCHECK_H_

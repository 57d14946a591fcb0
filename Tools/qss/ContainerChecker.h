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
// the byte array, and the array is only read. Fuzzers call it directly.

#ifndef TOOLS_QSS_CONTAINERCHECKER_H_
#define TOOLS_QSS_CONTAINERCHECKER_H_

#include <string>
#include <vector>

namespace qss { class CPhysicalByteArray; }

namespace qss_tool {

// Appends one line per problem to problems; none for a sound container.
void CheckContainer(qss::CPhysicalByteArray* array, std::vector<std::string>* problems);

// The most problem lines one check reports; a last line says when more were
// found.
inline constexpr std::size_t kMaxReportedProblems = 200;

}  // namespace qss_tool

#endif  // TOOLS_QSS_CONTAINERCHECKER_H_

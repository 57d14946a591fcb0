// StreamCopy: copying one container stream into a new file.
//
// The copy goes through one buffer of kCopyChunkBytes, so an executable of
// any size is copied without holding it whole in memory. A copy either
// leaves the file holding exactly the stream's content or fails: a file that
// could not be completed (a failed or short read, a read that throws, a
// failed write, a failed close) is deleted, so a truncated executable is
// never installed.
//
// This loop is the installer's own rather than the library's CopyStream, on
// purpose: it copies from position 0 and learns the length by seeking to the
// end, asks every read for a whole chunk and ends at the first shorter one
// (an exact multiple ends with a read of nothing), and writes what a failing
// read delivered before giving up. CopyStream starts at the entry's head
// offset, measures by the entry and asks only for what remains, so the same
// stream would be read in other pieces, and a stream without an entry could
// not be copied at all.

#ifndef TOOLS_ORVIKINSTALLSERVICE_STREAMCOPY_H_
#define TOOLS_ORVIKINSTALLSERVICE_STREAMCOPY_H_

#include <cstdint>
#include <string>

#include "FilePlacement.h"

namespace qss { class CStream; }

inline constexpr std::uint32_t kCopyChunkBytes = 1048576;

// Copies the stream from its start into outputPath, which is created (or
// truncated). True when the file was created and holds all the stream's
// bytes; false otherwise, and then no file of ours is left at outputPath.
bool CopyStreamToNewFile(FilePlacement& files, qss::CStream& stream, const std::u16string& outputPath);

#endif  // TOOLS_ORVIKINSTALLSERVICE_STREAMCOPY_H_

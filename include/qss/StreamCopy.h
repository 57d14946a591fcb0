// CopyStream: a stream's readable bytes, piece by piece, to a sink.
//
// The readable bytes of a stream are positions headOffset to size - 1 of its
// entry. The copy seeks to headOffset first and fails when a read fails or
// when fewer bytes arrive than the entry promises, so a damaged stream is
// never passed off as complete.

#ifndef QSS_STREAMCOPY_H_
#define QSS_STREAMCOPY_H_

#include <cstdint>
#include <functional>

#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

class CStream;

/// Takes one piece; a failure stops the copy and becomes its result.
using StreamSink = std::function<QssResult(const void* data, std::uint32_t size)>;
/// Told of every piece delivered, with its size.
using StreamCopyProgress = std::function<void(std::uint32_t size)>;

/// How CopyStream goes about a copy.
struct StreamCopyOptions {
  /// Bytes asked of the stream per read (1 MiB unless set; at least 1).
  std::uint32_t pieceSize = 1u << 20;
  /// Called after every piece delivered, when set.
  StreamCopyProgress progress;
};

/// Where a copy stopped, for messages.
struct StreamCopyReport {
  /// The step where the copy stopped.
  enum class Stage {
    kDone,           ///< every readable byte delivered
    kBadHeadOffset,  ///< the entry's head offset lies outside its size (kQssNotAContainer)
    kSeek,           ///< the seek to the head offset failed
    kRead,           ///< a read failed (the stream's own result)
    kSink,           ///< the sink refused a piece (its result)
    kEndedEarly,     ///< the stream ended before its size (kQssNotAContainer)
  };
  /// Where the copy stopped.
  Stage stage = Stage::kDone;
  /// Readable bytes the entry promises.
  std::int64_t expected = 0;
  /// Bytes delivered to the sink.
  std::int64_t copied = 0;
};

/// Copies the readable bytes of stream into sink. report, when given, says
/// where a failure happened. The stream's position moves; the caller keeps
/// its reference.
QSS_EXPORT QssResult CopyStream(CStream* stream, const StreamSink& sink, const StreamCopyOptions& options = {},
                                StreamCopyReport* report = nullptr);

/// The same copy into an open file: nativeHandle is a descriptor on POSIX, a
/// HANDLE on Windows, open for writing; the bytes go to the file's current
/// position and move it on, as write would. Where the system can (Linux,
/// between regular files), long runs of blocks move inside the kernel
/// without passing through this process, and scattered blocks are read
/// together, in pieces of at least 8 MiB; elsewhere the bytes are read and
/// written in pieces of options.pieceSize. The file
/// is neither truncated, synced nor closed. kSink means a write to the file
/// failed; what reached the file stays there.
QSS_EXPORT QssResult CopyStreamToFile(CStream* stream, std::intptr_t nativeHandle,
                                      const StreamCopyOptions& options = {}, StreamCopyReport* report = nullptr);

}  // namespace qss

#endif  // QSS_STREAMCOPY_H_

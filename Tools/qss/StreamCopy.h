// StreamCopy: reads the readable bytes of a stream in 1 MiB pieces.
//
// The readable bytes of a stream are positions headOffset to size - 1. The
// copy seeks to headOffset first and fails when a read reports a failure (a
// compressed stream's 1 included) or when fewer bytes arrive than the entry
// promises, so a damaged stream is never passed off as complete.

#ifndef TOOLS_QSS_STREAMCOPY_H_
#define TOOLS_QSS_STREAMCOPY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "qss/ResultCodes.h"

namespace qss { class CStream; }

namespace qss_tool {

class ProgressBar;

inline constexpr std::int32_t kCopyPieceSize = 1 << 20;

struct CopyOutcome {
  bool ok = true;
  // Why it failed ("read failed", "the stream ended after N of M bytes").
  std::string problem;
  bool hasResult = false;
  qss::QssResult result = qss::kQssOk;
};

// sink receives each piece and returns false when it cannot take it.
using ByteSink = std::function<bool(const char* data, std::size_t size)>;

CopyOutcome CopyStreamContent(qss::CStream* stream, const ByteSink& sink, ProgressBar* progress);

// The same into an open file (a descriptor or HANDLE) at its position, with
// the library's kernel copy where the system has one. *writeFailed is set
// when the file could not take the bytes (the outcome then says so).
CopyOutcome CopyStreamToNativeFile(qss::CStream* stream, std::intptr_t file, ProgressBar* progress,
                                   bool* writeFailed);

}  // namespace qss_tool

#endif  // TOOLS_QSS_STREAMCOPY_H_

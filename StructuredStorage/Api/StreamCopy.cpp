#include "qss/StreamCopy.h"

#include <algorithm>

#include "Container/CBlockAllocationTable.h"
#include "qss/AlignedBuffer.h"
#include "qss/NativeFile.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"

namespace qss {

namespace {

constexpr std::size_t kSmallPiece = 16384;
// Where the kernel moves a copy's bytes, a piece is at least this long: a
// scattered chain is then gathered in batches that two threads share, one
// gathering while the other writes. Between pieces the copy stops while the
// next piece is planned and its first batch gathered; on a scattered 1 GiB
// chain, pieces of 64 MiB instead of 8 take about a tenth off the time.
constexpr std::uint32_t kKernelPiece = 64u << 20;
// The buffer only holds what the kernel refuses, and the first piece is
// shorter: where the kernel refuses a copy from the start (a file system it
// cannot map or copy on), a piece that goes through the buffer touches no
// more of it than this.
constexpr std::uint32_t kFirstKernelPiece = 8u << 20;

// The part both copies share: the head offset, the pieces, the count of
// what arrived against what the entry promises. movePiece(piece, want,
// &got, &sinkFailed) moves one piece of at most want bytes.
template <typename MovePiece>
QssResult CopyInPieces(CStream* stream, const StreamCopyOptions& options, StreamCopyReport* report,
                       MovePiece movePiece) {
  StreamCopyReport local;
  StreamCopyReport& out = report != nullptr ? *report : local;
  out = StreamCopyReport{};
  if (stream == nullptr || stream->entry() == nullptr) return kQssInvalidPointer;

  const CStorageEntry* entry = stream->entry();
  const std::int64_t size = entry->Size();
  const std::int64_t head = entry->HeadOffset();
  if (head < 0 || head > size) {
    out.stage = StreamCopyReport::Stage::kBadHeadOffset;
    return kQssNotAContainer;
  }
  out.expected = size - head;
  const QssResult seek = stream->Seek(head, kSeekBegin, nullptr);
  if (QssFailed(seek)) {
    out.stage = StreamCopyReport::Stage::kSeek;
    return seek;
  }

  // Never more buffer than the content needs: a small stream of a hostile
  // container cannot make the copy allocate a whole piece.
  const std::int64_t pieceSize = std::clamp<std::int64_t>(options.pieceSize, 1, 0x40000000);
  const auto bufferSize = static_cast<std::size_t>(std::clamp<std::int64_t>(out.expected, 1, pieceSize));
  // A small stream's piece lives on the stack: unpacking many small files
  // would otherwise spend a heap allocation on each.
  alignas(64) char small[kSmallPiece];
  AlignedBuffer large(bufferSize > kSmallPiece ? bufferSize : 0);
  char* piece = bufferSize > kSmallPiece ? large.data() : small;
  while (out.copied < out.expected) {
    const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(pieceSize, out.expected - out.copied));
    std::uint32_t got = 0;
    bool sinkFailed = false;
    const QssResult result = movePiece(piece, want, &got, &sinkFailed);
    got = std::min(got, static_cast<std::uint32_t>(want));
    out.copied += got;
    if (got > 0 && options.progress) options.progress(got);
    if (sinkFailed) {
      out.stage = StreamCopyReport::Stage::kSink;
      return QssFailed(result) ? result : kQssWriteFault;
    }
    if (result != kQssOk) {
      out.stage = StreamCopyReport::Stage::kRead;
      return QssFailed(result) ? result : kQssNotAContainer;
    }
    if (got == 0) break;
  }
  if (out.copied < out.expected) {
    out.stage = StreamCopyReport::Stage::kEndedEarly;
    return kQssNotAContainer;
  }
  return kQssOk;
}

}  // namespace

QssResult CopyStream(CStream* stream, const StreamSink& sink, const StreamCopyOptions& options,
                     StreamCopyReport* report) {
  return CopyInPieces(stream, options, report,
                      [&](char* piece, std::int32_t want, std::uint32_t* got, bool* sinkFailed) {
                        std::uint32_t read = 0;
                        const QssResult result = stream->Read(piece, want, &read);
                        if (result != kQssOk || read == 0) return result;
                        read = std::min(read, static_cast<std::uint32_t>(want));
                        const QssResult taken = sink(piece, read);
                        if (QssFailed(taken)) {
                          *sinkFailed = true;
                          return taken;
                        }
                        *got = read;
                        return kQssOk;
                      });
}

QssResult CopyStreamToFile(CStream* stream, std::intptr_t nativeHandle, const StreamCopyOptions& options,
                           StreamCopyReport* report) {
  FileCopyState state;
  // Terminals, pipes and devices take the plain writes only. A stream too
  // short for a copy in the kernel spares the question (many small files).
  const std::int64_t left = stream->entry()->Size() - stream->position();
  state.kernelRefused = left < CBlockAllocationTable::kKernelCopyMinimum ||
                        !native_file::HandleIsRegularFile(nativeHandle);
  StreamCopyOptions pieces = options;
  if (!state.kernelRefused) pieces.pieceSize = std::max(options.pieceSize, kKernelPiece);
  bool first = true;
  return CopyInPieces(stream, pieces, report,
                      [&](char* piece, std::int32_t want, std::uint32_t* got, bool* sinkFailed) {
                        if (first || state.kernelRefused)
                          want = static_cast<std::int32_t>(std::min<std::uint32_t>(
                              static_cast<std::uint32_t>(want), std::max(kFirstKernelPiece, options.pieceSize)));
                        first = false;
                        const QssResult result = stream->ReadToFile(want, nativeHandle, piece, &state, got);
                        *sinkFailed = state.targetFailed;
                        return result;
                      });
}

}  // namespace qss

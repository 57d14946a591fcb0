#include "qss/StreamCopy.h"

#include <algorithm>
#include <vector>

#include "qss/CStorageEntry.h"
#include "qss/CStream.h"

namespace qss {

QssResult CopyStream(CStream* stream, const StreamSink& sink, const StreamCopyOptions& options,
                     StreamCopyReport* report) {
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
  std::vector<char> piece(static_cast<std::size_t>(std::clamp<std::int64_t>(out.expected, 1, pieceSize)));
  while (out.copied < out.expected) {
    const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(pieceSize, out.expected - out.copied));
    std::uint32_t got = 0;
    const QssResult result = stream->Read(piece.data(), want, &got);
    if (result != kQssOk) {
      out.stage = StreamCopyReport::Stage::kRead;
      return QssFailed(result) ? result : kQssNotAContainer;
    }
    if (got == 0) break;
    got = std::min(got, static_cast<std::uint32_t>(want));
    const QssResult taken = sink(piece.data(), got);
    if (QssFailed(taken)) {
      out.stage = StreamCopyReport::Stage::kSink;
      return taken;
    }
    out.copied += got;
    if (options.progress) options.progress(got);
  }
  if (out.copied < out.expected) {
    out.stage = StreamCopyReport::Stage::kEndedEarly;
    return kQssNotAContainer;
  }
  return kQssOk;
}

}  // namespace qss

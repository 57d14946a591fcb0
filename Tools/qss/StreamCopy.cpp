#include "StreamCopy.h"

#include <algorithm>
#include <vector>

#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/StreamCopy.h"
#include "ProgressBar.h"

using namespace qss;

namespace qss_tool {

CopyOutcome CopyStreamContent(CStream* stream, const ByteSink& sink, ProgressBar* progress) {
  CopyOutcome outcome;
  const CStorageEntry* entry = stream->entry();
  const std::int64_t size = entry->Size();
  const std::int64_t head = entry->HeadOffset();
  if (head < 0 || head > size) {
    outcome.ok = false;
    outcome.problem = "the entry's head offset " + std::to_string(head) + " lies outside its size " +
                      std::to_string(size);
    return outcome;
  }
  const std::int64_t expected = size - head;
  const QssResult seek = stream->Seek(head, kSeekBegin, nullptr);
  if (QssFailed(seek)) {
    outcome = {false, "seek to the head offset failed", true, seek};
    return outcome;
  }

  std::vector<char> piece(static_cast<std::size_t>(std::min<std::int64_t>(kCopyPieceSize, std::max<std::int64_t>(expected, 1))));
  std::int64_t copied = 0;
  while (copied < expected) {
    const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(kCopyPieceSize, expected - copied));
    std::uint32_t got = 0;
    const QssResult result = stream->Read(piece.data(), want, &got);
    if (result != kQssOk) {
      outcome = {false, "read failed at byte " + std::to_string(copied), true, result};
      return outcome;
    }
    if (got == 0) break;
    if (got > static_cast<std::uint32_t>(want)) got = static_cast<std::uint32_t>(want);
    if (!sink(piece.data(), got)) {
      outcome = {false, "the output could not be written", false, kQssOk};
      return outcome;
    }
    copied += got;
    if (progress != nullptr) progress->Advance(got);
  }
  if (copied < expected) {
    outcome.ok = false;
    outcome.problem = "the stream ended after " + std::to_string(copied) + " of " + std::to_string(expected) +
                      " bytes";
  }
  return outcome;
}

CopyOutcome CopyStreamToNativeFile(CStream* stream, std::intptr_t file, ProgressBar* progress, bool* writeFailed) {
  *writeFailed = false;
  StreamCopyOptions options;
  options.pieceSize = kCopyPieceSize;
  if (progress != nullptr) options.progress = [progress](std::uint32_t size) { progress->Advance(size); };
  StreamCopyReport report;
  const QssResult result = CopyStreamToFile(stream, file, options, &report);
  CopyOutcome outcome;
  switch (report.stage) {
    case StreamCopyReport::Stage::kDone:
      break;
    case StreamCopyReport::Stage::kBadHeadOffset:
      outcome = {false, "the entry's head offset " + std::to_string(stream->entry()->HeadOffset()) +
                            " lies outside its size " + std::to_string(stream->entry()->Size())};
      break;
    case StreamCopyReport::Stage::kSeek:
      outcome = {false, "seek to the head offset failed", true, result};
      break;
    case StreamCopyReport::Stage::kRead:
      outcome = {false, "read failed at byte " + std::to_string(report.copied), true, result};
      break;
    case StreamCopyReport::Stage::kSink:
      *writeFailed = true;
      outcome = {false, "the output could not be written", true, result};
      break;
    case StreamCopyReport::Stage::kEndedEarly:
      outcome = {false, "the stream ended after " + std::to_string(report.copied) + " of " +
                            std::to_string(report.expected) + " bytes"};
      break;
  }
  return outcome;
}

}  // namespace qss_tool

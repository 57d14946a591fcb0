#include "StreamCopy.h"

#include <memory>

#include "qss/AlignedBuffer.h"
#include "qss/CStream.h"

using namespace qss;

namespace {

// Copies the rest of the stream; true when exactly expectedLength bytes
// reached the file.
bool CopyChunks(CStream& stream, OutputFile& file, std::int64_t expectedLength) {
  AlignedBuffer buffer(kCopyChunkBytes);
  std::int64_t copied = 0;
  for (;;) {
    std::uint32_t got = 0;
    const QssResult result = stream.Read(buffer.data(), static_cast<std::int32_t>(kCopyChunkBytes), &got);
    if (got > kCopyChunkBytes) return false;
    std::uint32_t written = 0;
    if (!file.Write(buffer.data(), got, &written) || written != got) return false;
    copied += got;
    if (QssFailed(result)) return false;
    // The stream never holds more than it says; more would mean the read
    // does not end, so stop.
    if (copied > expectedLength) return false;
    if (got != kCopyChunkBytes) break;
  }
  return copied == expectedLength;
}

}  // namespace

bool CopyStreamToNewFile(FilePlacement& files, CStream& stream, const std::u16string& outputPath) {
  std::unique_ptr<OutputFile> file;
  try {
    std::int64_t length = 0;
    if (QssFailed(stream.Seek(0, kSeekEnd, &length)) || length < 0) return false;
    std::int64_t start = -1;
    if (QssFailed(stream.Seek(0, kSeekBegin, &start)) || start != 0) return false;

    file = files.Create(outputPath);
    if (!file) return false;
    const bool copied = CopyChunks(stream, *file, length);
    const bool closed = file->Close();
    file.reset();
    if (copied && closed) return true;
  } catch (...) {
    // A stream whose content cannot be held in memory (a hostile length, say)
    // ends the copy like a failed read. Before the file exists there is
    // nothing to take back.
    if (!file) return false;
    file.reset();
  }
  files.Delete(outputPath);
  return false;
}

// What every platform's files share: the plain ways of the calls that a
// platform may do better.

#include "qss/NativeFile.h"

namespace qss {

QssResult NativeFile::ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* done) {
  if (done) *done = 0;
  std::uint32_t total = 0;
  QssResult result = kQssOk;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t got = 0;
    result = ReadAt(pieces[i].offset, pieces[i].buffer, pieces[i].length, &got);
    total += got;
    if (QssFailed(result) || got < pieces[i].length) break;
  }
  if (done) *done = total;
  return result;
}

QssResult NativeFile::CopyToHandle(std::int64_t /*offset*/, std::uint32_t /*count*/, std::intptr_t /*target*/,
                                   std::uint32_t* done, bool* refused) {
  if (done) *done = 0;
  if (refused) *refused = true;
  return kQssOk;
}

QssResult NativeFile::CopyFromHandle(std::int64_t /*offset*/, std::uint32_t /*count*/, std::intptr_t /*source*/,
                                     std::int64_t /*sourceOffset*/, std::uint32_t* done, bool* refused) {
  if (done) *done = 0;
  if (refused) *refused = true;
  return kQssOk;
}

}  // namespace qss

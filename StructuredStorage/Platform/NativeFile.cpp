// What every platform's files share: the plain ways of the calls that a
// platform may do better.

#include "qss/NativeFile.h"

namespace qss {

QssResult NativeFile::ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* done) {
  return ReadPiecesInTurn(pieces, count, done,
                          [this](std::int64_t offset, void* buffer, std::uint32_t length, std::uint32_t* got) {
                            return ReadAt(offset, buffer, length, got);
                          });
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

QssResult NativeFile::CopyPiecesToHandle(const ReadPiece* /*pieces*/, std::size_t /*count*/, std::intptr_t /*target*/,
                                         std::uint32_t* done, bool* refused) {
  if (done) *done = 0;
  if (refused) *refused = true;
  return kQssOk;
}

}  // namespace qss

#include "ByteArrays/CFileArray.h"

#include <limits>
#include <vector>
#include <utility>

namespace qss {

CFileArray::CFileArray(std::unique_ptr<NativeFile> file) : file_(std::move(file)) {}

CFileArray::~CFileArray() {
  if (!file_) return;
  if (fileTime_ != 0) static_cast<void>(file_->SetTimes(fileTime_));  // nobody is left to hear a failure
  file_.reset();
}

QssResult CFileArray::Flush() {
  if (!file_) return kQssOk;
  // Data that did not reach the disk is a failure the caller must learn of.
  return file_->Flush();
}

QssResult CFileArray::LimitToEnd(std::int64_t offset, std::uint32_t count, std::uint32_t* wanted) {
  if (offset < 0) return kQssInvalidArgument;
  std::int64_t size = 0;
  const QssResult sized = GetSize(&size);
  if (QssFailed(sized)) return sized;
  if (offset >= size) return kQssInvalidArgument;
  // size - offset cannot overflow.
  const std::int64_t available = size - offset;
  *wanted = available < count ? static_cast<std::uint32_t>(available) : count;
  return kQssOk;
}

QssResult CFileArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (count == 0) return kQssOk;
  std::uint32_t wanted = 0;
  if (QssResult planned = LimitToEnd(offset, count, &wanted); QssFailed(planned)) return planned;
  if (buffer == nullptr) return kQssInvalidPointer;
  std::uint32_t done = 0;
  const QssResult result = file_->ReadAt(offset, buffer, wanted, &done);
  if (bytesRead) *bytesRead = done;
  return result;
}

QssResult CFileArray::ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (count == 0) return kQssOk;
  std::int64_t size = 0;
  const QssResult sized = GetSize(&size);
  if (QssFailed(sized)) return sized;
  // The pieces ReadAt would serve: those that start inside the file, the
  // last of them cut at its end. The piece after them is ReadAt's failure.
  std::vector<ReadPiece> inside;
  QssResult refusal = kQssOk;
  for (std::size_t i = 0; i < count; ++i) {
    ReadPiece piece = pieces[i];
    if (piece.length == 0) continue;
    if (piece.offset < 0 || piece.offset >= size) {
      refusal = kQssInvalidArgument;
      break;
    }
    if (piece.buffer == nullptr) {
      refusal = kQssInvalidPointer;
      break;
    }
    const std::int64_t available = size - piece.offset;
    const bool cut = available < piece.length;
    if (cut) piece.length = static_cast<std::uint32_t>(available);
    inside.push_back(piece);
    if (cut) break;
  }
  std::uint32_t done = 0;
  const QssResult result = file_->ReadPieces(inside.data(), inside.size(), &done);
  if (bytesRead) *bytesRead = done;
  if (QssFailed(result)) return result;
  std::uint64_t wanted = 0;
  for (const ReadPiece& piece : inside) wanted += piece.length;
  return done == wanted ? refusal : kQssOk;
}

QssResult CFileArray::CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target,
                                   std::uint32_t* bytesMoved, bool* refused) {
  if (bytesMoved) *bytesMoved = 0;
  if (refused) *refused = false;
  if (count == 0) return kQssOk;
  std::uint32_t wanted = 0;
  if (QssResult planned = LimitToEnd(offset, count, &wanted); QssFailed(planned)) return planned;
  return file_->CopyToHandle(offset, wanted, target, bytesMoved, refused);
}

QssResult CFileArray::CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                                         std::uint32_t* bytesMoved, bool* refused) {
  if (bytesMoved) *bytesMoved = 0;
  if (refused) *refused = false;
  std::int64_t size = 0;
  if (QssResult sized = GetSize(&size); QssFailed(sized)) return sized;
  // Pieces that do not lie wholly inside the file are for the plain way,
  // which knows what to report for them.
  for (std::size_t i = 0; i < count; ++i) {
    if (pieces[i].offset < 0 || pieces[i].offset > size || size - pieces[i].offset < pieces[i].length) {
      if (refused) *refused = true;
      return kQssOk;
    }
  }
  return file_->CopyPiecesToHandle(pieces, count, target, bytesMoved, refused);
}

QssResult CFileArray::CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source,
                                     std::int64_t sourceOffset, std::uint32_t* bytesMoved, bool* refused) {
  if (bytesMoved) *bytesMoved = 0;
  if (refused) *refused = false;
  if (count == 0) return kQssOk;
  if (offset < 0 || offset > std::numeric_limits<std::int64_t>::max() - count) return kQssInvalidArgument;
  std::int64_t size = 0;
  const QssResult sized = GetSize(&size);
  if (QssFailed(sized)) return sized;
  if (offset + count > size) {
    // Growing the file is WriteAt's business.
    if (refused) *refused = true;
    return kQssOk;
  }
  return file_->CopyFromHandle(offset, count, source, sourceOffset, bytesMoved, refused);
}

QssResult CFileArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                              std::uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (buffer == nullptr) return kQssInvalidPointer;
  if (offset < 0 || offset > std::numeric_limits<std::int64_t>::max() - count) return kQssInvalidArgument;
  std::int64_t size = 0;
  const QssResult sized = GetSize(&size);
  if (QssFailed(sized)) return sized;
  if (offset > size) {
    // The write itself would leave the same gap; growing first also covers a
    // write of 0 bytes. If growing fails, the write below reports why.
    static_cast<void>(file_->SetSize(offset));
    cachedSize_ = kUnknownSize;
  }
  std::uint32_t done = 0;
  const QssResult result = file_->WriteAt(offset, buffer, count, &done);
  // Whatever ran past the old end changed the size: to the end of a write
  // that succeeded whole, to what the system says after anything else.
  if (offset + done > size) cachedSize_ = QssSucceeded(result) && done == count ? offset + done : kUnknownSize;
  if (bytesWritten) *bytesWritten = done;
  return result;
}

QssResult CFileArray::GetSize(std::int64_t* size) {
  if (cachedSize_ == kUnknownSize) {
    std::int64_t measured = 0;
    const QssResult result = file_->GetSize(&measured);
    if (QssFailed(result)) {
      if (size) *size = 0;
      return result;
    }
    cachedSize_ = measured;
  }
  if (size) *size = cachedSize_;
  return kQssOk;
}

QssResult CFileArray::SetSize(std::int64_t size) {
  cachedSize_ = kUnknownSize;
  if (size < 0) return kQssInvalidArgument;
  const QssResult result = file_->SetSize(size);
  if (QssSucceeded(result)) cachedSize_ = size;
  return result;
}

QssResult CFileArray::SetTimestamp(FileTime time) {
  fileTime_ = time;
  if (time == 0) return kQssOk;
  return file_->SetTimes(time);
}

}  // namespace qss

#include "ByteArrays/CWriteCombiningArray.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "qss/CLockGuard.h"

namespace qss {

CWriteCombiningArray::CWriteCombiningArray(CPhysicalByteArray* inner) : inner_(inner) {}

CWriteCombiningArray::~CWriteCombiningArray() = default;

QssResult CWriteCombiningArray::Measure() {
  if (innerSize_ != kUnknown) return kQssOk;
  std::int64_t size = 0;
  const QssResult result = inner_->GetSize(&size);
  if (QssFailed(result)) return result;
  innerSize_ = size;
  size_ = std::max(size_, size);
  if (writtenEnd_ == kUnknown) writtenEnd_ = size;
  return kQssOk;
}

bool CWriteCombiningArray::Joins(std::int64_t offset, std::uint32_t count) const {
  if (buffered_ == 0) return false;
  const std::int64_t end = bufferOffset_ + buffered_;
  if (offset < end || offset - bufferOffset_ + count > kBufferBytes) return false;
  // A gap is filled with zeros, which is what it holds only past every byte
  // written so far.
  return offset == end || end >= writtenEnd_;
}

QssResult CWriteCombiningArray::SendOn() {
  if (QssFailed(broken_)) return broken_;
  if (QssResult measured = Measure(); QssFailed(measured)) return measured;
  // Grown to the full size first: the write below then extends nothing.
  if (size_ > innerSize_) {
    const QssResult grown = inner_->SetSize(size_);
    if (QssFailed(grown)) {
      broken_ = grown;
      return grown;
    }
    innerSize_ = size_;
  }
  if (buffered_ > 0) {
    std::uint32_t written = 0;
    QssResult result = inner_->WriteAt(bufferOffset_, buffer_.data(), buffered_, &written);
    if (QssSucceeded(result) && written != buffered_) result = kQssWriteFault;
    if (QssFailed(result)) {
      broken_ = result;
      return result;
    }
    writtenEnd_ = std::max(writtenEnd_, bufferOffset_ + buffered_);
    buffered_ = 0;
  }
  return kQssOk;
}

QssResult CWriteCombiningArray::SendOnBeforeCopy(std::uint32_t* bytesMoved, bool* refused) {
  if (bytesMoved) *bytesMoved = 0;
  if (refused) *refused = false;
  return SendOn();
}

QssResult CWriteCombiningArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                                        std::uint32_t* bytesWritten) {
  CLockGuard guard(lock_);
  if (bytesWritten) *bytesWritten = 0;
  if (QssFailed(broken_)) return broken_;
  const bool gatherable = buffer != nullptr && count > 0 && count < kGatherBelow && offset >= 0 &&
                          offset <= std::numeric_limits<std::int64_t>::max() - count;
  if (!gatherable) {
    if (QssResult sent = SendOn(); QssFailed(sent)) return sent;
    const QssResult result = inner_->WriteAt(offset, buffer, count, bytesWritten);
    // Even a failed write may have stored some of its bytes.
    if (offset >= 0 && offset <= std::numeric_limits<std::int64_t>::max() - count)
      writtenEnd_ = std::max(writtenEnd_, offset + count);
    innerSize_ = kUnknown;
    return result;
  }
  if (QssResult measured = Measure(); QssFailed(measured)) return measured;
  if (Joins(offset, count)) {
    const std::int64_t end = bufferOffset_ + buffered_;
    std::memset(buffer_.data() + buffered_, 0, static_cast<std::size_t>(offset - end));
    buffered_ = static_cast<std::uint32_t>(offset - bufferOffset_);
  } else {
    if (QssResult sent = SendOn(); QssFailed(sent)) return sent;
    if (buffer_.empty()) buffer_.Resize(kBufferBytes);
    bufferOffset_ = offset;
  }
  std::memcpy(buffer_.data() + buffered_, buffer, count);
  buffered_ += count;
  size_ = std::max(size_, offset + count);
  if (bytesWritten) *bytesWritten = count;
  return kQssOk;
}

QssResult CWriteCombiningArray::GetSize(std::int64_t* size) {
  CLockGuard guard(lock_);
  if (size == nullptr) return kQssInvalidPointer;
  if (QssFailed(broken_)) return broken_;
  if (QssResult measured = Measure(); QssFailed(measured)) return measured;
  *size = size_;
  return kQssOk;
}

QssResult CWriteCombiningArray::SetSize(std::int64_t size) {
  CLockGuard guard(lock_);
  if (QssFailed(broken_)) return broken_;
  if (QssResult measured = Measure(); QssFailed(measured)) return measured;
  if (size >= size_) {
    size_ = size;
    return kQssOk;
  }
  if (QssResult sent = SendOn(); QssFailed(sent)) return sent;
  const QssResult result = inner_->SetSize(size);
  innerSize_ = kUnknown;
  if (QssSucceeded(result)) {
    size_ = size;
    // What grows again later reads as zeros.
    writtenEnd_ = std::min(writtenEnd_, size);
  }
  return result;
}

QssResult CWriteCombiningArray::Flush() {
  CLockGuard guard(lock_);
  if (QssResult sent = SendOn(); QssFailed(sent)) return sent;
  return inner_->Flush();
}

QssResult CWriteCombiningArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count,
                                       std::uint32_t* bytesRead) {
  CLockGuard guard(lock_);
  if (bytesRead) *bytesRead = 0;
  if (QssResult sent = SendOn(); QssFailed(sent)) return sent;
  return inner_->ReadAt(offset, buffer, count, bytesRead);
}

QssResult CWriteCombiningArray::ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) {
  CLockGuard guard(lock_);
  if (bytesRead) *bytesRead = 0;
  if (QssResult sent = SendOn(); QssFailed(sent)) return sent;
  return inner_->ReadPieces(pieces, count, bytesRead);
}

QssResult CWriteCombiningArray::CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target,
                                             std::uint32_t* bytesMoved, bool* refused) {
  CLockGuard guard(lock_);
  if (QssResult sent = SendOnBeforeCopy(bytesMoved, refused); QssFailed(sent)) return sent;
  return inner_->CopyToHandle(offset, count, target, bytesMoved, refused);
}

QssResult CWriteCombiningArray::CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source,
                                               std::int64_t sourceOffset, std::uint32_t* bytesMoved, bool* refused) {
  CLockGuard guard(lock_);
  if (QssResult sent = SendOnBeforeCopy(bytesMoved, refused); QssFailed(sent)) return sent;
  const QssResult result = inner_->CopyFromHandle(offset, count, source, sourceOffset, bytesMoved, refused);
  if (offset >= 0 && offset <= std::numeric_limits<std::int64_t>::max() - count)
    writtenEnd_ = std::max(writtenEnd_, offset + count);
  innerSize_ = kUnknown;
  return result;
}

QssResult CWriteCombiningArray::CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                                                   std::uint32_t* bytesMoved, bool* refused) {
  CLockGuard guard(lock_);
  if (QssResult sent = SendOnBeforeCopy(bytesMoved, refused); QssFailed(sent)) return sent;
  return inner_->CopyPiecesToHandle(pieces, count, target, bytesMoved, refused);
}

QssResult CWriteCombiningArray::SetTimestamp(FileTime time) {
  CLockGuard guard(lock_);
  return inner_->SetTimestamp(time);
}

QssResult CWriteCombiningArray::Remove() {
  CLockGuard guard(lock_);
  return inner_->Remove();
}

}  // namespace qss

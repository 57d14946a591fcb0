#include "Container/CStreamByteArray.h"

#include <limits>

#include "qss/CLockGuard.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"

namespace qss {

namespace {
// A stream transfer counts fewer than 2^31 bytes; a larger request would turn
// negative on the way down.
bool FitsStreamTransfer(std::uint32_t count) {
  return count <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
}
}  // namespace

CStreamByteArray::CStreamByteArray(CStream* stream) : stream_(stream) {}

CStreamByteArray::~CStreamByteArray() = default;

QssResult CStreamByteArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count,
                                   std::uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (!FitsStreamTransfer(count)) return kQssInvalidArgument;
  // The seek and the transfer are two stream operations; the array's users
  // (the nested table and root storage) keep them together under the nested
  // table's lock.
  if (QssResult result = stream_->Seek(offset, kSeekBegin, nullptr); QssFailed(result)) return result;
  return stream_->Read(buffer, static_cast<std::int32_t>(count), bytesRead);
}

QssResult CStreamByteArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                                    std::uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (!FitsStreamTransfer(count)) return kQssInvalidArgument;
  if (QssResult result = stream_->Seek(offset, kSeekBegin, nullptr); QssFailed(result)) return result;
  return stream_->Write(buffer, static_cast<std::int32_t>(count), bytesWritten);
}

QssResult CStreamByteArray::GetSize(std::int64_t* size) {
  CLockGuard guard(stream_->lock());
  if (size) *size = stream_->entry() ? stream_->entry()->Size() : 0;
  return kQssOk;
}

QssResult CStreamByteArray::SetSize(std::int64_t size) { return stream_->SetSize(size); }

}  // namespace qss

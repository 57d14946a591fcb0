#include "qss/CMemoryByteArray.h"

#include <cstring>

#include "qss/CLockGuard.h"

namespace qss {

namespace {
// A vector cannot grow to sizes a 64-bit offset can name; refuse what it
// cannot hold instead of throwing.
bool FitsInMemory(std::int64_t size) {
  return size >= 0 && static_cast<std::uint64_t>(size) <= std::vector<std::uint8_t>().max_size();
}
}  // namespace

QssResult CMemoryByteArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count,
                                   std::uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (count == 0) return kQssOk;
  if (offset < 0) return kQssInvalidArgument;
  CLockGuard guard(lock_);
  const auto size = static_cast<std::int64_t>(bytes_.size());
  if (offset >= size) return kQssInvalidArgument;
  if (buffer == nullptr) return kQssInvalidPointer;
  const std::int64_t available = size - offset;
  const auto n = static_cast<std::uint32_t>(available < count ? available : count);
  std::memcpy(buffer, bytes_.data() + offset, n);
  if (bytesRead) *bytesRead = n;
  return kQssOk;
}

QssResult CMemoryByteArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                                    std::uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (buffer == nullptr) return kQssInvalidPointer;
  if (offset < 0 || offset > INT64_MAX - count) return kQssInvalidArgument;
  CLockGuard guard(lock_);
  const std::int64_t end = offset + count;
  if (!FitsInMemory(end)) return kQssInvalidArgument;
  if (end > static_cast<std::int64_t>(bytes_.size())) bytes_.resize(static_cast<std::size_t>(end));
  if (count) std::memcpy(bytes_.data() + offset, buffer, count);
  if (bytesWritten) *bytesWritten = count;
  return kQssOk;
}

QssResult CMemoryByteArray::GetSize(std::int64_t* size) {
  CLockGuard guard(lock_);
  if (size) *size = static_cast<std::int64_t>(bytes_.size());
  return kQssOk;
}

QssResult CMemoryByteArray::SetSize(std::int64_t size) {
  if (!FitsInMemory(size)) return kQssInvalidArgument;
  CLockGuard guard(lock_);
  bytes_.resize(static_cast<std::size_t>(size));
  return kQssOk;
}

std::vector<std::uint8_t> CMemoryByteArray::Bytes() {
  CLockGuard guard(lock_);
  return bytes_;
}

}  // namespace qss

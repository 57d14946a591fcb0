#include "qss/AlignedBuffer.h"

#include <cstring>
#include <new>

#include "Platform/NativeMemory.h"

namespace qss {

namespace {

// Whether memory of this capacity came rounded to huge pages, and so with
// their alignment: true for every capacity Grow rounded, and only for those.
bool OnHugePages(std::size_t capacity) {
  return capacity >= AlignedBuffer::kLargeBytes && native_memory::HugePagesOnRequest();
}

std::align_val_t AlignmentOf(std::size_t capacity) {
  return std::align_val_t{OnHugePages(capacity) ? native_memory::kHugePageBytes : AlignedBuffer::kAlignment};
}

}  // namespace

void AlignedBuffer::Grow(std::size_t size) {
  std::size_t capacity = size;
  if (OnHugePages(size)) {
    const std::size_t page = native_memory::kHugePageBytes;
    if (size > static_cast<std::size_t>(-1) - page) throw std::bad_alloc();
    capacity = (size + page - 1) / page * page;
  }
  auto* grown = static_cast<char*>(::operator new[](capacity, AlignmentOf(capacity)));
  if (OnHugePages(capacity)) native_memory::AdviseHugePages(grown, capacity);
  if (size_ > 0) std::memcpy(grown, bytes_, size_);
  Release(bytes_, capacity_);
  bytes_ = grown;
  capacity_ = capacity;
}

void AlignedBuffer::Release(char* bytes, std::size_t capacity) noexcept {
  if (bytes != nullptr) ::operator delete[](bytes, AlignmentOf(capacity));
}

}  // namespace qss

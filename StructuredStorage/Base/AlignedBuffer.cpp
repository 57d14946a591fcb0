#include "qss/AlignedBuffer.h"

#include <cstring>
#include <new>

#include "Platform/NativeMemory.h"

namespace qss {

namespace {

// Whether a buffer of this many bytes lies on huge pages. Grow rounds such a
// size up to whole huge pages, so the capacity it keeps answers the same.
bool OnHugePages(std::size_t bytes) {
  return bytes >= AlignedBuffer::kLargeBytes && native_memory::HugePagesOnRequest();
}

}  // namespace

void AlignedBuffer::Grow(std::size_t size) {
  char* grown = nullptr;
  std::size_t capacity = size;
  if (OnHugePages(size)) {
    const std::size_t page = native_memory::kHugePageBytes;
    if (size > static_cast<std::size_t>(-1) - page) throw std::bad_alloc();
    capacity = (size + page - 1) / page * page;
    grown = static_cast<char*>(native_memory::AllocateHugeAligned(capacity));
    if (grown == nullptr) throw std::bad_alloc();
  } else {
    grown = static_cast<char*>(::operator new[](capacity, std::align_val_t{kAlignment}));
  }
  if (size_ > 0) std::memcpy(grown, bytes_, size_);
  Release(bytes_, capacity_);
  bytes_ = grown;
  capacity_ = capacity;
}

void AlignedBuffer::Release(char* bytes, std::size_t capacity) noexcept {
  if (bytes == nullptr) return;
  if (OnHugePages(capacity)) {
    native_memory::ReleaseHugeAligned(bytes);
  } else {
    ::operator delete[](bytes, std::align_val_t{kAlignment});
  }
}

}  // namespace qss

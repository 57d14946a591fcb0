#ifndef QSS_ALIGNEDBUFFER_H_
#define QSS_ALIGNEDBUFFER_H_

#include <cstddef>
#include <utility>

#include "qss/Export.h"

namespace qss {

/// A heap buffer of bytes that starts on a cache line, for pieces of file
/// data. The heap hands out large blocks 16 bytes past a page boundary, and
/// on some processors the kernel's copy into such a buffer runs at half the
/// speed of a copy into one aligned to a cache line (measured: a 1 MiB
/// read-and-write loop 1.5 times slower). Every buffer that reads of files
/// or containers fill should be one of these.
///
/// A buffer of kLargeBytes or more is rounded up to whole huge pages (2 MiB)
/// and asks for them where the system offers them on request: on some
/// machines (virtual ones) the first touch of each 4 KiB page costs more
/// than copying it, and a 1 MiB buffer on small pages takes 256 such
/// touches where a huge page takes one.
///
/// Unlike std::vector, new bytes are not cleared: a buffer a read fills
/// next is not written twice.
class AlignedBuffer {
 public:
  /// Where every buffer starts: a multiple of a cache line.
  static constexpr std::size_t kAlignment = 64;
  /// From this length on a buffer lies on huge pages where it can.
  static constexpr std::size_t kLargeBytes = std::size_t{1} << 20;

  /// An empty buffer; nothing is allocated until it grows.
  AlignedBuffer() = default;
  /// size bytes, uninitialised; throws std::bad_alloc as new does.
  explicit AlignedBuffer(std::size_t size) { Resize(size); }
  /// Frees the memory.
  ~AlignedBuffer() { Release(bytes_, capacity_); }
  /// Not copyable: a copy of a large buffer should be a decision, not an
  /// accident of passing it by value.
  AlignedBuffer(const AlignedBuffer&) = delete;
  /// Not copyable.
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  /// Takes over other's memory; other is empty afterwards.
  AlignedBuffer(AlignedBuffer&& other) noexcept
      : bytes_(std::exchange(other.bytes_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  /// Takes over other's memory, freeing this buffer's; other is empty
  /// afterwards.
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      Release(bytes_, capacity_);
      bytes_ = std::exchange(other.bytes_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }

  /// The first byte; null while nothing was ever allocated.
  char* data() { return bytes_; }
  /// The first byte; null while nothing was ever allocated.
  const char* data() const { return bytes_; }
  /// The buffer's length in bytes.
  std::size_t size() const { return size_; }
  /// Whether the length is 0.
  bool empty() const { return size_ == 0; }
  /// The bytes held, however short the buffer was made since; at least the
  /// longest length asked for (more where it was rounded to huge pages).
  std::size_t capacity() const { return capacity_; }

  /// Makes the buffer size bytes long and keeps the first bytes up to the
  /// shorter length; bytes past the old length are uninitialised. Shrinking
  /// keeps the memory for a later growth.
  void Resize(std::size_t size) {
    if (size > capacity_) Grow(size);
    size_ = size;
  }

 private:
  // Replaces the memory with at least size bytes, keeping the first size_.
  QSS_EXPORT void Grow(std::size_t size);
  // Frees memory that Grow gave capacity bytes; null is nothing.
  QSS_EXPORT static void Release(char* bytes, std::size_t capacity) noexcept;

  char* bytes_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace qss

#endif  // QSS_ALIGNEDBUFFER_H_

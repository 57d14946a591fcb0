// ScratchVector: a vector that one call borrows from its owner's spare
// storage and hands back, capacity and all, when it returns.
//
// A long copy plans each of its pieces in vectors of a few hundred
// kilobytes together. Allocated and freed for every piece, they sit at the
// top of the heap, which the allocator gives back to the system each time,
// so that every piece touches fresh pages again (a fault and a system call
// each, costly on virtual machines). Kept by their owner, they are touched
// once.
//
// The spare must be guarded like the rest of its owner (its lock, or a
// thread_local). A call nested in another finds the spare empty and works
// in a vector of its own. Storage beyond kKeepBytes goes back to the heap
// instead of staying with the owner: one exceptional call does not hold
// memory for the owner's lifetime.
#ifndef STRUCTUREDSTORAGE_BASE_SCRATCHVECTOR_H_
#define STRUCTUREDSTORAGE_BASE_SCRATCHVECTOR_H_

#include <cstddef>
#include <vector>

namespace qss {

template <typename T>
class ScratchVector {
 public:
  static constexpr std::size_t kKeepBytes = 1 << 20;

  // Starts empty, with the spare's capacity.
  explicit ScratchVector(std::vector<T>* spare) : spare_(spare) {
    items_.swap(*spare);
    items_.clear();
  }
  ~ScratchVector() {
    if (items_.capacity() <= kKeepBytes / sizeof(T) && items_.capacity() > spare_->capacity()) {
      items_.clear();
      spare_->swap(items_);
    }
  }
  ScratchVector(const ScratchVector&) = delete;
  ScratchVector& operator=(const ScratchVector&) = delete;

  std::vector<T>& operator*() { return items_; }
  std::vector<T>* operator->() { return &items_; }
  std::vector<T>* get() { return &items_; }

 private:
  std::vector<T>* spare_;
  std::vector<T> items_;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_BASE_SCRATCHVECTOR_H_

#include "Container/CMultiBlockArray.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "Format/LittleEndian.h"

namespace qss {

template <typename T>
CMultiBlockArray<T>::CMultiBlockArray(std::int32_t blockSize, std::uint32_t fill, std::int64_t defaultValue)
    : CMultiBlockArrayBase(blockSize, static_cast<std::int32_t>(sizeof(T)), fill, defaultValue),
      elementShift_(elementsPerBlock_ > 0 && std::has_single_bit(static_cast<std::uint64_t>(elementsPerBlock_))
                        ? std::countr_zero(static_cast<std::uint64_t>(elementsPerBlock_))
                        : -1) {}

template <typename T>
CMultiBlockArrayBlock* CMultiBlockArray<T>::GetBlock(std::int32_t index) {
  if (index < 0 || index >= blockCount_) return nullptr;
  return blocks_[static_cast<std::size_t>(index)].get();
}

template <typename T>
T* CMultiBlockArray<T>::Slot(std::int64_t index, CMBABlock<T>** block) {
  if (index < 0 || elementsPerBlock_ <= 0) return nullptr;
  const std::int64_t blockIndex = BlockIndexOf(index);
  if (blockIndex >= blockCount_) return nullptr;
  *block = blocks_[static_cast<std::size_t>(blockIndex)].get();
  return (*block)->data.get() + (index - blockIndex * elementsPerBlock_);
}

// Element storage is little-endian on disk; the loads and stores below keep
// it so on any host.
template <typename T>
std::int64_t CMultiBlockArray<T>::GetAt(std::int64_t index) {
  CMBABlock<T>* block = nullptr;
  const T* slot = Slot(index, &block);
  if (slot == nullptr) return static_cast<T>(defaultValue_);
  return LoadLittleEndian<T>(reinterpret_cast<const std::uint8_t*>(slot));
}

template <typename T>
void CMultiBlockArray<T>::SetAt(std::int64_t index, std::int64_t value) {
  CMBABlock<T>* block = nullptr;
  T* slot = Slot(index, &block);
  if (slot == nullptr) return;
  StoreLittleEndian<T>(reinterpret_cast<std::uint8_t*>(slot), static_cast<T>(value));
  block->dirty = true;
}

template <typename T>
std::int32_t CMultiBlockArray<T>::Resize(std::int64_t size) {
  if (size <= 0) return 1;
  const std::int64_t newCount = (size - 1) / blockSize_ + 1;
  if (newCount > std::numeric_limits<std::int32_t>::max()) return -1;
  if (newCount <= blockCount_) return 1;

  // Build the new blocks first so that a failed allocation leaves the array
  // as it was.
  std::vector<std::unique_ptr<CMBABlock<T>>> added;
  added.reserve(static_cast<std::size_t>(newCount - blockCount_));
  for (std::int64_t i = blockCount_; i < newCount; ++i) {
    auto block = std::make_unique<CMBABlock<T>>(elementsPerBlock_, fill_ != kIndexChainFill);
    if (fill_ == kIndexChainFill) {
      auto* bytes = reinterpret_cast<std::uint8_t*>(block->data.get());
      const std::int64_t first = i * elementsPerBlock_ + 1;
      for (std::int64_t j = 0; j < elementsPerBlock_; ++j)
        StoreLittleEndian<T>(bytes + j * sizeof(T), static_cast<T>(first + j));
      block->dirty = true;
    }
    added.push_back(std::move(block));
  }
  // Growth by doubling: the table grows one block at a time while it loads.
  if (blocks_.capacity() < static_cast<std::size_t>(newCount))
    blocks_.reserve(std::max(static_cast<std::size_t>(newCount), 2 * blocks_.capacity()));
  for (auto& block : added) blocks_.push_back(std::move(block));
  blockCount_ = static_cast<std::int32_t>(newCount);
  return 1;
}

template <typename T>
std::int64_t CMultiBlockArray<T>::LargestElement() {
  if (blocks_.empty()) return defaultValue_;
  T largest = std::numeric_limits<T>::min();
  for (const auto& block : blocks_) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(block->data.get());
    for (std::int64_t j = 0; j < elementsPerBlock_; ++j)
      largest = std::max(largest, LoadLittleEndian<T>(bytes + j * sizeof(T)));
  }
  return largest;
}

template <typename T>
std::int32_t CMultiBlockArray<T>::FollowChain(std::int64_t start, std::int32_t maxCount, std::int64_t* out,
                                              bool* broken) {
  *broken = false;
  const std::int64_t count = elementCount();
  // A block number is 1 to count - 1 (none when count is 0); -1 ends a chain.
  const auto isBlock = [count](std::int64_t n) { return n >= 1 && n < count; };
  const auto stop = [&](std::int32_t stored, bool isBroken) {
    if (stored < maxCount) out[stored] = -1;
    *broken = isBroken;
    return stored;
  };
  if (maxCount <= 0) return 0;
  if (start == -1) return stop(0, false);
  if (!isBlock(start)) return stop(0, true);
  // More steps than the array has elements can only be a cycle.
  const auto limit = static_cast<std::int32_t>(std::min<std::int64_t>(maxCount, count));
  std::int32_t stored = 0;
  std::int64_t current = start;
  while (stored < limit) {
    // A chain stays in one block of elements for long stretches: the inner
    // loop follows it while it does.
    const std::int64_t blockIndex = BlockIndexOf(current);
    const std::int64_t low = blockIndex * elementsPerBlock_;
    const auto* held = reinterpret_cast<const std::uint8_t*>(blocks_[static_cast<std::size_t>(blockIndex)]->data.get());
    do {
      const std::int64_t next = LoadLittleEndian<T>(held + (current - low) * static_cast<std::int64_t>(sizeof(T)));
      if (next != -1 && !isBlock(next)) return stop(stored, true);
      out[stored++] = current;
      current = next;
    } while (stored < limit && static_cast<std::uint64_t>(current - low) < static_cast<std::uint64_t>(elementsPerBlock_));
    if (current == -1) return stop(stored, false);
  }
  return stored < maxCount ? stop(stored, true) : stored;
}

template class CMultiBlockArray<std::int16_t>;
template class CMultiBlockArray<std::int32_t>;
template class CMultiBlockArray<std::int64_t>;

}  // namespace qss

// CMultiBlockArray: a growable array of signed integers of one width, kept
// as a list of equal-sized blocks.
//
// It is the in-memory form of the container's allocation table: one array
// block is byte for byte one block of the table's chain, so the table is read
// into and written from GetData() directly, and each block carries its own
// dirty flag so that only changed blocks are written back. Growing never
// moves element data: new blocks are added and only the pointer list is
// replaced.
//
// Callers work through CMultiBlockArrayBase, which exchanges every index and
// every value as a signed 64-bit number whatever the element width.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CMULTIBLOCKARRAY_H_
#define STRUCTUREDSTORAGE_CONTAINER_CMULTIBLOCKARRAY_H_

#include <cstdint>
#include <memory>
#include <vector>

namespace qss {

// One block of a multi-block array.
class CMultiBlockArrayBlock {
 public:
  virtual ~CMultiBlockArrayBlock() = default;
  // The element storage: blockSize bytes, little-endian elements.
  virtual void* GetData() = 0;

  // Changed since it was last read from or written to the container.
  bool dirty = false;
};

class CMultiBlockArrayBase {
 public:
  // The fill rule for new blocks under which element k holds k + 1, so new
  // elements form a ready-made ascending chain.
  static constexpr std::uint32_t kIndexChainFill = 0x12345678u;

  CMultiBlockArrayBase(std::int32_t blockSize, std::int32_t elementWidth, std::uint32_t fill,
                       std::int64_t defaultValue)
      : blockSize_(blockSize),
        fill_(fill),
        defaultValue_(defaultValue),
        elementsPerBlock_(elementWidth > 0 ? blockSize / elementWidth : 0) {}
  CMultiBlockArrayBase(const CMultiBlockArrayBase&) = delete;
  CMultiBlockArrayBase& operator=(const CMultiBlockArrayBase&) = delete;
  virtual ~CMultiBlockArrayBase() = default;

  // The block at index; null when index is not a held block.
  virtual CMultiBlockArrayBlock* GetBlock(std::int32_t index) = 0;
  // The element at index, sign-extended; defaultValue for an index outside
  // the held blocks.
  virtual std::int64_t GetAt(std::int64_t index) = 0;
  // Stores value narrowed to the element width and marks the block dirty.
  // An index outside the held blocks is ignored.
  virtual void SetAt(std::int64_t index, std::int64_t value) = 0;
  // Makes the array hold ceil(size / blockSize) blocks; never shrinks.
  // Returns 1, or -1 when that many blocks cannot be counted in 32 bits.
  virtual std::int32_t Resize(std::int64_t size) = 0;
  // The largest element held, sign-extended; defaultValue when no block is
  // held. One pass over the blocks, for checks of a whole table.
  virtual std::int64_t LargestElement() = 0;
  // Follows the links from start as the table's chains link blocks: each
  // element names the next block, -1 ends the chain, and blocks are the
  // numbers 1 to elementCount() - 1. Stores the blocks walked in out, at
  // most maxCount, and -1 after the last when the walk stops before
  // maxCount. Returns how many blocks were stored; *broken is set when the
  // walk met a number that is no block (start included) or ran longer than
  // the array (a cycle). One call walks a whole chain without a call per
  // link.
  virtual std::int32_t FollowChain(std::int64_t start, std::int32_t maxCount, std::int64_t* out, bool* broken) = 0;

  std::int32_t blockCount() const { return blockCount_; }
  std::int32_t blockSize() const { return blockSize_; }
  std::uint32_t fill() const { return fill_; }
  std::int64_t defaultValue() const { return defaultValue_; }
  // Not virtual: a walk along a chain asks for the element count at every
  // step, to know a block number from a broken link.
  std::int64_t elementsPerBlock() const { return elementsPerBlock_; }
  // Elements held: blockCount x elementsPerBlock.
  std::int64_t elementCount() const { return blockCount_ * elementsPerBlock_; }

 protected:
  std::int32_t blockCount_ = 0;
  std::int32_t blockSize_;
  std::uint32_t fill_;
  std::int64_t defaultValue_;
  std::int64_t elementsPerBlock_;
};

// T is std::int16_t, std::int32_t or std::int64_t.
template <typename T>
class CMultiBlockArray final : public CMultiBlockArrayBase {
 public:
  template <typename U>
  class CMBABlock final : public CMultiBlockArrayBlock {
   public:
    // zeroed: false leaves the elements for the caller to fill.
    CMBABlock(std::int64_t elements, bool zeroed)
        : data(zeroed ? new U[static_cast<std::size_t>(elements)]() : new U[static_cast<std::size_t>(elements)]) {}
    void* GetData() override { return data.get(); }
    std::unique_ptr<U[]> data;
  };

  explicit CMultiBlockArray(std::int32_t blockSize, std::uint32_t fill = kIndexChainFill,
                            std::int64_t defaultValue = -1);

  CMultiBlockArrayBlock* GetBlock(std::int32_t index) override;
  std::int64_t GetAt(std::int64_t index) override;
  void SetAt(std::int64_t index, std::int64_t value) override;
  std::int32_t Resize(std::int64_t size) override;
  std::int64_t LargestElement() override;
  std::int32_t FollowChain(std::int64_t start, std::int32_t maxCount, std::int64_t* out, bool* broken) override;

 private:
  // The element slot of index, or null outside the held blocks.
  T* Slot(std::int64_t index, CMBABlock<T>** block);
  // The block holding element index (not negative; elementsPerBlock_ > 0).
  std::int64_t BlockIndexOf(std::int64_t index) const {
    return elementShift_ >= 0 ? index >> elementShift_ : index / elementsPerBlock_;
  }

  std::vector<std::unique_ptr<CMBABlock<T>>> blocks_;
  // log2 of elementsPerBlock_ where it is a power of two (block sizes are),
  // else -1: a lookup shifts instead of dividing, and lookups are what a
  // walk along a chain costs.
  int elementShift_;
};

extern template class CMultiBlockArray<std::int16_t>;
extern template class CMultiBlockArray<std::int32_t>;
extern template class CMultiBlockArray<std::int64_t>;

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_CONTAINER_CMULTIBLOCKARRAY_H_

// CBlockChainCache: a stream's cache of its own block chain.
//
// Reading a long stream in big pieces must not walk its chain from the start
// for every piece. The cache keeps the chain in segments of 1024 block
// numbers, loaded lazily and only when the chain really has all 1024 of
// them, so a position inside a cached stretch maps straight to its block and
// only the final partial stretch is walked by the allocation table from the
// last cached block. Segments beyond a shrunken length are dropped at once
// (TrimToSize after every size change). A segment whose blocks follow each
// other (all of them, in a stream that was sized before it was written)
// keeps only its first block: a long stream's cache then costs next to no
// memory, and none of the first touches of fresh pages that 8 KiB a segment
// would.
//
// Positions are absolute: chain index 0 holds the bytes from base, the head
// offset rounded down to a block boundary.
//
// A damaged chain may come back to a block it already passed and run in a
// circle while the length claims gigabytes. Every block the cache loads is
// passed through Brent's cycle search (constant memory, at most about twice
// the chain's distinct blocks of steps); once a block repeats, the chain
// holds only the blocks before the repeat, and positions beyond them are
// not part of any sound stream.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CBLOCKCHAINCACHE_H_
#define STRUCTUREDSTORAGE_CONTAINER_CBLOCKCHAINCACHE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "qss/CQssRef.h"

namespace qss {

class CBlockAllocationTable;
class CStorageEntry;

class CBlockChainCache {
 public:
  static constexpr std::int32_t kSegmentBlocks = 1024;

  // Takes its own references to table and entry.
  CBlockChainCache(CBlockAllocationTable* table, CStorageEntry* entry);
  ~CBlockChainCache();
  CBlockChainCache(const CBlockChainCache&) = delete;
  CBlockChainCache& operator=(const CBlockChainCache&) = delete;

  // A block of the chain and the offset of position from its start; the
  // offset may exceed the block size (the table walks on from there).
  void MapPosition(std::int64_t position, std::int64_t* block, std::int64_t* offset);
  // Drops the segments that lie beyond the entry's current length.
  void TrimToSize();
  // Bytes from position up to the first block of a cycle found so far (0
  // when position lies past it); INT64_MAX when no cycle is known.
  std::int64_t BytesBeforeCycle(std::int64_t position) const;

  std::int32_t segmentCount() const { return static_cast<std::int32_t>(segments_.size()); }
  std::int64_t base() const { return base_; }

 private:
  // kSegmentBlocks consecutive links of the chain.
  class Segment {
   public:
    // Takes the blocks in loaded, or keeps only the first where they follow
    // each other (loaded is then left as it was, for the next load).
    explicit Segment(std::unique_ptr<std::int64_t[]>& loaded);
    std::int64_t operator[](std::int64_t index) const { return blocks_ ? blocks_[index] : first_ + index; }
    std::int64_t back() const { return (*this)[kSegmentBlocks - 1]; }

   private:
    std::int64_t first_ = 0;
    std::unique_ptr<std::int64_t[]> blocks_;  // null where they follow each other
  };

  // Segment k, loading the complete segments up to it; null when the chain
  // does not have all of its blocks.
  const Segment* GetSegment(std::int64_t k);
  // ceil(size / blockSize) - base / blockSize: blocks the entry's length needs.
  std::int64_t ChainBlocks() const;

  std::int32_t blockSize_;
  std::int64_t base_;
  CQssRef<CStorageEntry> entry_;
  CQssRef<CBlockAllocationTable> table_;
  std::vector<Segment> segments_;
  // Where the next segment is loaded; kept while segments need none.
  std::unique_ptr<std::int64_t[]> loading_;

  // Feeds the blocks of the next segment to the cycle search; false when one
  // of them repeats an earlier block (cycleStart_ then holds the chain index
  // of the first repeat).
  bool PassThroughCycleSearch(const Segment& next);
  // Restarts the search over the cached segments (after they changed).
  void RestartCycleSearch();

  // Brent's method: the block compared with, the length of the current
  // power-of-two stretch, and the blocks passed in it.
  std::int64_t searchMark_ = -2;
  std::int64_t searchPower_ = 1;
  std::int64_t searchSteps_ = 0;
  // Chain index of the first block that repeats an earlier one; -1 when no
  // cycle is known.
  std::int64_t cycleStart_ = -1;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_CONTAINER_CBLOCKCHAINCACHE_H_

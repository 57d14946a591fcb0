#include "Container/CBlockChainCache.h"

#include <algorithm>
#include <limits>

#include "qss/CLockGuard.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CStorageEntry.h"

namespace qss {

namespace {
// Floor division; the head offset of a corrupt record may be negative.
std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
  const std::int64_t quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}
}  // namespace

CBlockChainCache::CBlockChainCache(CBlockAllocationTable* table, CStorageEntry* entry)
    : blockSize_(table->blockSize()),
      base_(FloorDiv(entry->HeadOffset(), table->blockSize()) * table->blockSize()),
      entry_(entry),
      table_(table) {}

CBlockChainCache::~CBlockChainCache() = default;

CBlockChainCache::Segment::Segment(std::unique_ptr<std::int64_t[]>& loaded) : first_(loaded[0]) {
  for (std::int64_t i = 1; i < kSegmentBlocks; ++i) {
    if (loaded[i] != first_ + i) {
      blocks_ = std::move(loaded);
      return;
    }
  }
}

std::int64_t CBlockChainCache::ChainBlocks() const {
  const std::int64_t size = entry_->Size();
  if (size <= 0) return 0;
  return BlocksFor(size, blockSize_) - base_ / blockSize_;
}

const CBlockChainCache::Segment* CBlockChainCache::GetSegment(std::int64_t k) {
  if (k < 0) return nullptr;
  if (k < segmentCount()) return &segments_[static_cast<std::size_t>(k)];

  // Only complete segments are kept, and never more blocks than the table
  // has entries: a length field or a cycle cannot make the cache grow.
  std::int64_t tableEntries = 0;
  {
    CLockGuard guard(table_->lock());  // another stream may be growing the table
    tableEntries = table_->EntryCount();
  }
  const std::int64_t complete = std::min(ChainBlocks(), tableEntries) / kSegmentBlocks;
  const std::int64_t wanted = std::min(k + 1, complete);
  while (segmentCount() < wanted && cycleStart_ < 0) {
    std::int64_t first = entry_->FirstBlock();
    if (!segments_.empty()) {
      CLockGuard guard(table_->lock());
      first = table_->GetNext(segments_.back().back());
    }
    if (first == -1) break;
    if (!loading_) loading_ = std::make_unique_for_overwrite<std::int64_t[]>(kSegmentBlocks);
    std::int32_t got = 0;
    if (QssFailed(table_->GetChain(first, kSegmentBlocks, loading_.get(), &got)) || got < kSegmentBlocks) break;
    Segment segment(loading_);
    if (!PassThroughCycleSearch(segment)) break;
    segments_.push_back(std::move(segment));
  }
  return k < segmentCount() ? &segments_[static_cast<std::size_t>(k)] : nullptr;
}

void CBlockChainCache::MapPosition(std::int64_t position, std::int64_t* block, std::int64_t* offset) {
  const std::int64_t relative = position - base_;
  *block = entry_->FirstBlock();
  *offset = relative;
  const std::int64_t mapped = std::min(relative, entry_->Size());
  if (mapped < 0) return;
  const std::int64_t index = mapped / blockSize_;
  const std::int64_t k = index / kSegmentBlocks;
  if (const Segment* segment = GetSegment(k)) {
    *block = (*segment)[index % kSegmentBlocks];
    *offset = relative - index * blockSize_;
  } else if (!segments_.empty()) {
    *block = segments_.back().back();
    *offset = relative - (static_cast<std::int64_t>(kSegmentBlocks) * segmentCount() - 1) * blockSize_;
  }
}

void CBlockChainCache::TrimToSize() {
  const std::int64_t blocks = ChainBlocks();
  bool trimmed = false;
  while (!segments_.empty() && static_cast<std::int64_t>(kSegmentBlocks) * segmentCount() > blocks) {
    segments_.pop_back();
    trimmed = true;
  }
  if (segments_.empty()) segments_.shrink_to_fit();
  // A size change may come with a relinked chain: what the search knew of
  // the blocks beyond the cache no longer holds.
  if (trimmed || cycleStart_ >= 0) RestartCycleSearch();
}

std::int64_t CBlockChainCache::BytesBeforeCycle(std::int64_t position) const {
  if (cycleStart_ < 0) return std::numeric_limits<std::int64_t>::max();
  return std::max<std::int64_t>(0, cycleStart_ * blockSize_ - (position - base_));
}

void CBlockChainCache::RestartCycleSearch() {
  searchMark_ = -2;
  searchPower_ = 1;
  searchSteps_ = 0;
  cycleStart_ = -1;
  std::vector<Segment> cached;
  cached.swap(segments_);
  for (auto& segment : cached) {
    if (!PassThroughCycleSearch(segment)) break;
    segments_.push_back(std::move(segment));
  }
}

bool CBlockChainCache::PassThroughCycleSearch(const Segment& next) {
  const std::int64_t firstIndex = static_cast<std::int64_t>(kSegmentBlocks) * segmentCount();
  for (std::int64_t i = 0; i < kSegmentBlocks; ++i) {
    const std::int64_t block = next[i];
    if (block == searchMark_) {
      // The cycle is searchSteps_ + 1 blocks long. Its first repeat is the
      // first index whose block equals the one a cycle length before it.
      const std::int64_t length = searchSteps_ + 1;
      const auto at = [&](std::int64_t index) {
        return index < firstIndex ? segments_[static_cast<std::size_t>(index / kSegmentBlocks)][index % kSegmentBlocks]
                                  : next[index - firstIndex];
      };
      std::int64_t start = 0;
      while (at(start) != at(start + length)) ++start;
      cycleStart_ = start + length;
      // Only segments wholly before the repeat stay cached.
      while (static_cast<std::int64_t>(kSegmentBlocks) * segmentCount() > cycleStart_) segments_.pop_back();
      return false;
    }
    if (++searchSteps_ == searchPower_ || searchMark_ == -2) {
      searchMark_ = block;
      searchPower_ *= 2;
      searchSteps_ = 0;
    }
  }
  return true;
}

}  // namespace qss

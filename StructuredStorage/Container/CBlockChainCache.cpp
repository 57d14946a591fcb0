#include "Container/CBlockChainCache.h"

#include <algorithm>

#include "Base/CLockGuard.h"
#include "Container/CBlockAllocationTable.h"
#include "Container/CStorageEntry.h"

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
      table_(table) {
  entry_->AddRef();
  table_->AddRef();
}

CBlockChainCache::~CBlockChainCache() {
  segments_.clear();
  entry_->Release();
  table_->Release();
}

std::int64_t CBlockChainCache::ChainBlocks() const {
  const std::int64_t size = entry_->Size();
  if (size <= 0) return 0;
  return BlocksFor(size, blockSize_) - base_ / blockSize_;
}

const CBlockChainCache::Segment* CBlockChainCache::GetSegment(std::int64_t k) {
  if (k < 0) return nullptr;
  if (k < segmentCount()) return segments_[static_cast<std::size_t>(k)].get();

  // Only complete segments are kept, and never more blocks than the table
  // has entries: a length field or a cycle cannot make the cache grow.
  std::int64_t tableEntries = 0;
  {
    CLockGuard guard(table_->lock());  // another stream may be growing the table
    tableEntries = table_->EntryCount();
  }
  const std::int64_t complete = std::min(ChainBlocks(), tableEntries) / kSegmentBlocks;
  const std::int64_t wanted = std::min(k + 1, complete);
  while (segmentCount() < wanted) {
    std::int64_t first = entry_->FirstBlock();
    if (!segments_.empty()) {
      CLockGuard guard(table_->lock());
      first = table_->GetNext(segments_.back()->back());
    }
    if (first == -1) break;
    auto segment = std::make_unique<Segment>();
    std::int32_t got = 0;
    if (QssFailed(table_->GetChain(first, kSegmentBlocks, segment->data(), &got)) || got < kSegmentBlocks) break;
    segments_.push_back(std::move(segment));
  }
  return k < segmentCount() ? segments_[static_cast<std::size_t>(k)].get() : nullptr;
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
    *block = (*segment)[static_cast<std::size_t>(index % kSegmentBlocks)];
    *offset = relative - index * blockSize_;
  } else if (!segments_.empty()) {
    *block = segments_.back()->back();
    *offset = relative - (static_cast<std::int64_t>(kSegmentBlocks) * segmentCount() - 1) * blockSize_;
  }
}

void CBlockChainCache::TrimToSize() {
  const std::int64_t blocks = ChainBlocks();
  while (!segments_.empty() && static_cast<std::int64_t>(kSegmentBlocks) * segmentCount() > blocks)
    segments_.pop_back();
  if (segments_.empty()) segments_.shrink_to_fit();
}

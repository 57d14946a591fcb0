#include "Container/CBlockAllocationTable.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "Base/ScratchVector.h"
#include "qss/CLockGuard.h"
#include "qss/CPhysicalByteArray.h"
#include "Container/CMultiBlockArray.h"
#include "Format/Format.h"
#include "qss/NativeFile.h"

namespace qss {

CBlockAllocationTable::CBlockAllocationTable(CPhysicalByteArray* physical) : physical_(physical) {

  std::uint8_t bytes[kContainerHeaderSize];
  std::uint32_t got = 0;
  const QssResult read = physical_->ReadAt(0, bytes, sizeof(bytes), &got);
  ContainerHeader header;
  const QssResult decoded = QssFailed(read) || got != sizeof(bytes) ? kQssNotAContainer
                                                                    : ContainerHeader::Decode(bytes, got, &header);
  entryWidth_ = header.entryWidth;
  blockSize_ = header.blockSize;
  dataOffset_ = header.dataOffset;
  tableStart_ = header.tableStart;
  // A block one entry wide passes and opens for reading, though its table
  // can never record a change (see CanRecordChanges).
  if (QssFailed(decoded)) {
    status_ = kQssNotAContainer;
    return;
  }
  valid_ = true;
  // The outcome is kept in valid_ and status_, which the creator reads.
  static_cast<void>(LoadTable());
}

CBlockAllocationTable::~CBlockAllocationTable() {
  // Nobody is left to hear of a failure here; a writer that needs to know
  // commits (which flushes) before it lets go.
  if (valid_) static_cast<void>(Flush());
}

std::unique_ptr<CMultiBlockArrayBase> CBlockAllocationTable::CreateEntryArray(std::int32_t entryWidth,
                                                                              std::int32_t blockSize) {
  std::unique_ptr<CMultiBlockArrayBase> array;
  switch (entryWidth) {
    case 2: array = std::make_unique<CMultiBlockArray<std::int16_t>>(blockSize); break;
    case 4: array = std::make_unique<CMultiBlockArray<std::int32_t>>(blockSize); break;
    case 8: array = std::make_unique<CMultiBlockArray<std::int64_t>>(blockSize); break;
    default: return nullptr;
  }
  if (blockSize < entryWidth || array->Resize(blockSize) < 0) return nullptr;
  array->SetAt(array->elementsPerBlock() - 1, kNoBlock);
  return array;
}

QssResult CBlockAllocationTable::LoadTable() {
  const std::int64_t perBlock = blockSize_ / entryWidth_;
  std::int64_t size = 0;
  if (QssResult sized = physical_->GetSize(&size); QssFailed(sized)) {
    valid_ = false;
    return status_ = sized;
  }
  const std::int64_t wholeBlocks = (size - dataOffset_) / blockSize_;
  const std::int64_t tableBlocks = (wholeBlocks + perBlock - 1) / perBlock;
  const std::int64_t tableBytes = tableBlocks * blockSize_;

  // A table block that cannot be loaded: past the end of the byte array the
  // container is truncated, anywhere else it is not a container.
  const auto fail = [&](std::int64_t block) {
    valid_ = false;
    const std::int64_t lastAddressable = (std::numeric_limits<std::int64_t>::max() - dataOffset_) / blockSize_;
    const bool pastEnd = block > lastAddressable || (block >= 1 && BlockPosition(block) >= size);
    status_ = pastEnd ? kQssTruncated : kQssNotAContainer;
    return status_;
  };

  // The in-memory table is at least one block. A block larger than the
  // whole byte array cannot hold anything the container stores, and a header
  // that claims one must not make us allocate it; small blocks are allowed
  // whatever the size, as working memory.
  constexpr std::int32_t kBlockAllowedWithoutData = 64 * 1024;
  if (blockSize_ > kBlockAllowedWithoutData && blockSize_ > size) {
    if (tableStart_ != kNoBlock) return fail(tableStart_);
    valid_ = false;
    return status_ = kQssNotAContainer;
  }

  entries_ = CreateEntryArray(entryWidth_, blockSize_);
  if (!entries_) {
    valid_ = false;
    return status_ = kQssNotAContainer;
  }

  if (tableStart_ == kNoBlock) {
    // No stored table: every block the byte array holds is free.
    if (entries_->Resize(tableBytes) < 0) {
      valid_ = false;
      return status_ = kQssNotAContainer;
    }
  } else {
    // The table grows block by block as its chain is read, so memory follows
    // the table bytes the byte array really holds, not its apparent size (a
    // sparse file claims any size). A sound container still gets its whole
    // table of tableBlocks blocks.
    const std::int64_t describedEntries = tableBlocks * perBlock;
    std::int64_t current = tableStart_;
    std::int64_t loaded = 0;
    for (std::int64_t n = 0;; ++n) {
      // Only blocks the table describes can be table blocks; the length
      // check also ends a table chain that runs in a circle. A block cut
      // short by the end of the byte array adds fewer bytes than a block, so
      // the blocks loaded are counted as well.
      if (loaded >= tableBytes || n >= tableBlocks || current < 1 || current >= describedEntries)
        return fail(current);
      if (n >= entries_->blockCount() && entries_->Resize((n + 1) * blockSize_) < 0) {
        valid_ = false;
        return status_ = kQssNotAContainer;
      }
      CMultiBlockArrayBlock* block = entries_->GetBlock(static_cast<std::int32_t>(n));
      std::uint32_t got = 0;
      const QssResult read = physical_->ReadAt(BlockPosition(current), block->GetData(),
                                               static_cast<std::uint32_t>(blockSize_), &got);
      if (QssFailed(read) || got == 0) return fail(current);
      block->dirty = false;
      loaded += got;
      // A link in a part of the table not read yet is what that part holds
      // until it is read: the blocks' index chain.
      current = current / perBlock < entries_->blockCount() ? entries_->GetAt(current) : current + 1;
      if (current == kNoBlock) break;
    }
    // A table chain that ends before the table does leaves entries nobody
    // stored.
    if (entries_->blockCount() < tableBlocks) {
      valid_ = false;
      return status_ = kQssNotAContainer;
    }
  }

  // Whatever the stored table says is checked once here: no entry names a
  // block beyond the table. A value below -1 is a broken link like any other
  // and costs only the chains that meet it (FollowLink refuses it there).
  if (entries_->LargestElement() >= entries_->elementCount()) {
    valid_ = false;
    return status_ = kQssNotAContainer;
  }
  return status_ = kQssOk;
}

std::int64_t CBlockAllocationTable::BlockPosition(std::int64_t block) const {
  return dataOffset_ + (block - 1) * static_cast<std::int64_t>(blockSize_);
}

std::int64_t CBlockAllocationTable::EntryCount() const { return entries_ ? entries_->elementCount() : 0; }

std::int64_t CBlockAllocationTable::ChainCapacity() {
  std::int64_t size = 0;
  if (QssFailed(physical_->GetSize(&size)) || size <= dataOffset_) return 0;
  CLockGuard guard(lock_);
  return std::min(BlocksFor(size - dataOffset_, blockSize_), EntryCount());
}

bool CBlockAllocationTable::IsBlock(std::int64_t block) const { return block >= 1 && block < EntryCount(); }

std::int64_t CBlockAllocationTable::GetNext(std::int64_t block) {
  if (block < 0 || block >= EntryCount()) return kNoBlock;
  return entries_->GetAt(block);
}

void CBlockAllocationTable::SetNext(std::int64_t block, std::int64_t value) {
  if (block < 0 || block >= EntryCount()) return;
  if (tableChainKnown_ && std::binary_search(tableChainBlocks_.begin(), tableChainBlocks_.end(), block))
    tableChainKnown_ = false;
  entries_->SetAt(block, value);
}

bool CBlockAllocationTable::FollowLink(std::int64_t block, std::int64_t* next) {
  if (block < 0 || block >= EntryCount()) return false;
  const std::int64_t value = entries_->GetAt(block);
  if (value != kNoBlock && !IsBlock(value)) return false;
  *next = value;
  return true;
}

bool CBlockAllocationTable::FindTail(std::int64_t start, std::int64_t* tail) {
  std::int64_t current = start;
  for (std::int64_t steps = 0; steps < EntryCount(); ++steps) {
    std::int64_t next = kNoBlock;
    if (!FollowLink(current, &next)) return false;
    if (next == kNoBlock) {
      *tail = current;
      return true;
    }
    current = next;
  }
  return false;  // longer than the table: a cycle
}

QssResult CBlockAllocationTable::GetChain(std::int64_t start, std::int32_t maxCount, std::int64_t* out,
                                          std::int32_t* count) {
  CLockGuard guard(lock_);
  if (count) *count = 0;
  if (maxCount <= 0) return kQssOk;
  if (!entries_) {
    out[0] = kNoBlock;
    return start == kNoBlock ? kQssOk : kQssNotAContainer;
  }
  bool broken = false;
  const std::int32_t stored = entries_->FollowChain(start, maxCount, out, &broken);
  if (count) *count = stored;
  return broken ? kQssNotAContainer : kQssOk;
}

QssResult CBlockAllocationTable::InsertFree(std::int64_t block, std::int64_t* hint) {
  // The free list is ascending; a hint at or above the block cannot be the
  // place before it, so the search starts from the head then.
  std::int64_t previous = *hint < block ? *hint : 0;
  std::int64_t next = kNoBlock;
  if (!FollowLink(previous, &next) || (next != kNoBlock && next <= previous)) return kQssNotAContainer;
  for (std::int64_t steps = 0; next != kNoBlock && next < block; ++steps) {
    std::int64_t after = kNoBlock;
    if (steps >= EntryCount() || !FollowLink(next, &after) || (after != kNoBlock && after <= next))
      return kQssNotAContainer;
    previous = next;
    next = after;
  }
  if (next == block) return kQssNotAContainer;  // already free: the chain overlaps the free list
  SetNext(block, next);
  SetNext(previous, block);
  *hint = previous;
  return kQssOk;
}

QssResult CBlockAllocationTable::FreeBlocks(std::int64_t start, std::int32_t count, const std::int64_t* list) {
  CLockGuard guard(lock_);
  if (start == kNoBlock) return kQssOk;
  if (!IsBlock(start) || count < -1) return kQssNotAContainer;
  if (!CanRecordChanges()) return kQssTableCannotGrow;
  dirty_ = true;

  if (count == -1) {
    std::int64_t hint = 0;
    std::int64_t current = start;
    for (std::int64_t steps = 0; current != kNoBlock; ++steps) {
      std::int64_t next = kNoBlock;
      if (steps >= EntryCount() || !FollowLink(current, &next)) return kQssNotAContainer;
      if (QssResult result = InsertFree(current, &hint); QssFailed(result)) return result;
      if (next < current) hint = 0;
      current = next;
    }
    return kQssOk;
  }

  // Listed blocks, matched in list order along the chain; the chain's first
  // block is never unlinked (the caller's record still names it).
  std::int32_t index = 0;
  while (index < count) {
    std::int64_t current = start;
    std::int64_t before = kNoBlock;
    std::int64_t hint = 0;
    std::int32_t found = 0;
    for (std::int64_t steps = 0; current != kNoBlock && index < count; ++steps) {
      std::int64_t next = kNoBlock;
      if (steps >= EntryCount() || !FollowLink(current, &next)) return kQssNotAContainer;
      if (before != kNoBlock && current == list[index]) {
        if (QssResult result = InsertFree(current, &hint); QssFailed(result)) return result;
        if (next < current) hint = 0;
        SetNext(before, next);
        ++index;
        ++found;
      } else {
        before = current;
      }
      current = next;
    }
    if (found == 0) ++index;  // a listed block that is not in the chain
  }
  return kQssOk;
}

bool CBlockAllocationTable::PlanGrowth(std::int64_t wanted, std::int64_t* tableTail) {
  const std::int64_t perBlock = blockSize_ / entryWidth_;
  std::int64_t blocks = entries_->blockCount();
  while (wanted > 0) {
    const std::int64_t added = (wanted * entryWidth_ - 1) / blockSize_ + 1;
    const std::int64_t usable = added * perBlock - added;
    if (usable <= 0) return false;
    blocks += added;
    wanted -= std::min(usable, wanted);
  }
  // Entries must be able to name every block they describe.
  const std::int64_t largest = entryWidth_ == 2 ? std::numeric_limits<std::int16_t>::max()
                               : entryWidth_ == 4 ? std::numeric_limits<std::int32_t>::max()
                                                  : std::numeric_limits<std::int64_t>::max();
  if (blocks > std::numeric_limits<std::int32_t>::max() || blocks * perBlock - 1 > largest)
    return false;
  return FindTableTail(tableTail);
}

bool CBlockAllocationTable::FindTableTail(std::int64_t* tail) {
  if (!tableChainKnown_) {
    tableChainBlocks_.clear();
    std::int64_t current = tableStart_;
    for (std::int64_t steps = 0;; ++steps) {
      std::int64_t next = kNoBlock;
      if (steps >= EntryCount() || !FollowLink(current, &next)) return false;  // broken, or a cycle
      tableChainBlocks_.push_back(current);
      if (next == kNoBlock) break;
      current = next;
    }
    tableTail_ = current;
    std::sort(tableChainBlocks_.begin(), tableChainBlocks_.end());
    tableChainKnown_ = true;
  }
  *tail = tableTail_;
  return true;
}

QssResult CBlockAllocationTable::Grow(std::int64_t wanted, std::int64_t* tableTail, std::int64_t* firstFree) {
  CLockGuard guard(lock_);
  const std::int64_t oldBytes = static_cast<std::int64_t>(entries_->blockCount()) * blockSize_;
  const std::int64_t old = oldBytes / entryWidth_;
  const std::int64_t added = (wanted * entryWidth_ - 1) / blockSize_ + 1;
  if (entries_->Resize(oldBytes + added * blockSize_) < 0) return kQssTableCannotGrow;
  entries_->SetAt(entries_->elementCount() - 1, kNoBlock);
  // The first new blocks describe the rest: they join the table's chain, and
  // the index chain already links them to each other. Their numbers lie past
  // every block before, so the known chain stays ascending. The two links
  // are written to the array directly: SetNext would forget the very chain
  // this extends.
  const bool known = tableChainKnown_ && *tableTail == tableTail_;
  entries_->SetAt(*tableTail, old);
  entries_->SetAt(old + added - 1, kNoBlock);
  *tableTail = old + added - 1;
  tableChainKnown_ = known;
  if (known) {
    for (std::int64_t block = old; block < old + added; ++block) tableChainBlocks_.push_back(block);
    tableTail_ = *tableTail;
  }
  SetNext(0, old + added);
  *firstFree = old + added;
  dirty_ = true;
  return kQssOk;
}

QssResult CBlockAllocationTable::AllocateBlocks(std::int64_t start, std::int32_t count, std::int64_t* out,
                                                std::int32_t* allocated) {
  CLockGuard guard(lock_);
  if (allocated) *allocated = 0;
  if (count == 0) return kQssOk;
  if (count < 0) return kQssInvalidArgument;
  if (!CanRecordChanges()) return kQssTableCannotGrow;

  // Everything that could be corrupt is checked before the table changes:
  // the chain to append to, and the free blocks that will be taken.
  std::int64_t tail = kNoBlock;
  if (start != kNoBlock && (!IsBlock(start) || !FindTail(start, &tail))) return kQssNotAContainer;
  // The free blocks to take are collected in one walk, then checked: the
  // free list ascends, and the chain's tail cannot be on it.
  std::int64_t free = kNoBlock;  // the first free block not taken
  if (!FollowLink(0, &free)) return kQssNotAContainer;
  std::int32_t available = 0;
  if (free != kNoBlock) {
    bool broken = false;
    available = entries_->FollowChain(free, count, out, &broken);
    if (broken) return kQssNotAContainer;
    for (std::int32_t i = 0; i < available; ++i) {
      if ((i > 0 && out[i] <= out[i - 1]) || out[i] == tail) return kQssNotAContainer;
    }
    free = available < count ? kNoBlock : GetNext(out[count - 1]);
  }
  std::int64_t tableTail = kNoBlock;
  if (available < count && !growthAllowed_) return kQssNoRoomInPlace;
  if (available < count && !PlanGrowth(count - available, &tableTail)) return kQssTableCannotGrow;

  // Blocks taken from the head of the free list are already linked to each
  // other in that order: the new chain only needs its two ends changed. The
  // blocks a growth adds are linked the same way (each to the next), and
  // they are consecutive, so they are counted rather than walked.
  std::int32_t taken = available;
  while (taken < count) {
    std::int64_t first = kNoBlock;
    if (QssResult result = Grow(count - taken, &tableTail, &first); QssFailed(result)) return result;
    if (taken > 0) SetNext(out[taken - 1], first);
    const std::int64_t end = entries_->elementCount();
    const auto used = static_cast<std::int32_t>(std::min<std::int64_t>(count - taken, end - first));
    if (used <= 0) return kQssTableCannotGrow;  // PlanGrowth rules this out
    for (std::int32_t i = 0; i < used; ++i) out[taken++] = first + i;
    free = first + used < end ? first + used : kNoBlock;
  }
  SetNext(out[count - 1], kNoBlock);
  if (tail != kNoBlock) SetNext(tail, out[0]);
  SetNext(0, free);
  // Free blocks are ascending, and a growth adds blocks past all others.
  const std::int64_t highest = out[count - 1];
  if (allocated) *allocated = taken;
  dirty_ = true;
  // The blocks are handed out even when the flush or the growth below fails:
  // the memory table already links them, and the caller learns of the
  // failure and records nothing that depends on them.
  const QssResult flushed = writeBehind_ ? kQssOk : Flush();

  const std::int64_t end = BlockPosition(highest) + blockSize_;
  std::int64_t size = 0;
  QssResult grown = physical_->GetSize(&size);
  if (QssSucceeded(grown) && end > size) grown = physical_->SetSize(end);
  return QssFailed(flushed) ? flushed : grown;
}

QssResult CBlockAllocationTable::PlanTransfer(bool writing, std::int64_t start, std::int64_t offset,
                                              std::int32_t count, std::vector<ChainRun>* runs) {
  runs->clear();
  if (count < 0 || offset < 0 || offset > std::numeric_limits<std::int64_t>::max() - count)
    return kQssInvalidArgument;
  if (count == 0) return kQssOk;
  if (!IsBlock(start)) return start == kNoBlock && !writing ? kQssOk : kQssNotAContainer;

  // Skip whole blocks. A walk longer than the table is a cycle.
  std::int64_t current = start;
  std::int64_t passed = start;  // the last block walked over; the tail once current runs out
  for (std::int64_t steps = 0; offset >= blockSize_ && current != kNoBlock; ++steps) {
    passed = current;
    if (steps >= EntryCount() || !FollowLink(passed, &current)) return kQssNotAContainer;
    offset -= blockSize_;
  }
  if (current == kNoBlock && !writing) return kQssOk;  // the chain ends before the offset

  // The blocks the transfer touches. Past the chain's end only a write gets
  // here, and it appends every block up to its end position.
  const std::int64_t span = (count + offset - 1) / blockSize_ + 1;
  if (span > std::numeric_limits<std::int32_t>::max() - 1) return kQssInvalidArgument;
  ScratchVector<std::int64_t> blockScratch(&spareBlocks_);
  std::vector<std::int64_t>& blocks = *blockScratch;
  blocks.assign(static_cast<std::size_t>(span) + 1, kNoBlock);
  std::int32_t have = 0;
  if (current != kNoBlock) {
    if (QssResult result = GetChain(current, static_cast<std::int32_t>(span), blocks.data(), &have);
        QssFailed(result))
      return result;
  }
  if (writing && have < span) {
    // The walks above ended at the chain's tail; appending from there spares
    // AllocateBlocks a second walk from the start.
    const std::int64_t tail = have > 0 ? blocks[static_cast<std::size_t>(have) - 1] : passed;
    if (QssResult result =
            AllocateBlocks(tail, static_cast<std::int32_t>(span - have), blocks.data() + have, nullptr);
        QssFailed(result))
      return result;
    have = static_cast<std::int32_t>(span);
  }

  // One run per stretch of consecutive blocks.
  std::int64_t index = offset / blockSize_;
  std::int64_t within = offset % blockSize_;
  std::int64_t planned = 0;
  while (index < have && planned < count) {
    std::int64_t run = 1;
    while (index + run < have && blocks[index + run] == blocks[index + run - 1] + 1) ++run;
    const std::int64_t length = std::min<std::int64_t>(count - planned, run * blockSize_ - within);
    runs->push_back(ChainRun{BlockPosition(blocks[index]) + within, static_cast<std::uint32_t>(length)});
    planned += length;
    index += run;
    within = 0;
  }
  return kQssOk;
}

QssResult CBlockAllocationTable::ReadChain(std::int64_t start, std::int64_t offset, std::int32_t count, void* buffer,
                                           std::int32_t* done) {
  CLockGuard guard(lock_);
  if (done) *done = 0;
  ScratchVector<ChainRun> runScratch(&spareRuns_);
  std::vector<ChainRun>& runs = *runScratch;
  if (QssResult result = PlanTransfer(false, start, offset, count, &runs); QssFailed(result) || runs.empty())
    return result;
  // The runs go to the byte array together: a scattered chain costs one
  // request per run otherwise. A run cut short ends the transfer (done
  // counts one contiguous stretch of the buffer).
  ScratchVector<ReadPiece> pieceScratch(&sparePieces_);
  std::vector<ReadPiece>& pieces = *pieceScratch;
  pieces.resize(runs.size());
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    pieces[i] = ReadPiece{runs[i].position, bytes, runs[i].length};
    bytes += runs[i].length;
  }
  std::uint32_t moved = 0;
  const QssResult result = physical_->ReadPieces(pieces.data(), pieces.size(), &moved);
  if (done) *done = static_cast<std::int32_t>(std::min<std::uint32_t>(moved, static_cast<std::uint32_t>(count)));
  return result;
}

QssResult CBlockAllocationTable::WriteChain(std::int64_t start, std::int64_t offset, std::int32_t count,
                                            const void* buffer, std::int32_t* done) {
  CLockGuard guard(lock_);
  if (done) *done = 0;
  ScratchVector<ChainRun> runScratch(&spareRuns_);
  std::vector<ChainRun>& runs = *runScratch;
  if (QssResult result = PlanTransfer(true, start, offset, count, &runs); QssFailed(result)) return result;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  QssResult result = kQssOk;
  std::int32_t transferred = 0;
  for (const ChainRun& run : runs) {
    std::uint32_t moved = 0;
    result = physical_->WriteAt(run.position, bytes + transferred, run.length, &moved);
    transferred += static_cast<std::int32_t>(std::min(moved, run.length));
    // A write the byte array cut short without a reason is still a failure:
    // the caller's bytes are not all stored.
    if (QssSucceeded(result) && moved < run.length) result = kQssWriteFault;
    if (QssFailed(result)) break;
  }
  if (done) *done = transferred;
  return result;
}

QssResult CBlockAllocationTable::CopyChainToHandle(std::int64_t start, std::int64_t offset, std::int32_t count,
                                                   std::intptr_t target, void* buffer, ChainCopyState* state,
                                                   std::int32_t* done) {
  CLockGuard guard(lock_);
  if (done) *done = 0;
  ScratchVector<ChainRun> runScratch(&spareRuns_);
  std::vector<ChainRun>& runs = *runScratch;
  if (QssResult result = PlanTransfer(false, start, offset, count, &runs); QssFailed(result) || runs.empty())
    return result;

  std::int32_t transferred = 0;
  // Short runs gather and leave together (by the kernel from the store, or
  // through buffer in one write); a long one first sends what gathered
  // before it, then moves in the kernel.
  ScratchVector<ReadPiece> pieceScratch(&sparePieces_);
  std::vector<ReadPiece>& gathered = *pieceScratch;
  std::uint32_t gatheredBytes = 0;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  QssResult result = kQssOk;
  const auto sendGathered = [&]() {
    if (gathered.empty()) return true;
    // The kernel moves the pieces where it can; what it refused is read
    // into the buffer from its start and written from there.
    std::uint32_t moved = 0;
    bool refused = false;
    result = physical_->CopyPiecesToHandle(gathered.data(), gathered.size(), target, &moved, &refused);
    transferred += static_cast<std::int32_t>(std::min(moved, gatheredBytes));
    // Fewer bytes without a refusal is a write that did not complete.
    if (QssSucceeded(result) && !refused && moved < gatheredBytes) result = kQssWriteFault;
    if (QssFailed(result) || !refused) {
      gathered.clear();
      gatheredBytes = 0;
      if (QssFailed(result)) state->targetFailed = true;
      return QssSucceeded(result);
    }
    std::size_t first = 0;
    while (first < gathered.size() && moved >= gathered[first].length) moved -= gathered[first++].length;
    std::uint32_t wanted = 0;
    for (std::size_t i = first; i < gathered.size(); ++i) {
      ReadPiece& piece = gathered[i];
      if (i == first) {
        piece.offset += moved;
        piece.length -= moved;
      }
      piece.buffer = bytes + wanted;
      wanted += piece.length;
    }
    std::uint32_t got = 0;
    result = physical_->ReadPieces(gathered.data() + first, gathered.size() - first, &got);
    gathered.clear();
    gatheredBytes = 0;
    std::uint32_t written = 0;
    const QssResult sent = got > 0 ? native_file::WriteToHandle(target, bytes, got, &written) : kQssOk;
    transferred += static_cast<std::int32_t>(written);
    if (QssFailed(sent) || written < got) {
      state->targetFailed = true;
      result = QssFailed(sent) ? sent : kQssWriteFault;
      return false;
    }
    return QssSucceeded(result) && got == wanted;
  };
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const ChainRun& run = runs[i];
    if (!state->kernelRefused && run.length >= kKernelCopyMinimum) {
      if (!sendGathered()) break;
      std::uint32_t moved = 0;
      bool refused = false;
      result = physical_->CopyToHandle(run.position, run.length, target, &moved, &refused);
      transferred += static_cast<std::int32_t>(std::min(moved, run.length));
      if (QssFailed(result)) {
        state->targetFailed = true;
        break;
      }
      if (!refused) {
        if (moved < run.length) break;
        continue;
      }
      // What did not move goes the plain way, now and for the rest of the copy.
      state->kernelRefused = true;
      if (moved > 0) {
        gathered.push_back(ReadPiece{run.position + moved, bytes + gatheredBytes, run.length - moved});
        gatheredBytes += run.length - moved;
        continue;
      }
    }
    gathered.push_back(ReadPiece{run.position, bytes + gatheredBytes, run.length});
    gatheredBytes += run.length;
  }
  if (QssSucceeded(result)) sendGathered();
  if (done) *done = std::min(transferred, count);
  return result;
}

void CBlockAllocationTable::SetGrowthAllowed(bool allowed) {
  CLockGuard guard(lock_);
  growthAllowed_ = allowed;
}

void CBlockAllocationTable::SetWriteBehind(bool writeBehind) {
  CLockGuard guard(lock_);
  writeBehind_ = writeBehind;
}

void CBlockAllocationTable::CollectChain(std::int64_t start, std::unordered_set<std::int64_t>* seen,
                                         std::vector<std::int64_t>* out) {
  CLockGuard guard(lock_);
  std::int64_t current = start;
  for (std::int64_t steps = 0; steps < EntryCount() && IsBlock(current); ++steps) {
    if (!seen->insert(current).second) return;
    out->push_back(current);
    if (!FollowLink(current, &current)) return;
  }
}

QssResult CBlockAllocationTable::FreeInTwoPasses(const std::vector<std::int64_t>& blocks) {
  CLockGuard guard(lock_);
  if (blocks.empty()) return kQssOk;
  if (!CanRecordChanges()) return kQssTableCannotGrow;
  // The merged list, planned before anything changes: each freed block's
  // final successor (first pass), and each free entry that comes to link
  // to a freed block (second pass).
  std::vector<std::pair<std::int64_t, std::int64_t>> freedLinks;
  std::vector<std::pair<std::int64_t, std::int64_t>> entryLinks;
  std::int64_t previous = 0;
  std::int64_t next = kNoBlock;
  if (!FollowLink(0, &next)) return kQssNotAContainer;
  std::int64_t steps = 0;
  std::size_t i = 0;
  while (i < blocks.size()) {
    const std::int64_t block = blocks[i];
    if (!IsBlock(block) || (i > 0 && block <= blocks[i - 1])) return kQssInvalidArgument;
    while (next != kNoBlock && next < block) {
      std::int64_t after = kNoBlock;
      if (++steps > EntryCount() || !FollowLink(next, &after) || (after != kNoBlock && after <= next))
        return kQssNotAContainer;
      previous = next;
      next = after;
    }
    if (next == block) {
      ++i;
      continue;
    }
    // A run of freed blocks that all go between previous and next.
    std::int64_t last = block;
    for (++i; i < blocks.size() && (next == kNoBlock || blocks[i] < next); ++i) {
      if (blocks[i] <= last || !IsBlock(blocks[i])) return kQssInvalidArgument;
      freedLinks.emplace_back(last, blocks[i]);
      last = blocks[i];
    }
    freedLinks.emplace_back(last, next);
    entryLinks.emplace_back(previous, block);
    previous = last;
  }
  if (QssResult result = Flush(); QssFailed(result)) return result;
  for (const auto& [entry, value] : freedLinks) SetNext(entry, value);
  dirty_ = true;
  if (QssResult result = Flush(); QssFailed(result)) return result;
  if (QssResult result = physical_->Flush(); QssFailed(result)) return result;
  for (const auto& [entry, value] : entryLinks) SetNext(entry, value);
  dirty_ = true;
  return Flush();
}

QssResult CBlockAllocationTable::CopyHandleToChain(std::int64_t start, std::int64_t offset, std::int32_t count,
                                                   std::intptr_t source, std::int64_t sourceOffset, bool* refused,
                                                   std::int32_t* done) {
  CLockGuard guard(lock_);
  if (done) *done = 0;
  *refused = false;
  if (sourceOffset < 0 || sourceOffset > std::numeric_limits<std::int64_t>::max() - count) return kQssInvalidArgument;
  ScratchVector<ChainRun> runScratch(&spareRuns_);
  std::vector<ChainRun>& runs = *runScratch;
  if (QssResult result = PlanTransfer(true, start, offset, count, &runs); QssFailed(result)) return result;
  QssResult result = kQssOk;
  std::int32_t transferred = 0;
  for (const ChainRun& run : runs) {
    std::uint32_t moved = 0;
    bool declined = false;
    result = physical_->CopyFromHandle(run.position, run.length, source, sourceOffset + transferred, &moved,
                                       &declined);
    transferred += static_cast<std::int32_t>(std::min(moved, run.length));
    if (QssFailed(result)) break;
    if (declined) {
      *refused = true;
      break;
    }
    if (moved < run.length) break;  // the source ended
  }
  if (done) *done = transferred;
  return result;
}

QssResult CBlockAllocationTable::Flush() {
  CLockGuard guard(lock_);
  if (!dirty_ || !entries_) return kQssOk;
  if (!CanRecordChanges()) return kQssTableCannotGrow;
  dirty_ = false;
  QssResult first = kQssOk;
  // One walk along the table's chain: its n-th block holds array block n.
  std::int64_t block = tableStart_;
  std::int32_t n = 0;
  for (; n < entries_->blockCount() && IsBlock(block); ++n) {
    CMultiBlockArrayBlock* arrayBlock = entries_->GetBlock(n);
    if (arrayBlock->dirty) {
      std::uint32_t written = 0;
      QssResult result = physical_->WriteAt(BlockPosition(block), arrayBlock->GetData(),
                                            static_cast<std::uint32_t>(blockSize_), &written);
      if (QssSucceeded(result) && written != static_cast<std::uint32_t>(blockSize_))
        result = kQssWriteFault;
      // A block that did not reach the byte array stays dirty, and so does
      // the table, so that the next flush writes it again; forgetting it
      // would leave chains on disk that the memory table no longer knows.
      if (QssSucceeded(result)) {
        arrayBlock->dirty = false;
      } else {
        dirty_ = true;
        if (QssSucceeded(first)) first = result;
      }
    }
    if (!FollowLink(block, &block)) block = kNoBlock;
  }
  // A table chain shorter than the memory table has no place for the rest.
  for (; n < entries_->blockCount(); ++n) {
    if (!entries_->GetBlock(n)->dirty) continue;
    dirty_ = true;
    if (QssSucceeded(first)) first = kQssNotAContainer;
  }
  return first;
}

}  // namespace qss

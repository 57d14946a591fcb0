#include "qss/CStream.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "qss/CLockGuard.h"
#include "Container/CBlockAllocationTable.h"
#include "Container/CBlockChainCache.h"
#include "qss/CStorage.h"  // only to hold the parent as a reference-counted object
#include "qss/CStorageEntry.h"

namespace qss {

CStream::CStream() = default;

CStream::~CStream() {
  chainCache_.reset();
  // A stream destroyed without its last Release still gives back what it
  // holds; after FinalRelease nothing is left to give back.
  CStream::FinalRelease();
}

void CStream::FinalRelease() {
  table_.Reset();
  if (entry_) {
    entry_->open = false;
    entry_.Reset();
  }
  parent_.Reset();
}

QssResult CStream::Attach(CStorage* parent, CBlockAllocationTable* table, CStorageEntry* entry) {
  if (table == nullptr || entry == nullptr || table_) return kQssInvalidArgument;
  table_ = CQssRef<CBlockAllocationTable>(table);
  parent_ = CQssRef<CStorage>(parent);
  entry_ = CQssRef<CStorageEntry>(entry);
  position_ = 0;
  entry_->open = true;
  chainCache_ = std::make_unique<CBlockChainCache>(table_.get(), entry_.get());
  chainCache_->TrimToSize();
  return kQssOk;
}

QssResult CStream::Write(const void* buffer, std::int32_t count, std::uint32_t* written) {
  return WriteThrough(count, written, [&](std::int64_t block, std::int64_t offset, std::int32_t* done) {
    return table_->WriteChain(block, offset, count, buffer, done);
  });
}

QssResult CStream::WriteFromFile(std::int32_t count, std::intptr_t source, std::int64_t sourceOffset,
                                 FileCopyState* state, std::uint32_t* written) {
  if (written) *written = 0;
  if (state == nullptr) return kQssInvalidPointer;
  if (state->kernelRefused) return kQssOk;
  return WriteThrough(count, written, [&](std::int64_t block, std::int64_t offset, std::int32_t* done) {
    bool refused = false;
    const QssResult result = table_->CopyHandleToChain(block, offset, count, source, sourceOffset, &refused, done);
    if (refused) state->kernelRefused = true;
    return result;
  });
}

template <typename Transfer>
QssResult CStream::WriteThrough(std::int32_t count, std::uint32_t* written, Transfer transfer) {
  if (written) *written = 0;
  if (entry_ && entry_->readOnly) return kQssReadOnly;
  CLockGuard guard(lock_);
  if (count <= 0) return kQssOk;
  if (!entry_ || !table_) return kQssInvalidRequest;
  if (entry_->HeadOffset() < 0 || entry_->Size() < 0) return kQssNotAContainer;
  // Writing before the first readable byte, or so far out that the end
  // position cannot be counted, is not a valid request.
  if (position_ < entry_->HeadOffset() || position_ > std::numeric_limits<std::int64_t>::max() - count)
    return kQssInvalidArgument;

  if (entry_->FirstBlock() == kNoBlock) {
    std::int64_t first = kNoBlock;
    if (QssResult result = table_->AllocateBlocks(kNoBlock, 1, &first, nullptr); QssFailed(result)) return result;
    entry_->SetFirstBlock(first);
  }
  std::int64_t block = kNoBlock;
  std::int64_t offset = 0;
  // A write in the chain's first block starts there without a map of the
  // chain: the transfer walks the chain itself, and a stream written whole
  // would otherwise be walked twice.
  const std::int64_t intoChain = position_ - chainCache_->base();
  if (intoChain >= 0 && intoChain < table_->blockSize()) {
    block = entry_->FirstBlock();
    offset = intoChain;
  } else {
    chainCache_->MapPosition(position_, &block, &offset);
  }
  std::int32_t done = 0;
  const QssResult result = transfer(block, offset, &done);
  if (result == kQssOk) {
    position_ += done;
    if (position_ > entry_->Size()) {
      entry_->SetSize(position_);
      chainCache_->TrimToSize();
    }
  }
  if (written) *written = static_cast<std::uint32_t>(done);
  return result;
}

QssResult CStream::PlanRead(std::int32_t count, std::int64_t* block, std::int64_t* offset, std::int64_t* wanted) {
  *wanted = 0;
  if (count < 0) return kQssInvalidArgument;
  if (!entry_ || !table_) return kQssInvalidRequest;
  if (entry_->HeadOffset() < 0) return kQssNotAContainer;
  if (position_ < entry_->HeadOffset()) return kQssBeforeHead;
  const std::int64_t size = entry_->Size();
  if (position_ >= size) return kQssOk;
  std::int64_t length = count;
  if (length > size - position_) length = size - position_;
  if (length == 0) return kQssOk;
  // A length field may claim far more than the container holds while the
  // chain runs in a circle; a read past what distinct blocks can hold is
  // answered like a chain that ends early.
  const std::int64_t blockSize = table_->blockSize();
  const std::int64_t intoChain = position_ - chainCache_->base();  // not negative: position is past the head
  const std::int64_t blocksLeft = table_->ChainCapacity() - intoChain / blockSize;
  if (blocksLeft <= 0) return kQssNotAContainer;
  if (blocksLeft <= length / blockSize + 1)
    length = std::min(length, blocksLeft * blockSize - intoChain % blockSize);

  chainCache_->MapPosition(position_, block, offset);
  // Mapping loads the chain as far as the position, which finds a cycle on
  // the way: the chain holds nothing from its first repeated block on.
  const std::int64_t beforeCycle = chainCache_->BytesBeforeCycle(position_);
  if (beforeCycle == 0) return kQssNotAContainer;
  *wanted = std::min(length, beforeCycle);
  return kQssOk;
}

QssResult CStream::Read(void* buffer, std::int32_t count, std::uint32_t* read) {
  CLockGuard guard(lock_);
  if (read) *read = 0;
  std::int64_t block = kNoBlock;
  std::int64_t offset = 0;
  std::int64_t wanted = 0;
  if (QssResult planned = PlanRead(count, &block, &offset, &wanted); QssFailed(planned) || wanted == 0)
    return planned;
  std::int32_t got = 0;
  QssResult result = table_->ReadChain(block, offset, static_cast<std::int32_t>(wanted), buffer, &got);
  // A chain that ends before the recorded length would otherwise answer
  // every later read with nothing and success.
  if (result == kQssOk && got == 0) result = kQssNotAContainer;
  if (QssSucceeded(result)) position_ += got;
  if (read) *read = static_cast<std::uint32_t>(got);
  return result;
}

QssResult CStream::ReadToFile(std::int32_t count, std::intptr_t target, void* buffer, FileCopyState* state,
                              std::uint32_t* read) {
  CLockGuard guard(lock_);
  if (read) *read = 0;
  if (state == nullptr || buffer == nullptr) return kQssInvalidPointer;
  std::int64_t block = kNoBlock;
  std::int64_t offset = 0;
  std::int64_t wanted = 0;
  if (QssResult planned = PlanRead(count, &block, &offset, &wanted); QssFailed(planned) || wanted == 0)
    return planned;
  ChainCopyState chain{state->kernelRefused, false};
  std::int32_t got = 0;
  QssResult result = table_->CopyChainToHandle(block, offset, static_cast<std::int32_t>(wanted), target, buffer,
                                               &chain, &got);
  state->kernelRefused = chain.kernelRefused;
  state->targetFailed = chain.targetFailed;
  if (result == kQssOk && got == 0) result = kQssNotAContainer;
  // Bytes that reached the file are past, whatever happened after them.
  position_ += got;
  if (read) *read = static_cast<std::uint32_t>(got);
  return result;
}

QssResult CStream::SetSize(std::int64_t newSize) {
  CLockGuard guard(lock_);
  if (!entry_ || !table_) return kQssInvalidRequest;
  if (newSize < 0) return kQssInvalidArgument;
  const std::int64_t size = entry_->Size();
  const std::int64_t headOffset = entry_->HeadOffset();
  if (size < 0 || headOffset < 0) return kQssNotAContainer;
  const std::int32_t blockSize = table_->blockSize();
  QssResult result = kQssOk;

  if (newSize > size) {
    const std::int64_t missing = BlocksFor(newSize, blockSize) - BlocksFor(size, blockSize);
    if (missing > std::numeric_limits<std::int32_t>::max()) return kQssInvalidArgument;
    if (missing > 0) {
      std::vector<std::int64_t> added(static_cast<std::size_t>(missing));
      result = table_->AllocateBlocks(entry_->FirstBlock(), static_cast<std::int32_t>(missing), added.data(),
                                      nullptr);
      // A failed growth leaves the length as it was: the blocks are not there.
      if (QssFailed(result)) return result;
      if (entry_->FirstBlock() == kNoBlock) entry_->SetFirstBlock(added[0]);
    }
  } else if (newSize == 0) {
    result = table_->FreeBlocks(entry_->FirstBlock(), -1, nullptr);
    if (QssFailed(result)) return result;
    entry_->SetFirstBlock(kNoBlock);
  } else {
    const std::int64_t head = headOffset / blockSize;
    const std::int64_t keep = BlocksFor(newSize, blockSize) - head;
    const std::int64_t have = BlocksFor(size, blockSize) - head;
    if (keep < have) {
      // The length field is not trusted to size the list: no chain is longer
      // than the table.
      if (have > table_->EntryCount() || have > std::numeric_limits<std::int32_t>::max() - 1)
        return kQssNotAContainer;
      std::vector<std::int64_t> chain(static_cast<std::size_t>(have) + 1, kNoBlock);
      std::int32_t got = 0;
      result = table_->GetChain(entry_->FirstBlock(), static_cast<std::int32_t>(have), chain.data(), &got);
      if (QssFailed(result)) return result;
      if (got > keep) {
        const std::int64_t keepAtLeastOne = keep > 0 ? keep : 1;
        result = table_->FreeBlocks(entry_->FirstBlock(), static_cast<std::int32_t>(got - keepAtLeastOne),
                                    chain.data() + keepAtLeastOne);
        if (QssFailed(result)) return result;
      }
    }
  }
  entry_->SetSize(newSize);
  chainCache_->TrimToSize();
  return result;
}

QssResult CStream::Seek(std::int64_t offset, std::int32_t origin, std::int64_t* newPosition) {
  CLockGuard guard(lock_);
  // Positions wrap instead of overflowing; Read and Write refuse the
  // positions they cannot serve.
  const auto add = [](std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
  };
  const auto subtract = [](std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
  };
  switch (origin) {
    case kSeekBegin: position_ = offset; break;
    case kSeekCurrent: position_ = add(position_, offset); break;
    case kSeekEnd: position_ = subtract(entry_ ? entry_->Size() : 0, offset); break;
    default: break;
  }
  if (newPosition) *newPosition = position_;
  return kQssOk;
}

}  // namespace qss

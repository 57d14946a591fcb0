// CBlockAllocationTable: the container's single authority over blocks.
//
// A container is a 256-byte header followed, from dataOffset on, by
// equal-sized blocks numbered from 1. The allocation table holds one entry
// per block: the next block of that block's chain, or -1 at the chain's end.
// Free blocks form one more chain, ascending, anchored at entry 0. The table
// itself is stored in its own chain starting at tableStart.
//
// The table checks the header, loads the whole table into memory, follows
// chains, reads and writes bytes at any offset of a chain (one transfer per
// run of consecutive blocks), allocates and frees blocks, and writes changed
// table blocks back. A table that fails to open records valid = false and
// status = the reason; its creator reads both and discards it.
//
// Untrusted input: every walk is bounded by the number of table entries. A
// stored value at/after the entry count refuses the container at open; one
// below -1 is a broken link that fails the walks that meet it
// (kQssNotAContainer); neither is ever used as an index.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CBLOCKALLOCATIONTABLE_H_
#define STRUCTUREDSTORAGE_CONTAINER_CBLOCKALLOCATIONTABLE_H_

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "Format/Format.h"
#include "qss/CLock.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"
#include "qss/CQssRefCountedObject.h"
#include "qss/ResultCodes.h"

namespace qss {

class CMultiBlockArrayBase;
class CPhysicalByteArray;

// Blocks that hold length bytes; length is not negative.
inline std::int64_t BlocksFor(std::int64_t length, std::int64_t blockSize) {
  return length / blockSize + (length % blockSize != 0 ? 1 : 0);
}

// How a copy of chains into a file is going, across its calls.
struct ChainCopyState {
  // The system would not copy between these files in the kernel: the rest
  // goes through the buffer.
  bool kernelRefused = false;
  // The failure came from writing the target.
  bool targetFailed = false;
};

class CBlockAllocationTable : public CQssRefCountedObject {
 public:
  // Checks the header and loads the table; takes a reference to physical.
  explicit CBlockAllocationTable(CPhysicalByteArray* physical);
  ~CBlockAllocationTable() override;

  // The entry array of the width given (2, 4 or 8), one block long, whose
  // free list runs 1 -> 2 -> ... -> E-1 -> -1; null for any other width.
  static std::unique_ptr<CMultiBlockArrayBase> CreateEntryArray(std::int32_t entryWidth, std::int32_t blockSize);

  // The next block of block's chain; -1 for -1. Caller holds lock().
  std::int64_t GetNext(std::int64_t block);
  // Caller holds lock().
  void SetNext(std::int64_t block, std::int64_t value);

  // Stores start, its successor, ... into out (at most maxCount numbers; a -1
  // met before that is stored too). *count gets the real block numbers.
  QssResult GetChain(std::int64_t start, std::int32_t maxCount, std::int64_t* out, std::int32_t* count);
  // count -1: frees the whole chain from start. Otherwise frees the count
  // listed blocks of that chain (not start itself) and unlinks them. Without
  // a table chain the change could not be stored: kQssTableCannotGrow,
  // nothing changed.
  QssResult FreeBlocks(std::int64_t start, std::int32_t count, const std::int64_t* list);
  // Appends count blocks to the chain that contains start, or builds a new
  // chain when start is -1; out receives the new blocks in chain order (on a
  // failure, what it holds means nothing). A container without a table chain
  // (tableStart -1) cannot record new blocks: kQssTableCannotGrow, nothing
  // changed.
  QssResult AllocateBlocks(std::int64_t start, std::int32_t count, std::int64_t* out, std::int32_t* allocated);
  // Transfer count bytes between buffer and the chain from start, beginning
  // offset bytes into it. WriteChain lengthens the chain as needed; a write
  // the byte array cuts short without a reason is kQssWriteFault (done says
  // how far it got).
  QssResult ReadChain(std::int64_t start, std::int64_t offset, std::int32_t count, void* buffer,
                      std::int32_t* done);
  QssResult WriteChain(std::int64_t start, std::int64_t offset, std::int32_t count, const void* buffer,
                       std::int32_t* done);
  // While false, AllocateBlocks hands out only blocks the table describes
  // already and answers a request for more with kQssNoRoomInPlace. An edit
  // in place turns growth off: new table blocks lengthen the table's chain
  // and the byte array, and the container opens only when both agree, which
  // no order of writes keeps true at every moment.
  void SetGrowthAllowed(bool allowed);
  // While true, AllocateBlocks leaves the changed table blocks to the next
  // Flush instead of writing them at once: for a new container that nobody
  // reads before it is committed, where a table block rewritten for every
  // small stream would cost as much as the stream. A failed write is then
  // the Flush's result, which the commit reports.
  void SetWriteBehind(bool writeBehind);
  // Appends to out the blocks of the chain from start that are not in seen,
  // adding them to seen. The walk stops at the chain's end, at a broken link
  // and at a block seen before (a cycle, or a chain that joins one already
  // collected), so it takes at most as many steps as the table has entries.
  void CollectChain(std::int64_t start, std::unordered_set<std::int64_t>* seen, std::vector<std::int64_t>* out);
  // Puts blocks (ascending, distinct, each a block of the table) into the
  // free list and writes the change in two flushes. The first writes only
  // the entries of the blocks being freed, each already linking to its
  // final successor; the second writes the entries before them. A failure
  // between any two writes leaves a free list that ascends and holds only
  // free blocks: the blocks not yet reached by it are merely lost. A block
  // already free is left where it is. The table must be clean (kQssOk from
  // Flush) before; when the first flush fails, the second is not made.
  QssResult FreeInTwoPasses(const std::vector<std::int64_t>& blocks);
  // Moves count bytes of the chain from start, offset bytes in, to target
  // (a descriptor or HANDLE open for writing) at its current position:
  // runs of at least kKernelCopyMinimum bytes inside the kernel where the
  // byte array and the system can, shorter ones read together into buffer
  // (count bytes long) and written at once. done counts the bytes written
  // to target; fewer than count with success means the chain ended.
  QssResult CopyChainToHandle(std::int64_t start, std::int64_t offset, std::int32_t count, std::intptr_t target,
                              void* buffer, ChainCopyState* state, std::int32_t* done);
  static constexpr std::uint32_t kKernelCopyMinimum = 64 * 1024;
  // The other way: count bytes of source (a descriptor or HANDLE open for
  // reading) from sourceOffset on, written into the chain from start,
  // offset bytes in, lengthening it as WriteChain does, every run moved
  // inside the kernel. *refused: the byte array or the system would not;
  // nothing more moved, and the caller writes the rest itself. done falls
  // short of count where source ends.
  QssResult CopyHandleToChain(std::int64_t start, std::int64_t offset, std::int32_t count, std::intptr_t source,
                              std::int64_t sourceOffset, bool* refused, std::int32_t* done);
  // Writes every changed table block back into the table's chain. A block
  // that does not reach the byte array stays dirty for the next flush; the
  // first failure is returned after every other changed block was tried.
  QssResult Flush();

  std::int32_t entryWidth() const { return entryWidth_; }
  std::int32_t blockSize() const { return blockSize_; }
  std::int32_t dataOffset() const { return dataOffset_; }
  std::int64_t tableStart() const { return tableStart_; }
  CPhysicalByteArray* physical() const { return physical_.get(); }
  CLock& lock() { return lock_; }
  bool valid() const { return valid_; }
  bool dirty() const { return dirty_; }
  QssResult status() const { return status_; }
  // The in-memory table, for inspection by tools and tests.
  CMultiBlockArrayBase* entries() const { return entries_.get(); }
  // Entries the table describes (blocks 0 to EntryCount() - 1). No chain is
  // longer than this; walks use it as their bound.
  std::int64_t EntryCount() const;
  // The most blocks a sound chain can have: its blocks are distinct and lie
  // inside the byte array (allocation extends the array over every block it
  // hands out). Reading further would only go round a damaged, circular
  // chain again.
  std::int64_t ChainCapacity();
  // Byte position of block in the byte array.
  std::int64_t BlockPosition(std::int64_t block) const;

 private:
  QssResult LoadTable();
  // A block number that may be used as a chain block.
  bool IsBlock(std::int64_t block) const;
  // The stored successor of block; false when block is out of range or the
  // stored value is neither -1 nor a block.
  bool FollowLink(std::int64_t block, std::int64_t* next);
  // The last block of the chain from start; false on corruption or a cycle.
  bool FindTail(std::int64_t start, std::int64_t* tail);
  // Puts block into the ascending free list, searching from *hint (a free
  // list position below block, 0 for the head); *hint becomes the position
  // just before block.
  QssResult InsertFree(std::int64_t block, std::int64_t* hint);
  // Whether changes to the table can be stored at all: a container without a
  // table chain has nowhere to write them, and in blocks one entry wide every
  // table block describes only itself (any block handed out would be a table
  // block).
  bool CanRecordChanges() const { return tableStart_ != -1 && blockSize_ >= 2 * entryWidth_; }
  // Whether the table can grow far enough to provide wanted more blocks; if
  // so, *tableTail is the last block of the table's chain.
  bool PlanGrowth(std::int64_t wanted, std::int64_t* tableTail);
  // Finds the last block of the table's chain, walking the chain only when
  // it is not known: every growth needs the tail, and the walk meets one
  // table block after another, each far from the last in memory.
  bool FindTableTail(std::int64_t* tail);
  // Adds enough table blocks for wanted blocks; the new ones beyond the table
  // blocks become the free list, which then holds the consecutive blocks
  // from *firstFree to the last the table describes, each linked to the
  // next.
  QssResult Grow(std::int64_t wanted, std::int64_t* tableTail, std::int64_t* firstFree);
  // A stretch of consecutive blocks that a transfer touches: its byte
  // position in the byte array and how many of its bytes the transfer moves.
  struct ChainRun {
    std::int64_t position;
    std::uint32_t length;
  };
  // The runs that hold count bytes of the chain from start, offset bytes in,
  // in chain order. Reading, they end where the chain does; writing
  // lengthens the chain as needed. Caller holds lock_.
  QssResult PlanTransfer(bool writing, std::int64_t start, std::int64_t offset, std::int32_t count,
                         std::vector<ChainRun>* runs);

  std::int32_t entryWidth_ = 0;
  std::int32_t blockSize_ = 0;
  std::int32_t dataOffset_ = 0;
  std::int64_t tableStart_ = -1;
  CQssRef<CPhysicalByteArray> physical_;
  std::unique_ptr<CMultiBlockArrayBase> entries_;
  CLock lock_;
  // Spare storage for the plans of transfers, kept from call to call
  // (Base/ScratchVector.h); guarded by lock_.
  std::vector<std::int64_t> spareBlocks_;
  std::vector<ChainRun> spareRuns_;
  std::vector<ReadPiece> sparePieces_;
  // The table's chain as last walked whole, its blocks ascending, and its
  // tail; Grow extends both. Any other change to the link of one of these
  // blocks (only a corrupt container shares them with another chain) makes
  // them unknown until the next walk.
  std::vector<std::int64_t> tableChainBlocks_;
  std::int64_t tableTail_ = -1;
  bool tableChainKnown_ = false;
  bool valid_ = false;
  bool dirty_ = false;
  bool growthAllowed_ = true;
  bool writeBehind_ = false;
  QssResult status_ = kQssOk;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_CONTAINER_CBLOCKALLOCATIONTABLE_H_

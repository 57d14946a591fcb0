// CStream: a byte sequence kept in a container as a chain of blocks.
//
// The stream's length, first block and head offset live in its directory
// entry; the blocks, links and transfers belong to the allocation table. The
// stream adds a current position, a cache of its block chain and a lock.
// CStorage, CRootStorage and CCompressedStream build on it.
//
// Life: construct (count 0), Attach, then any sequence of Write, Read,
// SetSize, Seek; the last Release runs FinalRelease (drops entry, table and
// parent, clears the entry's open flag) and destroys the stream.

#ifndef QSS_CSTREAM_H_
#define QSS_CSTREAM_H_

#include <cstdint>
#include <memory>

#include "qss/Export.h"
#include "qss/CLock.h"
#include "qss/CQssRefCountedObject.h"
#include "qss/ResultCodes.h"

namespace qss {

class CBlockAllocationTable;
class CBlockChainCache;
class CStorage;
class CStorageEntry;

// Seek origins.
inline constexpr std::int32_t kSeekBegin = 0;
inline constexpr std::int32_t kSeekCurrent = 1;
inline constexpr std::int32_t kSeekEnd = 2;  // the offset counts backwards from the end

// How a copy of a stream into a file is going, across ReadToFile calls.
struct FileCopyState {
  // The system would not copy these files' bytes in the kernel; the rest
  // of the copy goes through the caller's buffer.
  bool kernelRefused = false;
  // The last failure came from writing the file, not from reading the stream.
  bool targetFailed = false;
};

class QSS_EXPORT CStream : public CQssRefCountedObject {
 public:
  CStream();
  ~CStream() override;

  void FinalRelease() override;

  virtual QssResult Write(const void* buffer, std::int32_t count, std::uint32_t* written);
  virtual QssResult Read(void* buffer, std::int32_t count, std::uint32_t* read);
  virtual QssResult SetSize(std::int64_t newSize);
  virtual QssResult Seek(std::int64_t offset, std::int32_t origin, std::int64_t* newPosition);
  // Added after the original slots, which stay in their order.
  // Moves up to count bytes from the current position into the file target
  // (a descriptor on POSIX, a HANDLE on Windows, open for writing) at that
  // file's current position, as Read would deliver them: long runs of
  // blocks inside the kernel where the system can, the rest through buffer,
  // which holds count bytes. *read counts the bytes the file received, and
  // the position moves by as many. Start state with a fresh FileCopyState
  // and hand the same one to every call of one copy.
  virtual QssResult ReadToFile(std::int32_t count, std::intptr_t target, void* buffer, FileCopyState* state,
                               std::uint32_t* read);
  // The other way: up to count bytes of the file source (open for reading),
  // from sourceOffset on, written at the current position as Write would
  // store them, moved inside the kernel. It moves nothing and sets
  // state->kernelRefused where the system cannot (or the stream stores its
  // bytes otherwise, as a compressed stream does): the caller then writes
  // the rest itself. *written falls short of count where source ends; the
  // position and the size move as for Write.
  virtual QssResult WriteFromFile(std::int32_t count, std::intptr_t source, std::int64_t sourceOffset,
                                  FileCopyState* state, std::uint32_t* written);

  // Binds the stream: takes references to table, entry and (when not null)
  // parent, sets the entry's open flag, position 0, builds the chain cache.
  QssResult Attach(CStorage* parent, CBlockAllocationTable* table, CStorageEntry* entry);

  CStorageEntry* entry() const { return entry_; }
  CBlockAllocationTable* table() const { return table_; }
  CStorage* parent() const { return parent_; }
  CLock& lock() { return lock_; }
  std::int64_t position() const { return position_; }

 protected:
  // The checks of Read and where it starts: *block and *offset for the
  // table, *wanted the bytes it can deliver (0: nothing to read, or a
  // failure). Caller holds lock_.
  QssResult PlanRead(std::int32_t count, std::int64_t* block, std::int64_t* offset, std::int64_t* wanted);

  // Write and WriteFromFile: the checks, the first block, then transfer
  // (block, offset, &done) into the chain, then the position and the size.
  template <typename Transfer>
  QssResult WriteThrough(std::int32_t count, std::uint32_t* written, Transfer transfer);

  std::unique_ptr<CBlockChainCache> chainCache_;
  CBlockAllocationTable* table_ = nullptr;
  std::int64_t position_ = 0;
  CStorageEntry* entry_ = nullptr;
  CStorage* parent_ = nullptr;
  CLock lock_;
};

}  // namespace qss

#endif  // QSS_CSTREAM_H_

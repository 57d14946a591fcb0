#ifndef QSS_CSTREAM_H_
#define QSS_CSTREAM_H_

#include <cstdint>
#include <memory>

#include "qss/Export.h"
#include "qss/CLock.h"
#include "qss/CQssRef.h"
#include "qss/CQssRefCountedObject.h"
#include "qss/ResultCodes.h"

namespace qss {

class CBlockAllocationTable;
class CBlockChainCache;
class CStorage;
class CStorageEntry;

/// Seek origin: the offset counts from the start of the stream.
inline constexpr std::int32_t kSeekBegin = 0;
/// Seek origin: the offset counts from the current position.
inline constexpr std::int32_t kSeekCurrent = 1;
/// Seek origin: the offset counts backwards from the end.
inline constexpr std::int32_t kSeekEnd = 2;

/// How a copy of a stream into a file is going, across ReadToFile calls.
struct FileCopyState {
  /// The system would not copy these files' bytes in the kernel; the rest
  /// of the copy goes through the caller's buffer.
  bool kernelRefused = false;
  /// The last failure came from writing the file, not from reading the
  /// stream.
  bool targetFailed = false;
};

/// CStream: a byte sequence kept in a container as a chain of blocks.
///
/// The stream's length, first block and head offset live in its directory
/// entry; the blocks, links and transfers belong to the allocation table. The
/// stream adds a current position, a cache of its block chain and a lock.
/// CStorage, CRootStorage and CCompressedStream build on it.
///
/// Life: construct (count 0), Attach, then any sequence of Write, Read,
/// SetSize, Seek; the last Release runs FinalRelease (drops entry, table and
/// parent, clears the entry's open flag) and destroys the stream.
///
/// A stream holds references to its entry, its container's allocation table
/// and the storage it was opened from, so that all of them live as long as
/// the stream. Threads: every call takes the stream's lock, so one stream
/// may be used from several threads; its position is shared, so threads
/// that share a stream hold lock() (see CLockGuard) around a Seek and the
/// Reads that belong to it. Different streams of one container
/// may be read and written at the same time (their transfers meet under the
/// table's lock).
class QSS_EXPORT CStream : public CQssRefCountedObject {
 public:
  CStream();
  ~CStream() override;

  /// Drops the references to entry, table and parent and clears the entry's
  /// open flag.
  void FinalRelease() override;

  /// Writes count bytes at the current position, lengthening the stream as
  /// needed, and moves the position past them; *written (when given)
  /// receives the bytes written. kQssReadOnly for a stream opened for
  /// reading.
  virtual QssResult Write(const void* buffer, std::int32_t count, std::uint32_t* written);
  /// Reads up to count bytes at the current position and moves the position
  /// past them; *read (when given) receives the bytes read, 0 at the end. A
  /// chain that ends before the recorded length, or runs in a circle, is
  /// kQssNotAContainer; a position before the head offset kQssBeforeHead.
  virtual QssResult Read(void* buffer, std::int32_t count, std::uint32_t* read);
  /// Lengthens or shortens the stream to newSize bytes, allocating or
  /// freeing its blocks; a growth that fails leaves the length as it was.
  virtual QssResult SetSize(std::int64_t newSize);
  /// Moves the position by offset from origin (kSeekBegin, kSeekCurrent,
  /// kSeekEnd); *newPosition (when given) receives it. Any position is
  /// accepted; Read and Write refuse those they cannot serve.
  virtual QssResult Seek(std::int64_t offset, std::int32_t origin, std::int64_t* newPosition);
  // Added after the original slots, which stay in their order.

  /// Moves up to count bytes from the current position into the file
  /// target (a descriptor on POSIX, a HANDLE on Windows, open for writing)
  /// at that file's current position, as Read would deliver them: long runs
  /// of blocks inside the kernel where the system can, the rest through
  /// buffer, which holds count bytes. *read counts the bytes the file
  /// received, and the position moves by as many. Start state with a fresh
  /// FileCopyState and hand the same one to every call of one copy.
  virtual QssResult ReadToFile(std::int32_t count, std::intptr_t target, void* buffer, FileCopyState* state,
                               std::uint32_t* read);
  /// The other way: up to count bytes of the file source (open for
  /// reading), from sourceOffset on, written at the current position as
  /// Write would store them, moved inside the kernel. It moves nothing and
  /// sets state->kernelRefused where the system cannot (or the stream stores
  /// its bytes otherwise, as a compressed stream does): the caller then
  /// writes the rest itself. *written falls short of count where source
  /// ends; the position and the size move as for Write.
  virtual QssResult WriteFromFile(std::int32_t count, std::intptr_t source, std::int64_t sourceOffset,
                                  FileCopyState* state, std::uint32_t* written);

  /// For the library's own use (storages attach the streams they open):
  /// binds the stream, taking references to table, entry and (when not null)
  /// parent, sets the entry's open flag, position 0, builds the chain cache.
  QSS_INTERNAL QssResult Attach(CStorage* parent, CBlockAllocationTable* table, CStorageEntry* entry);

  /// The stream's directory entry (no reference added), or null before
  /// Attach.
  CStorageEntry* entry() const { return entry_.get(); }
  /// The container's allocation table, for the library's own use (see
  /// ContainerIdentity for telling containers apart).
  CBlockAllocationTable* table() const { return table_.get(); }
  /// The storage the stream was opened from (no reference added), or null
  /// for a root storage.
  CStorage* parent() const { return parent_.get(); }
  /// The lock every call of the stream takes (recursive).
  CLock& lock() { return lock_; }
  /// The current position.
  std::int64_t position() const { return position_; }

  /// @cond INTERNAL
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
  CQssRef<CBlockAllocationTable> table_;
  std::int64_t position_ = 0;
  CQssRef<CStorageEntry> entry_;
  CQssRef<CStorage> parent_;
  CLock lock_;
  /// @endcond
};

}  // namespace qss

#endif  // QSS_CSTREAM_H_

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

class QSS_EXPORT CStream : public CQssRefCountedObject {
 public:
  CStream();
  ~CStream() override;

  void FinalRelease() override;

  virtual QssResult Write(const void* buffer, std::int32_t count, std::uint32_t* written);
  virtual QssResult Read(void* buffer, std::int32_t count, std::uint32_t* read);
  virtual QssResult SetSize(std::int64_t newSize);
  virtual QssResult Seek(std::int64_t offset, std::int32_t origin, std::int64_t* newPosition);

  /// Seeks to position (counted from the start) and reads until count bytes
  /// are in buffer or a read brings nothing more, all under the stream's
  /// lock: threads sharing one stream can each read at their own position.
  /// *read receives the bytes read (fewer than count at the end of the
  /// stream or where a read fails). Returns the failure of the seek or of
  /// the read that stopped early, else the last read's result; a count
  /// below 0 is kQssInvalidArgument.
  QssResult ReadAt(std::int64_t position, void* buffer, std::int32_t count, std::uint32_t* read);

  // Binds the stream: takes references to table, entry and (when not null)
  // parent, sets the entry's open flag, position 0, builds the chain cache.
  QssResult Attach(CStorage* parent, CBlockAllocationTable* table, CStorageEntry* entry);

  CStorageEntry* entry() const { return entry_; }
  CBlockAllocationTable* table() const { return table_; }
  CStorage* parent() const { return parent_; }
  CLock& lock() { return lock_; }
  std::int64_t position() const { return position_; }

 protected:
  std::unique_ptr<CBlockChainCache> chainCache_;
  CBlockAllocationTable* table_ = nullptr;
  std::int64_t position_ = 0;
  CStorageEntry* entry_ = nullptr;
  CStorage* parent_ = nullptr;
  CLock lock_;
};

}  // namespace qss

#endif  // QSS_CSTREAM_H_

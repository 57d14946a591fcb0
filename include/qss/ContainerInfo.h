// ContainerInfo: what tools show about a container's layout, read through the
// library so that they need neither its internal headers nor its locks.
//
// Every call is safe on a damaged container: walks are bounded by the
// allocation table, and results never claim more than the table holds.

#ifndef QSS_CONTAINERINFO_H_
#define QSS_CONTAINERINFO_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

class CQssRefCountedObject;
class CRootStorage;
class CStorage;
class CStorageEntry;
class CStream;

/// The header fields of an open container and what its byte array holds.
struct ContainerLayout {
  /// Bytes of one allocation table entry: 2, 4 or 8.
  std::int32_t entryWidth = 0;
  /// Bytes of one block.
  std::int32_t blockSize = 0;
  /// Byte position of block 1.
  std::int32_t dataOffset = 0;
  /// First block of the allocation table's chain; -1 for a container without
  /// a stored table.
  std::int64_t tableStart = -1;
  /// First block of the root directory, -1 for none.
  std::int64_t rootFirstBlock = -1;
  /// Bytes of the root directory.
  std::int64_t rootSize = 0;
  /// Bytes of the whole byte array.
  std::int64_t byteArraySize = 0;
  /// Whole blocks the byte array holds.
  std::int64_t blocks = 0;
  /// Table blocks those blocks need.
  std::int64_t tableBlocks = 0;
};

/// Fills *layout for the container root opened. kQssNullResult for a null
/// layout, kQssInvalidArgument for a null root, the root's status when it did
/// not open, and the byte array's failure when it cannot be measured.
QSS_EXPORT QssResult InspectLayout(CRootStorage* root, ContainerLayout* layout);

/// Counts the free list's blocks that lie inside the byte array (the list
/// also runs through blocks the table describes beyond its end). The walk
/// stops where the list stops ascending or leaves the table: a damaged list
/// counts the blocks before the damage.
QSS_EXPORT QssResult CountFreeBlocks(CRootStorage* root, std::int64_t* count);

/// The blocks of the chain that starts at first, in chain order, at most
/// maxCount of them, replacing *blocks. storage is any storage of the
/// container (its root, a child, or the root of a nested container for that
/// container's chains). A chain that leaves the table or runs longer than
/// the table (a cycle) is kQssNotAContainer, with the blocks before the fault
/// listed; first -1 is an empty chain. kQssInvalidArgument for a negative
/// maxCount or a null storage, kQssNullResult for a null blocks.
QSS_EXPORT QssResult ListChain(CStorage* storage, std::int64_t first, std::int32_t maxCount,
                               std::vector<std::int64_t>* blocks);

/// ListChain from the first block of entry, an entry of storage.
QSS_EXPORT QssResult ListEntryChain(CStorage* storage, CStorageEntry* entry, std::int32_t maxCount,
                                    std::vector<std::int64_t>* blocks);

/// An object that stands for the container stream belongs to: the same for
/// every stream, storage and root storage of one container, another one for
/// a container nested in it. Block numbers (an entry's first block, a
/// chain's blocks) mean something only together with it, so a walk that
/// must meet every chain once can key them by it. The caller holds a
/// reference: while it is held, no other container can be given the same
/// object. Empty for a null stream or one not attached to a container.
/// Safe from several threads.
QSS_EXPORT CQssRef<CQssRefCountedObject> ContainerIdentity(CStream* stream);

/// Copies the entry's 128-byte directory record, as the next save would
/// write it, into out (size bytes, at least 128). kQssInvalidArgument when
/// out is shorter, kQssNullResult for a null out or entry.
QSS_EXPORT QssResult CopyEntryRecord(CStorageEntry* entry, std::uint8_t* out, std::size_t size);

}  // namespace qss

#endif  // QSS_CONTAINERINFO_H_

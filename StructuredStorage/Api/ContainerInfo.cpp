#include "qss/ContainerInfo.h"

#include <algorithm>

#include "qss/CLockGuard.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"

namespace qss {

QssResult InspectLayout(CRootStorage* root, ContainerLayout* layout) {
  if (layout == nullptr) return kQssNullResult;
  if (root == nullptr) return kQssInvalidArgument;
  if (!root->valid()) return root->status();
  CBlockAllocationTable* table = root->table();
  ContainerLayout found;
  found.entryWidth = table->entryWidth();
  found.blockSize = table->blockSize();
  found.dataOffset = table->dataOffset();
  found.tableStart = table->tableStart();
  found.rootFirstBlock = root->rootEntry()->FirstBlock();
  found.rootSize = root->rootEntry()->Size();
  if (QssResult sized = table->physical()->GetSize(&found.byteArraySize); QssFailed(sized)) return sized;
  found.blocks = std::max<std::int64_t>(0, (found.byteArraySize - found.dataOffset) / found.blockSize);
  const std::int64_t perBlock = found.blockSize / found.entryWidth;
  found.tableBlocks = (found.blocks + perBlock - 1) / perBlock;
  *layout = found;
  return kQssOk;
}

QssResult CountFreeBlocks(CRootStorage* root, std::int64_t* count) {
  if (count == nullptr) return kQssNullResult;
  ContainerLayout layout;
  if (QssResult inspected = InspectLayout(root, &layout); QssFailed(inspected)) return inspected;
  // The table as the byte array sizes it, and at least one block of it.
  const std::int64_t entries =
      std::max<std::int64_t>(layout.tableBlocks, 1) * (layout.blockSize / layout.entryWidth);
  CBlockAllocationTable* table = root->table();
  CLockGuard guard(table->lock());
  std::int64_t found = 0;
  std::int64_t previous = 0;
  std::int64_t current = table->GetNext(0);
  for (std::int64_t steps = 0; current > previous && current < entries && steps < entries; ++steps) {
    if (current <= layout.blocks) ++found;
    previous = current;
    current = table->GetNext(current);
  }
  *count = found;
  return kQssOk;
}

QssResult ListChain(CStorage* storage, std::int64_t first, std::int32_t maxCount, std::vector<std::int64_t>* blocks) {
  if (blocks == nullptr) return kQssNullResult;
  blocks->clear();
  if (storage == nullptr || maxCount < 0) return kQssInvalidArgument;
  CBlockAllocationTable* table = storage->table();
  if (table == nullptr) return kQssInvalidRequest;
  // No sound chain is longer than the table, whatever the caller allows; one
  // more slot lets a chain that goes round in a circle show itself.
  std::int64_t bound = 0;
  {
    CLockGuard guard(table->lock());
    bound = table->EntryCount();
  }
  const auto room = static_cast<std::int32_t>(std::min<std::int64_t>(maxCount, bound + 1));
  if (room == 0 || first == kNoBlock) return kQssOk;
  blocks->resize(static_cast<std::size_t>(room));
  std::int32_t listed = 0;
  const QssResult result = table->GetChain(first, room, blocks->data(), &listed);
  blocks->resize(static_cast<std::size_t>(listed));
  return result;
}

QssResult ListEntryChain(CStorage* storage, CStorageEntry* entry, std::int32_t maxCount,
                         std::vector<std::int64_t>* blocks) {
  if (blocks == nullptr) return kQssNullResult;
  if (entry == nullptr) {
    blocks->clear();
    return kQssInvalidArgument;
  }
  return ListChain(storage, entry->FirstBlock(), maxCount, blocks);
}

CQssRef<CQssRefCountedObject> ContainerIdentity(CStream* stream) {
  // The allocation table: one per container, held by every object of it.
  if (stream == nullptr) return {};
  return CQssRef<CQssRefCountedObject>(stream->table());
}

QssResult CopyEntryRecord(CStorageEntry* entry, std::uint8_t* out, std::size_t size) {
  if (entry == nullptr || out == nullptr) return kQssNullResult;
  if (size < static_cast<std::size_t>(kEntryRecordSize)) return kQssInvalidArgument;
  entry->CopyRecord(out);
  return kQssOk;
}

}  // namespace qss

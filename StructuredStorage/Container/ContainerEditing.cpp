#include "qss/ContainerEditing.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

#include "Container/CBlockAllocationTable.h"
#include "Container/CBlockChainCache.h"
#include "Container/CCompressedStream.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/EntryPath.h"

namespace qss {

namespace {
// Directory copies are written in chunks of at most this many records.
constexpr std::int32_t kRecordsPerChunk = 8192;

// Records not yet saved would be written with a directory's copy, outside
// the order an edit keeps.
bool HasUnsavedRecords(const CStorage* storage) {
  for (std::int32_t i = 0; i < storage->EntryCount(); ++i) {
    if (storage->EntryAt(i)->dirty) return true;
  }
  return false;
}
}  // namespace

// One change in place (see ContainerEditing.h for the order of writes). The
// change is made in memory first, on the storages of the path from the root
// down, each opened writable; Commit writes it. Until Commit reaches the
// header, the destructor takes everything back.
class ContainerEdit {
 public:
  explicit ContainerEdit(CRootStorage* root) : root_(root) {}
  ~ContainerEdit();
  ContainerEdit(const ContainerEdit&) = delete;
  ContainerEdit& operator=(const ContainerEdit&) = delete;

  QssResult Begin();
  // Opens the storages of names[0, count) for writing below the root; with
  // create, missing ones are made (in memory, as part of the change).
  QssResult Walk(const std::vector<std::u16string>& names, std::size_t count, bool create, std::size_t* failedAt);
  QssResult Put(const std::u16string& name, bool compressed, const StreamFiller& fill);
  QssResult AddStorage(const std::u16string& name);
  QssResult Remove(const std::u16string& name, bool recursive);
  QssResult Commit();

 private:
  struct Level {
    CQssRef<CStorage> storage;
    std::int64_t oldFirst = kNoBlock;
    std::int64_t oldSize = 0;
    bool created = false;
  };
  enum class Change { kInserted, kRemoved, kReplaced };
  struct Undo {
    Change change;
    CStorage* storage;  // held by a level
    std::int32_t index;
    CQssRef<CStorageEntry> previous;  // the entry removed or replaced
  };

  CStorage* target() const { return levels_.back().storage.get(); }
  CBlockAllocationTable* table() const { return root_->table(); }
  // A new entry of that name and flags, or null for a name no record holds.
  static CQssRef<CStorageEntry> NewEntry(const std::u16string& name, std::uint32_t flags);
  void Insert(CStorage* storage, CStorageEntry* entry);
  QssResult WriteDirectoryCopy(CStorage* storage, std::int64_t* first, std::int64_t* size);
  // Notes the chains of entry, and for a storage of everything under it, for
  // freeing once the change is made.
  QssResult NoteChains(CStorageEntry* entry, bool recursive, int depth);
  void NoteNewChain(std::int64_t first);
  // Clears every dirty mark of the path and points the directories' chain
  // caches at their chains, so that no last release writes in place.
  void Settle();
  void Rollback();
  QssResult FreeOldChains();

  CRootStorage* root_;
  std::vector<Level> levels_;
  std::vector<Undo> undo_;
  // Blocks this change allocated: freed again when it is taken back, and
  // never freed as part of an old chain.
  std::unordered_set<std::int64_t> newSeen_;
  std::vector<std::int64_t> newBlocks_;
  std::vector<std::int64_t> oldChains_;
  std::unordered_set<std::int64_t> notedDirectories_;
  bool growthOff_ = false;
  bool committed_ = false;
};

ContainerEdit::~ContainerEdit() {
  if (!committed_ && !levels_.empty()) Rollback();
  if (growthOff_) table()->SetGrowthAllowed(true);
  // Children before their parents.
  while (!levels_.empty()) levels_.pop_back();
}

QssResult ContainerEdit::Begin() {
  if (!root_->valid()) return root_->status();
  if (root_->IsNested()) return kQssInvalidRequest;
  if (root_->rootEntry() == nullptr || root_->rootEntry()->readOnly) return kQssReadOnly;
  if (QssFailed(root_->loadStatus())) return root_->loadStatus();
  if (HasUnsavedRecords(root_)) return kQssInvalidRequest;
  // Pending allocations or frees would reach the disk with this change's
  // first flush, out of its order.
  if (QssResult flushed = table()->Flush(); QssFailed(flushed)) return flushed;
  table()->SetGrowthAllowed(false);
  growthOff_ = true;
  const CStorageEntry* entry = root_->rootEntry();
  levels_.push_back({CQssRef<CStorage>(root_), entry->FirstBlock(), entry->Size(), false});
  return kQssOk;
}

CQssRef<CStorageEntry> ContainerEdit::NewEntry(const std::u16string& name, std::uint32_t flags) {
  CQssRef<CStorageEntry> entry(new CStorageEntry());
  if (!entry->SetName(name)) return {};
  entry->SetFlags(flags);
  return entry;
}

void ContainerEdit::Insert(CStorage* storage, CStorageEntry* entry) {
  const std::int32_t index = storage->SortedIndexFor(entry->Name());
  storage->InsertEntryAt(index, entry);
  undo_.push_back({Change::kInserted, storage, index, {}});
}

QssResult ContainerEdit::Walk(const std::vector<std::u16string>& names, std::size_t count, bool create,
                              std::size_t* failedAt) {
  if (count > static_cast<std::size_t>(kMaxEntryPathDepth)) return kQssInvalidArgument;
  for (std::size_t i = 0; i < count; ++i) {
    if (failedAt != nullptr) *failedAt = i;
    CStorage* parent = target();
    const CStorageEntry* existing = parent->EntryAt(parent->FirstIndexNamed(names[i].c_str()));
    CStorage* opened = nullptr;
    if (existing != nullptr) {
      if (existing->Kind() != kEntryStorage) return kQssInvalidRequest;
      if (QssResult result = parent->OpenStorageForWriting(names[i].c_str(), &opened); QssFailed(result))
        return result;
      CQssRef<CStorage> child = CQssRef<CStorage>::Attach(opened);
      // A directory that was not read whole cannot be copied whole.
      if (QssFailed(child->loadStatus())) return child->loadStatus();
      if (HasUnsavedRecords(child.get())) return kQssInvalidRequest;
      levels_.push_back({child, existing->FirstBlock(), existing->Size(), false});
      continue;
    }
    if (!create) return kQssNotFound;
    CQssRef<CStorageEntry> entry = NewEntry(names[i], kEntryStorage);
    if (!entry) return kQssInvalidRequest;
    CQssRef<CStorage> child;
    if (QssResult result = parent->NewSubStorage(entry.get(), &child); QssFailed(result)) return result;
    Insert(parent, entry.get());
    levels_.push_back({child, kNoBlock, 0, true});
  }
  if (failedAt != nullptr) *failedAt = count;
  return kQssOk;
}

void ContainerEdit::NoteNewChain(std::int64_t first) { table()->CollectChain(first, &newSeen_, &newBlocks_); }

QssResult ContainerEdit::Put(const std::u16string& name, bool compressed, const StreamFiller& fill) {
  CStorage* storage = target();
  const std::int32_t index = storage->FirstIndexNamed(name.c_str());
  CStorageEntry* existing = storage->EntryAt(index);
  if (existing != nullptr) {
    if (existing->Kind() != kEntryStream) return kQssInvalidRequest;
    if (existing->open) return kQssAlreadyOpen;
  }
  CQssRef<CStorageEntry> entry = NewEntry(name, kEntryStream | (compressed ? kEntryCompressed : 0u));
  if (!entry) return kQssInvalidRequest;
  QssResult result;
  {
    // A stream that could not be attached took nothing and goes with its
    // only reference.
    CQssRef<CStream> stream(compressed ? new CCompressedStream() : new CStream());
    if (result = stream->Attach(storage, table(), entry.get()); QssFailed(result)) return result;
    result = fill(stream.get());
  }
  // Whatever the filler got to write belongs to this change.
  NoteNewChain(entry->FirstBlock());
  if (QssFailed(result)) return result;
  if (existing != nullptr) {
    if (QssResult noted = NoteChains(existing, false, 0); QssFailed(noted)) return noted;
    undo_.push_back({Change::kReplaced, storage, index, CQssRef<CStorageEntry>(existing)});
    storage->ReplaceEntryAt(index, entry.get());
  } else {
    Insert(storage, entry.get());
  }
  return kQssOk;
}

QssResult ContainerEdit::AddStorage(const std::u16string& name) {
  CStorage* storage = target();
  if (storage->FirstIndexNamed(name.c_str()) >= 0) return kQssInvalidRequest;
  CQssRef<CStorageEntry> entry = NewEntry(name, kEntryStorage);
  if (!entry) return kQssInvalidRequest;
  Insert(storage, entry.get());
  return kQssOk;
}

QssResult ContainerEdit::NoteChains(CStorageEntry* entry, bool recursive, int depth) {
  if (entry->open) return kQssAlreadyOpen;
  const std::uint32_t kind = entry->Kind();
  if (kind == kEntryNestedContainer && !recursive) return kQssNotEmpty;
  if (kind != kEntryStorage) {
    oldChains_.push_back(entry->FirstBlock());
    return kQssOk;
  }
  oldChains_.push_back(entry->FirstBlock());
  // A damaged container can make a storage contain itself or share one
  // directory between two entries: each directory is walked once.
  if (entry->FirstBlock() == kNoBlock || !notedDirectories_.insert(entry->FirstBlock()).second) return kQssOk;
  if (depth >= kMaxEntryPathDepth) return kQssNotAContainer;
  // Opened for reading: its last release must save nothing.
  entry->readOnly = true;
  CQssRef<CStorage> storage;
  if (QssResult result = target()->NewSubStorage(entry, &storage); QssFailed(result)) return result;
  // A directory read only in part may hold more than it shows.
  if ((storage->EntryCount() > 0 || QssFailed(storage->loadStatus())) && !recursive) return kQssNotEmpty;
  for (std::int32_t i = 0; i < storage->EntryCount(); ++i) {
    if (QssResult result = NoteChains(storage->EntryAt(i), true, depth + 1); QssFailed(result)) return result;
  }
  return kQssOk;
}

QssResult ContainerEdit::Remove(const std::u16string& name, bool recursive) {
  CStorage* storage = target();
  const std::int32_t index = storage->FirstIndexNamed(name.c_str());
  CStorageEntry* entry = storage->EntryAt(index);
  if (entry == nullptr) return kQssNotFound;
  if (QssResult noted = NoteChains(entry, recursive, 0); QssFailed(noted)) return noted;
  undo_.push_back({Change::kRemoved, storage, index, CQssRef<CStorageEntry>(entry)});
  storage->RemoveEntryAt(index);
  return kQssOk;
}

QssResult ContainerEdit::WriteDirectoryCopy(CStorage* storage, std::int64_t* first, std::int64_t* size) {
  *first = kNoBlock;
  *size = 0;
  const std::int32_t count = storage->EntryCount();
  if (count == 0) return kQssOk;
  const std::int64_t bytes = static_cast<std::int64_t>(count) * kEntryRecordSize;
  const std::int64_t blocks = BlocksFor(bytes, table()->blockSize());
  if (blocks > std::numeric_limits<std::int32_t>::max()) return kQssInvalidArgument;
  std::vector<std::int64_t> chain(static_cast<std::size_t>(blocks), kNoBlock);
  std::int32_t allocated = 0;
  const QssResult result =
      table()->AllocateBlocks(kNoBlock, static_cast<std::int32_t>(blocks), chain.data(), &allocated);
  for (std::int32_t i = 0; i < allocated; ++i) {
    if (newSeen_.insert(chain[static_cast<std::size_t>(i)]).second) newBlocks_.push_back(chain[static_cast<std::size_t>(i)]);
  }
  if (QssFailed(result)) return result;

  const std::int32_t chunkCapacity = std::min(count, kRecordsPerChunk);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunkCapacity) * kEntryRecordSize);
  for (std::int32_t at = 0; at < count; at += chunkCapacity) {
    const std::int32_t chunk = std::min(chunkCapacity, count - at);
    for (std::int32_t i = 0; i < chunk; ++i)
      storage->EntryAt(at + i)->CopyRecord(buffer.data() + static_cast<std::size_t>(i) * kEntryRecordSize);
    const std::int32_t length = chunk * kEntryRecordSize;
    std::int32_t done = 0;
    const QssResult written = table()->WriteChain(chain[0], static_cast<std::int64_t>(at) * kEntryRecordSize, length,
                                                  buffer.data(), &done);
    if (QssFailed(written)) return written;
    if (done != length) return kQssWriteFault;
  }
  *first = chain[0];
  *size = bytes;
  return kQssOk;
}

QssResult ContainerEdit::Commit() {
  // 1. Every directory of the path, deepest first, so that each copy holds
  // its child's new record.
  for (std::size_t k = levels_.size(); k-- > 0;) {
    CStorage* storage = levels_[k].storage.get();
    std::int64_t first = kNoBlock;
    std::int64_t size = 0;
    if (QssResult result = WriteDirectoryCopy(storage, &first, &size); QssFailed(result)) return result;
    storage->entry()->SetFirstBlock(first);
    storage->entry()->SetSize(size);
  }
  // 2. Everything new on the disk before anything refers to it.
  CPhysicalByteArray* physical = table()->physical();
  if (QssResult result = table()->Flush(); QssFailed(result)) return result;
  if (QssResult result = physical->Flush(); QssFailed(result)) return result;
  // 3. The switch.
  if (QssResult result = root_->WriteRootRecord(); QssFailed(result)) return result;
  committed_ = true;
  Settle();
  // 4. Until the header is known to be on the disk, the old tree may still
  // be what a reader meets: its blocks stay allocated.
  if (QssResult result = physical->Flush(); QssFailed(result)) return result;
  // 5.
  return FreeOldChains();
}

void ContainerEdit::Settle() {
  for (Level& level : levels_) {
    CStorage* storage = level.storage.get();
    storage->entry()->dirty = false;
    for (std::int32_t i = 0; i < storage->EntryCount(); ++i) storage->EntryAt(i)->dirty = false;
    storage->chainCache_ = std::make_unique<CBlockChainCache>(table(), storage->entry());
    storage->chainCache_->TrimToSize();
  }
}

QssResult ContainerEdit::FreeOldChains() {
  // Never a table block, whatever a damaged chain runs into, and never a
  // block of the new tree.
  std::unordered_set<std::int64_t> seen = newSeen_;
  std::vector<std::int64_t> ignored;
  table()->CollectChain(table()->tableStart(), &seen, &ignored);
  std::vector<std::int64_t> blocks;
  for (const Level& level : levels_) table()->CollectChain(level.oldFirst, &seen, &blocks);
  for (const std::int64_t first : oldChains_) table()->CollectChain(first, &seen, &blocks);
  std::sort(blocks.begin(), blocks.end());
  if (QssResult result = table()->FreeInTwoPasses(blocks); QssFailed(result)) return result;
  return table()->physical()->Flush();
}

void ContainerEdit::Rollback() {
  for (Level& level : levels_) {
    if (level.created) {
      // Not in any directory any more: its last release must save nothing.
      level.storage->entry()->readOnly = true;
      continue;
    }
    level.storage->entry()->SetFirstBlock(level.oldFirst);
    level.storage->entry()->SetSize(level.oldSize);
  }
  for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) {
    switch (undo->change) {
      case Change::kInserted: undo->storage->RemoveEntryAt(undo->index); break;
      case Change::kRemoved: undo->storage->InsertEntryAt(undo->index, undo->previous.get()); break;
      case Change::kReplaced: undo->storage->ReplaceEntryAt(undo->index, undo->previous.get()); break;
    }
  }
  undo_.clear();
  for (Level& level : levels_) {
    if (level.created) continue;
    CStorage* storage = level.storage.get();
    storage->entry()->dirty = false;
    for (std::int32_t i = 0; i < storage->EntryCount(); ++i) storage->EntryAt(i)->dirty = false;
  }
  // Blocks nobody on the disk refers to; where this cannot be stored they
  // stay allocated to nothing.
  std::sort(newBlocks_.begin(), newBlocks_.end());
  static_cast<void>(table()->FreeInTwoPasses(newBlocks_));
}

namespace {

QssResult CheckArguments(CRootStorage* root, const std::vector<std::u16string>& names) {
  if (root == nullptr) return kQssInvalidPointer;
  if (names.empty()) return kQssInvalidRequest;
  if (names.size() > static_cast<std::size_t>(kMaxEntryPathDepth)) return kQssInvalidArgument;
  return kQssOk;
}

}  // namespace

QssResult PutStream(CRootStorage* root, const std::vector<std::u16string>& names, bool compressed,
                    const StreamFiller& fill, std::size_t* failedAt) {
  if (QssResult checked = CheckArguments(root, names); QssFailed(checked)) return checked;
  if (!fill) return kQssInvalidArgument;
  ContainerEdit edit(root);
  if (QssResult result = edit.Begin(); QssFailed(result)) return result;
  if (QssResult result = edit.Walk(names, names.size() - 1, true, failedAt); QssFailed(result)) return result;
  if (QssResult result = edit.Put(names.back(), compressed, fill); QssFailed(result)) return result;
  return edit.Commit();
}

QssResult MakeStorage(CRootStorage* root, const std::vector<std::u16string>& names, std::size_t* failedAt) {
  if (QssResult checked = CheckArguments(root, names); QssFailed(checked)) return checked;
  ContainerEdit edit(root);
  if (QssResult result = edit.Begin(); QssFailed(result)) return result;
  if (QssResult result = edit.Walk(names, names.size() - 1, true, failedAt); QssFailed(result)) return result;
  if (QssResult result = edit.AddStorage(names.back()); QssFailed(result)) return result;
  return edit.Commit();
}

QssResult RemoveEntry(CRootStorage* root, const std::vector<std::u16string>& names, bool recursive,
                      std::size_t* failedAt) {
  if (QssResult checked = CheckArguments(root, names); QssFailed(checked)) return checked;
  ContainerEdit edit(root);
  if (QssResult result = edit.Begin(); QssFailed(result)) return result;
  if (QssResult result = edit.Walk(names, names.size() - 1, false, failedAt); QssFailed(result)) return result;
  if (QssResult result = edit.Remove(names.back(), recursive); QssFailed(result)) return result;
  return edit.Commit();
}

}  // namespace qss

#include "qss/CStorage.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "qss/CLockGuard.h"
#include "qss/CQssRef.h"
#include "Container/CStreamByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "Container/CCompressedStream.h"
#include "qss/CRootStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CreateContainer.h"

namespace qss {

namespace {
constexpr std::uint32_t kEntriesPerPage = 128;
// The directory is written back in chunks of at most this many records (1 MiB).
constexpr std::int32_t kRecordsPerSaveChunk = 8192;
// The directory is read in chunks of at most this many records (64 KiB).
constexpr std::int64_t kRecordsPerLoadChunk = 512;

// Whether the entry's chain really has the blocks its length needs. A nested
// container's byte array is as long as its entry says, and its allocation
// table sizes itself by that length: a length no chain backs must not make
// it allocate what the length claims.
bool ChainBacksLength(CBlockAllocationTable* table, const CStorageEntry* entry) {
  const std::int64_t size = entry->Size();
  const std::int64_t head = entry->HeadOffset();
  const std::int64_t blockSize = table->blockSize();
  if (size < 0 || head < 0) return false;
  const std::int64_t needed = BlocksFor(size, blockSize) - head / blockSize;
  // No sound chain is longer than the container holds blocks: a longer walk
  // goes round a cycle, and backs nothing more.
  const std::int64_t capacity = table->ChainCapacity();
  if (needed > capacity) return false;
  CLockGuard guard(table->lock());
  std::int64_t block = entry->FirstBlock();
  std::int64_t counted = 0;
  while (counted < needed && block >= 1 && block < table->EntryCount()) {
    block = table->GetNext(block);
    ++counted;
  }
  return counted >= needed;
}

// Units of name before its terminator, counting no further than one unit past
// what a record can hold.
int BoundedNameLength(const char16_t* name) {
  int length = 0;
  while (length < kEntryNameUnits && name[length] != 0) ++length;
  return length;
}

// Attaches a new object to entry; *attached holds it. One that cannot be
// attached took nothing and goes with its only reference.
template <typename T>
QssResult AttachNew(T* object, CStorage* parent, CBlockAllocationTable* table, CStorageEntry* entry,
                    CQssRef<T>* attached) {
  CQssRef<T> held(object);
  const QssResult result = held->Attach(parent, table, entry);
  if (QssFailed(result)) return result;
  *attached = std::move(held);
  return kQssOk;
}
}  // namespace

CStorage::CStorage() { pages_.push_back(std::make_unique<CQssRef<CStorageEntry>[]>(kEntriesPerPage)); }

CStorage::~CStorage() { ReleaseEntries(); }

void CStorage::AppendEntry(CStorageEntry* entry) {
  const auto index = static_cast<std::uint32_t>(entryCount_);
  // Only the small vector of pages moves; entry slots stay put.
  if (index / kEntriesPerPage >= pages_.size())
    pages_.push_back(std::make_unique<CQssRef<CStorageEntry>[]>(kEntriesPerPage));
  pages_[index / kEntriesPerPage][index % kEntriesPerPage] = CQssRef<CStorageEntry>(entry);
  ++entryCount_;
  if (indexBuilt_) IndexEntry(entryCount_ - 1);
}

void CStorage::IndexEntry(std::int32_t index) {
  const CStorageEntry* entry = EntryAt(index);
  // An unterminated name matches nothing; an earlier entry of the same name
  // keeps its place (the first match wins).
  if (entry->NameIsTerminated()) nameIndex_.emplace(entry->Name(), index);
}

void CStorage::ReleaseEntries() {
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(entryCount_); ++i)
    pages_[i / kEntriesPerPage][i % kEntriesPerPage].Reset();
  entryCount_ = 0;
  lastFound_ = -1;
  nameIndex_.clear();
  indexBuilt_ = false;
  pages_.clear();
}

CQssRef<CStorageEntry>& CStorage::SlotRef(std::int32_t index) {
  const auto at = static_cast<std::uint32_t>(index);
  return pages_[at / kEntriesPerPage][at % kEntriesPerPage];
}

void CStorage::ForgetPositions() {
  nameIndex_.clear();
  indexBuilt_ = false;
  lastFound_ = -1;
}

void CStorage::InsertEntryAt(std::int32_t index, CStorageEntry* entry) {
  AppendEntry(entry);
  for (std::int32_t i = entryCount_ - 1; i > index; --i) std::swap(SlotRef(i), SlotRef(i - 1));
  ForgetPositions();
}

void CStorage::RemoveEntryAt(std::int32_t index) {
  for (std::int32_t i = index; i < entryCount_ - 1; ++i) std::swap(SlotRef(i), SlotRef(i + 1));
  SlotRef(entryCount_ - 1).Reset();
  --entryCount_;
  ForgetPositions();
}

void CStorage::ReplaceEntryAt(std::int32_t index, CStorageEntry* entry) {
  SlotRef(index) = CQssRef<CStorageEntry>(entry);
  ForgetPositions();
}

std::int32_t CStorage::SortedIndexFor(const std::u16string& name) const {
  for (std::int32_t i = 0; i < entryCount_; ++i) {
    if (Slot(static_cast<std::uint32_t>(i))->Name() > name) return i;
  }
  return entryCount_;
}

CStorageEntry* CStorage::Slot(std::uint32_t index) const {
  return pages_[index / kEntriesPerPage][index % kEntriesPerPage].get();
}

CStorageEntry* CStorage::EntryAt(std::int32_t index) const {
  if (index < 0 || index >= entryCount_) return nullptr;
  return Slot(static_cast<std::uint32_t>(index));
}

void CStorage::LoadEntries() {
  // A content of n bytes yields n / 128 entries; a trailing partial record is
  // ignored. The walk ends where the chain ends, whatever size claims.
  // Records are read many at a time (a directory of thousands of entries in
  // a few transfers), never more than the stream claims to hold. The entries
  // are exactly those that reading one record at a time finds: a transfer
  // that fails is tried again record by record from where it started (a
  // failed read does not move the position), so that a damaged chain still
  // shows every record in front of the damage.
  const std::int64_t claimed = entry_ ? std::max<std::int64_t>(entry_->Size(), kEntryRecordSize) : kEntryRecordSize;
  auto chunk = static_cast<std::int32_t>(
      std::min<std::int64_t>(claimed / kEntryRecordSize, kRecordsPerLoadChunk) * kEntryRecordSize);
  std::vector<std::uint8_t> records(static_cast<std::size_t>(chunk));
  while (entryCount_ < std::numeric_limits<std::int32_t>::max()) {
    std::uint32_t got = 0;
    const QssResult result = Read(records.data(), chunk, &got);
    if (QssFailed(result)) {
      if (chunk > kEntryRecordSize) {
        chunk = kEntryRecordSize;
        continue;
      }
      // The records read are shown; writing them back would drop the rest.
      loadFailure_ = result;
      return;
    }
    const std::uint32_t whole = got / kEntryRecordSize;
    for (std::uint32_t i = 0; i < whole && entryCount_ < std::numeric_limits<std::int32_t>::max(); ++i) {
      CQssRef<CStorageEntry> entry(new CStorageEntry());
      std::memcpy(entry->record, records.data() + static_cast<std::size_t>(i) * kEntryRecordSize, kEntryRecordSize);
      AppendEntry(entry.get());
    }
    // A transfer that ends inside a record is where reading one record at a
    // time stops too; one that ends on a record boundary asks again, to tell
    // the content's end (nothing more, success) from a chain that ends early.
    if (got == 0 || got % kEntryRecordSize != 0) return;
  }
}

CStorageEntry* CStorage::FindEntry(const char16_t* name) {
  // Lookups in directory order cost one comparison each: try the successor of
  // the last hit first.
  if (lastFound_ >= 0 && lastFound_ < entryCount_ - 2) {
    CStorageEntry* next = EntryAt(lastFound_ + 1);
    if (next->NameEquals(name)) {
      ++lastFound_;
      return next;
    }
  }
  const std::int32_t index = FirstIndexNamed(name);
  if (index < 0) return nullptr;
  lastFound_ = index;
  return EntryAt(index);
}

CStorageEntry* CStorage::FindFirstEntry(const char16_t* name) {
  CLockGuard guard(lock_);
  const std::int32_t index = FirstIndexNamed(name);
  return index < 0 ? nullptr : EntryAt(index);
}

std::int32_t CStorage::FirstIndexNamed(const char16_t* name) {
  if (entryCount_ < kIndexedLookupThreshold) {
    for (std::int32_t i = 0; i < entryCount_; ++i) {
      if (EntryAt(i)->NameEquals(name)) return i;
    }
    return -1;
  }
  // A name with no terminator within the field's length matches no record.
  if (name == nullptr) return -1;
  const int length = BoundedNameLength(name);
  if (length == kEntryNameUnits) return -1;
  if (!indexBuilt_) {
    nameIndex_.reserve(static_cast<std::size_t>(entryCount_));
    for (std::int32_t i = 0; i < entryCount_; ++i) IndexEntry(i);
    indexBuilt_ = true;
  }
  const auto found = nameIndex_.find(std::u16string_view(name, static_cast<std::size_t>(length)));
  return found == nameIndex_.end() ? -1 : found->second;
}

bool CStorage::IsDirty() {
  for (std::int32_t i = 0; i < entryCount_; ++i) {
    if (EntryAt(i)->dirty) return true;
  }
  return entry_ && entry_->dirty;
}

QssResult CStorage::SaveEntries() {
  if (!entry_ || entry_->readOnly) return kQssOk;
  if (QssFailed(loadFailure_)) return loadFailure_;
  if (QssResult result = Seek(0, kSeekBegin, nullptr); QssFailed(result)) return result;
  std::int64_t total = 0;
  if (entryCount_ > 0) {
    const std::int32_t chunkCapacity = std::min(entryCount_, kRecordsPerSaveChunk);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunkCapacity) * kEntryRecordSize);
    for (std::int32_t first = 0; first < entryCount_; first += chunkCapacity) {
      const std::int32_t chunk = std::min(chunkCapacity, entryCount_ - first);
      for (std::int32_t i = 0; i < chunk; ++i) {
        Slot(static_cast<std::uint32_t>(first + i))
            ->CopyRecordForSave(buffer.data() + static_cast<std::size_t>(i) * kEntryRecordSize);
      }
      std::uint32_t written = 0;
      QssResult result = Write(buffer.data(), chunk * kEntryRecordSize, &written);
      total += written;
      if (QssSucceeded(result) && written != static_cast<std::uint32_t>(chunk * kEntryRecordSize))
        result = kQssWriteFault;
      if (QssFailed(result)) {
        // A failed save must not cost the directory: cutting the content to
        // what was written would drop every record after it (all of them,
        // when nothing was). Every record stays dirty for the next save.
        MarkAllDirty();
        return result;
      }
    }
  }
  // The own entry keeps its dirty flag: it is a record of the parent, which
  // clears it when it saves its own records.
  const QssResult cut = SetSize(total);
  if (QssFailed(cut)) MarkAllDirty();  // records of an older, longer directory may still follow
  return cut;
}

void CStorage::MarkAllDirty() {
  for (std::int32_t i = 0; i < entryCount_; ++i) Slot(static_cast<std::uint32_t>(i))->dirty = true;
}

QssResult CStorage::CommitEntries() {
  QssResult result = kQssOk;
  for (std::int32_t i = 0; i < entryCount_ && QssSucceeded(result); ++i) result = EntryAt(i)->unreportedFailure.load();
  if (IsDirty()) {
    const QssResult saved = SaveEntries();
    if (QssSucceeded(result)) result = saved;
  }
  return result;
}

QssResult CStorage::Commit() {
  CLockGuard guard(lock_);
  return CommitEntries();
}

void CStorage::SaveAtFinalRelease() {
  if (!IsDirty()) return;
  if (QssResult result = SaveEntries(); QssFailed(result)) entry_->RecordUnreportedFailure(result);
}

void CStorage::FinalRelease() {
  if (!entry_) return;
  SaveAtFinalRelease();
  ReleaseEntries();
  CStream::FinalRelease();
}

QssResult CStorage::OpenStream(const char16_t* name, std::uint32_t /*reserved*/, CStream** stream) {
  CLockGuard guard(lock_);
  if (name == nullptr) return kQssNullName;
  if (stream == nullptr) return kQssNullResult;
  *stream = nullptr;
  CStorageEntry* entry = FindEntry(name);
  if (entry == nullptr || (entry->EffectiveFlags() & kEntryStream) == 0) return kQssNotFound;
  if (entry->open) return kQssAlreadyOpen;
  CQssRef<CStream> opened;
  const QssResult result = AttachNew((entry->Flags() & kEntryCompressed) ? new CCompressedStream() : new CStream(),
                                     this, table_.get(), entry, &opened);
  if (QssFailed(result)) return result;
  *stream = opened.Detach();
  entry->readOnly = true;
  return kQssOk;
}

QssResult CStorage::NewSubStorage(CStorageEntry* entry, CQssRef<CStorage>* storage) {
  const QssResult result = AttachNew(new CStorage(), this, table_.get(), entry, storage);
  if (QssSucceeded(result)) (*storage)->LoadEntries();
  return result;
}

QssResult CStorage::OpenStorage(const char16_t* name, std::uint32_t /*reserved*/, CStorage** storage) {
  CLockGuard guard(lock_);
  if (name == nullptr) return kQssNullName;
  if (name[0] == 0) return kQssInvalidRequest;
  if (storage == nullptr) return kQssNullResult;
  CStorageEntry* entry = FindEntry(name);
  if (entry == nullptr || (entry->EffectiveFlags() & kEntryStorage) == 0) return kQssNotFound;
  if (entry->open) return kQssAlreadyOpen;

  if ((entry->EffectiveFlags() & kEntryKindMask) == kEntryKindMask) {
    CRootStorage* root = nullptr;
    const QssResult result = AttachNestedContainer(entry, false, 0, 0, &root);
    if (QssFailed(result)) return result;
    *storage = root;  // it carries the caller's reference already
  } else {
    CQssRef<CStorage> opened;
    if (QssResult result = NewSubStorage(entry, &opened); QssFailed(result)) return result;
    *storage = opened.Detach();
  }
  entry->readOnly = true;
  return kQssOk;
}

QssResult CStorage::OpenStorageForWriting(const char16_t* name, CStorage** storage) {
  CLockGuard guard(lock_);
  if (name == nullptr) return kQssNullName;
  if (storage == nullptr) return kQssNullResult;
  *storage = nullptr;
  if (!entry_ || entry_->readOnly || !table_) return kQssReadOnly;
  if (QssFailed(loadFailure_)) return loadFailure_;
  CStorageEntry* entry = EntryAt(FirstIndexNamed(name));
  if (entry == nullptr) return kQssNotFound;
  if (entry->Kind() != kEntryStorage) return kQssInvalidRequest;
  if (entry->open) return kQssAlreadyOpen;
  // An earlier read-only open leaves its mark on the entry.
  entry->readOnly = false;
  CQssRef<CStorage> opened;
  if (QssResult result = NewSubStorage(entry, &opened); QssFailed(result)) return result;
  *storage = opened.Detach();
  return kQssOk;
}

QssResult CStorage::AttachNestedContainer(CStorageEntry* entry, bool create, std::int32_t entryWidth,
                                          std::int32_t blockSize, CRootStorage** root) {
  if (!create && !ChainBacksLength(table_.get(), entry)) return kQssNotAContainer;
  // Always a plain stream: the nested container's bytes are the raw content,
  // whatever the compressed bit says.
  CQssRef<CStream> stream;
  if (QssResult result = AttachNew(new CStream(), this, table_.get(), entry, &stream); QssFailed(result)) return result;
  // The array holds the stream as long as the nested root does; on a failure
  // both go, and the stream's FinalRelease clears the entry's open flag.
  CQssRef<CStreamByteArray> array(new CStreamByteArray(stream.get()));

  // Frees what a failed creation wrote, so no orphaned chain is left behind.
  // A chain that cannot be freed stays allocated to nothing: lost space, not
  // lost data, and the creation's own failure is what the caller hears.
  auto discardWritten = [&] {
    if (create) static_cast<void>(stream->SetSize(0));
  };

  if (create) {
    const QssResult created = CreateContainer(array.get(), entryWidth, blockSize);
    if (QssFailed(created)) {
      discardWritten();
      return created;
    }
  }

  CQssRef<CRootStorage> opened;
  if (const QssResult status = CRootStorage::Open(array.get(), &opened); QssFailed(status)) {
    discardWritten();
    return status;
  }
  if (!create) opened->rootEntry()->readOnly = true;
  // Its last release saves it into the stream; a failure there is left with
  // the entry for this storage's next commit.
  opened->ReportTeardownFailuresTo(entry);
  *root = opened.Detach();
  return kQssOk;
}

QssResult CStorage::PrepareChild(const char16_t* name, const void* result, std::uint32_t flags,
                                 CStorageEntry** entry) {
  if (name == nullptr) return kQssNullName;
  if (result == nullptr) return kQssNullResult;
  if (!entry_ || entry_->readOnly || !table_) return kQssReadOnly;
  // A directory that was not read whole is never written back.
  if (QssFailed(loadFailure_)) return loadFailure_;
  const int length = BoundedNameLength(name);
  if (length == 0 || length >= kEntryNameUnits) return kQssInvalidRequest;
  if (FindEntry(name) != nullptr) return kQssInvalidRequest;
  auto* created = new CStorageEntry();
  created->SetName(std::u16string(name, static_cast<std::size_t>(length)));
  created->SetFlags(flags);
  created->dirty = true;
  *entry = created;
  return kQssOk;
}

QssResult CStorage::CreateStream(const char16_t* name, bool compressed, CStream** stream) {
  CLockGuard guard(lock_);
  CStorageEntry* entry = nullptr;
  QssResult result = PrepareChild(name, stream, kEntryStream | (compressed ? kEntryCompressed : 0u), &entry);
  if (QssFailed(result)) return result;
  CQssRef<CStorageEntry> held(entry);
  CQssRef<CStream> created;
  result = AttachNew(compressed ? new CCompressedStream() : new CStream(), this, table_.get(), entry, &created);
  if (QssFailed(result)) return result;
  AppendEntry(entry);
  *stream = created.Detach();
  return kQssOk;
}

QssResult CStorage::CreateStorage(const char16_t* name, CStorage** storage) {
  CLockGuard guard(lock_);
  CStorageEntry* entry = nullptr;
  QssResult result = PrepareChild(name, storage, kEntryStorage, &entry);
  if (QssFailed(result)) return result;
  CQssRef<CStorageEntry> held(entry);
  CQssRef<CStorage> created;
  result = NewSubStorage(entry, &created);
  if (QssFailed(result)) return result;
  AppendEntry(entry);
  *storage = created.Detach();
  return kQssOk;
}

QssResult CStorage::CreateNestedContainer(const char16_t* name, std::int32_t entryWidth, std::int32_t blockSize,
                                          CRootStorage** root) {
  CLockGuard guard(lock_);
  CStorageEntry* prepared = nullptr;
  QssResult result = PrepareChild(name, root, kEntryStorage | kEntryStream, &prepared);
  if (QssFailed(result)) return result;
  // The entry joins the directory only once the container stands.
  CQssRef<CStorageEntry> entry(prepared);
  CRootStorage* created = nullptr;
  result = AttachNestedContainer(entry.get(), true, entryWidth, blockSize, &created);
  if (QssFailed(result)) return result;
  AppendEntry(entry.get());
  *root = created;  // it carries the caller's reference already
  return kQssOk;
}

}  // namespace qss

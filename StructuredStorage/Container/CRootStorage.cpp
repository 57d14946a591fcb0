#include "qss/CRootStorage.h"

#include <cstring>
#include <utility>

#include "qss/CreateContainer.h"
#include "qss/EntryPath.h"
#include "Format/Format.h"

#include "qss/CLockGuard.h"
#include "qss/CPhysicalByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CStorageEntry.h"

namespace qss {

CRootStorage::CRootStorage(CPhysicalByteArray* physical) : physical_(physical) {
  CQssRef<CBlockAllocationTable> table(new CBlockAllocationTable(physical_.get()));
  valid_ = table->valid();
  if (!valid_) {
    status_ = table->status();
    return;
  }
  rootTable_ = std::move(table);

  rootEntry_ = CQssRef<CStorageEntry>(new CStorageEntry());
  QssResult read;
  std::uint32_t got = 0;
  {
    // The header record is read under the table's lock, serialised with every
    // transfer the table makes on the same byte array.
    CLockGuard guard(rootTable_->lock());
    read = rootTable_->physical()->ReadAt(kRootEntryOffset, rootEntry_->record, kEntryRecordSize, &got);
  }
  const auto giveUp = [this](QssResult status) {
    valid_ = false;
    status_ = status;
    rootEntry_.Reset();
    rootTable_.Reset();
  };
  if (QssFailed(read) || got != kEntryRecordSize) {
    // Without its record the root directory is unknown. Going on with an
    // empty one would write that empty record over the real one at teardown
    // and lose the whole container, so the container does not open.
    giveUp(kQssNotAContainer);
    return;
  }
  if (QssResult attached = Attach(nullptr, rootTable_.get(), rootEntry_.get()); QssFailed(attached)) {
    giveUp(attached);
    return;
  }
  LoadEntries();
}

QssResult CRootStorage::CheckRootDirectoryFits(CPhysicalByteArray* array) {
  if (array == nullptr) return kQssInvalidPointer;
  std::int64_t bytes = 0;
  std::uint8_t header[kContainerHeaderSize] = {};
  std::uint32_t got = 0;
  if (QssFailed(array->GetSize(&bytes)) || QssFailed(array->ReadAt(0, header, kContainerHeaderSize, &got)) ||
      got != kContainerHeaderSize || std::memcmp(header, kContainerMagic, sizeof(kContainerMagic)) != 0) {
    return kQssOk;
  }
  CStorageEntry rootEntry;
  std::memcpy(rootEntry.record, header + kRootEntryOffset, kEntryRecordSize);
  return CheckEntryFits(rootEntry, false, bytes);
}

QssResult CRootStorage::Open(CPhysicalByteArray* array, CQssRef<CRootStorage>* root) {
  if (root == nullptr) return kQssNullResult;
  root->Reset();
  if (array == nullptr) return kQssInvalidPointer;
  // The root directory is loaded while the root storage is built; a damaged
  // header record could make that read run on through a looping chain.
  if (QssResult fits = CheckRootDirectoryFits(array); QssFailed(fits)) return fits;
  // Held from the start: a root that did not open is released like any other
  // (it holds nothing but its byte array, and writes nothing).
  CQssRef<CRootStorage> opened(new CRootStorage(array));
  if (!opened->valid()) return opened->status();
  *root = std::move(opened);
  return kQssOk;
}

QssResult CRootStorage::Create(CPhysicalByteArray* array, std::int32_t entryWidth, std::int32_t blockSize,
                               CQssRef<CRootStorage>* root) {
  if (root == nullptr) return kQssNullResult;
  root->Reset();
  if (array == nullptr) return kQssInvalidPointer;
  if (QssResult created = CreateContainer(array, entryWidth, blockSize); QssFailed(created)) return created;
  return Open(array, root);
}

void CRootStorage::ReportTeardownFailuresTo(CStorageEntry* entry) { outerEntry_ = CQssRef<CStorageEntry>(entry); }

void CRootStorage::FinalRelease() {
  if (valid_) {
    const QssResult result = Commit();
    if (QssFailed(result) && outerEntry_) outerEntry_->RecordUnreportedFailure(result);
  }
  CStorage::FinalRelease();
}

CRootStorage::~CRootStorage() {
  if (valid_ && rootTable_) {
    // Written whether or not the record changed, unless the container was
    // opened for reading; a byte array that refuses the write anyway (a
    // read-only outer stream) is not an error here.
    if (rootEntry_ && !rootEntry_->readOnly) {
      CLockGuard guard(rootTable_->lock());
      static_cast<void>(
          rootTable_->physical()->WriteAt(kRootEntryOffset, rootEntry_->record, kEntryRecordSize, nullptr));
    }
  }
  // The members go now; the table is normally released for the last time
  // here and writes its changed blocks back.
}

QssResult CRootStorage::WriteRootRecord() {
  // Copied first: another thread's save may be changing the record.
  std::uint8_t record[kEntryRecordSize];
  rootEntry_->CopyRecord(record);
  CLockGuard guard(rootTable_->lock());
  std::uint32_t written = 0;
  const QssResult result = rootTable_->physical()->WriteAt(kRootEntryOffset, record, kEntryRecordSize, &written);
  if (QssFailed(result)) return result;
  return written == kEntryRecordSize ? kQssOk : kQssWriteFault;
}

QssResult CRootStorage::Commit() {
  if (!valid_) return status_;
  // The directory first: saving it can move the root record's firstBlock and
  // size, which the header record then carries.
  QssResult first;
  {
    CLockGuard guard(lock_);
    first = CommitEntries();
  }
  const auto keepFirst = [&first](QssResult result) {
    if (QssSucceeded(first)) first = result;
  };
  if (!rootTable_) return first;
  // The record stays dirty, so every later Commit writes it again.
  if (rootEntry_ && rootEntry_->dirty) keepFirst(WriteRootRecord());
  // Blocks freed since the last allocation would otherwise reach the byte
  // array only at teardown; a committed container is complete on its own.
  keepFirst(rootTable_->Flush());  // does nothing unless the table is dirty
  return first;
}

}  // namespace qss

#include "Container/CRootStorage.h"

#include "Base/CLockGuard.h"
#include "ByteArrays/CPhysicalByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "Container/CStorageEntry.h"

CRootStorage::CRootStorage(CPhysicalByteArray* physical) : physical_(physical) {
  physical_->AddRef();

  auto* table = new CBlockAllocationTable(physical_);
  valid_ = table->valid();
  if (!valid_) {
    status_ = table->status();
    delete table;  // nobody holds it yet
    return;
  }
  rootTable_ = table;
  rootTable_->AddRef();

  rootEntry_ = new CStorageEntry();
  rootEntry_->AddRef();
  QssResult read;
  std::uint32_t got = 0;
  {
    // The header record is read under the table's lock, serialised with every
    // transfer the table makes on the same byte array.
    CLockGuard guard(rootTable_->lock());
    read = rootTable_->physical()->ReadAt(kRootEntryOffset, rootEntry_->record, kEntryRecordSize, &got);
  }
  if (QssFailed(read) || got != kEntryRecordSize) {
    // Without its record the root directory is unknown. Going on with an
    // empty one would write that empty record over the real one at teardown
    // and lose the whole container, so the container does not open.
    valid_ = false;
    status_ = kQssNotAContainer;
    rootEntry_->Release();
    rootEntry_ = nullptr;
    rootTable_->Release();
    rootTable_ = nullptr;
    return;
  }

  Attach(nullptr, rootTable_, rootEntry_);
  LoadEntries();
}

CRootStorage::~CRootStorage() {
  if (valid_) {
    if (rootTable_ != nullptr) {
      {
        // Written whether or not the record changed; a byte array that refuses
        // the write (opened for reading, or a read-only outer stream) is not an
        // error here.
        CLockGuard guard(rootTable_->lock());
        rootTable_->physical()->WriteAt(kRootEntryOffset, rootEntry_->record, kEntryRecordSize, nullptr);
      }
      // Normally the table's last reference: it writes its changed blocks back.
      rootTable_->Release();
      rootTable_ = nullptr;
    }
    if (rootEntry_ != nullptr) {
      rootEntry_->Release();
      rootEntry_ = nullptr;
    }
  }
  physical_->Release();
  physical_ = nullptr;
}

QssResult CRootStorage::Commit() {
  // The directory first: saving it can move the root record's firstBlock and
  // size, which the header record then carries.
  {
    CLockGuard guard(lock_);
    if (IsDirty()) SaveEntries();
  }
  if (!valid_) return kQssOk;
  if (rootTable_ == nullptr) return kQssOk;
  if (rootEntry_ != nullptr && rootEntry_->dirty) {
    // Copied first: another thread's save may be changing the record.
    std::uint8_t record[kEntryRecordSize];
    rootEntry_->CopyRecord(record);
    CLockGuard guard(rootTable_->lock());
    // The record stays dirty, so every later Commit writes it again.
    rootTable_->physical()->WriteAt(kRootEntryOffset, record, kEntryRecordSize, nullptr);
  }
  // Blocks freed since the last allocation would otherwise reach the byte
  // array only at teardown; a committed container is complete on its own.
  rootTable_->Flush();  // does nothing unless the table is dirty; reads that under the table's lock
  return kQssOk;
}

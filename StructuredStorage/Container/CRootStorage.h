// CRootStorage: the top-level storage of a container, and the way to open one.
//
// Built on a byte array that holds a whole container (a file, segment files,
// or a stream of another container), it creates the container's allocation
// table, reads its own directory entry record from the header (byte 64),
// attaches itself to it and loads the root directory. It always finishes
// construction: valid and status tell whether the container opened. At
// teardown it saves the directory, writes the header record back and lets
// the table flush.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CROOTSTORAGE_H_
#define STRUCTUREDSTORAGE_CONTAINER_CROOTSTORAGE_H_

#include "Container/CStorage.h"

class CPhysicalByteArray;

class CRootStorage : public CStorage {
 public:
  explicit CRootStorage(CPhysicalByteArray* physical);
  ~CRootStorage() override;

  // Saves the directory if it changed, writes the header record when the
  // root record is dirty, and writes changed table blocks back.
  QssResult Commit() override;

  bool valid() const { return valid_; }
  QssResult status() const { return status_; }
  CStorageEntry* rootEntry() const { return rootEntry_; }

 private:
  CPhysicalByteArray* physical_ = nullptr;
  CBlockAllocationTable* rootTable_ = nullptr;
  CStorageEntry* rootEntry_ = nullptr;
  bool valid_ = false;
  QssResult status_ = kQssOk;
};

#endif  // STRUCTUREDSTORAGE_CONTAINER_CROOTSTORAGE_H_

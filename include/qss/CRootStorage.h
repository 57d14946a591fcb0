// CRootStorage: the top-level storage of a container, and the way to open one.
//
// Built on a byte array that holds a whole container (a file, segment files,
// or a stream of another container), it creates the container's allocation
// table, reads its own directory entry record from the header (byte 64),
// attaches itself to it and loads the root directory. It always finishes
// construction: valid and status tell whether the container opened. At its
// last release it commits (saves the directory, writes the header record
// back and flushes the table); nobody hears of a failure there except, for a
// nested container, the storage that holds it. A writer that needs to know
// commits first.

#ifndef QSS_CROOTSTORAGE_H_
#define QSS_CROOTSTORAGE_H_

#include "qss/CStorage.h"

namespace qss {

class CPhysicalByteArray;

class CRootStorage : public CStorage {
 public:
  explicit CRootStorage(CPhysicalByteArray* physical);
  ~CRootStorage() override;

  // Commits, and leaves a failure with the entry given to
  // ReportTeardownFailuresTo.
  void FinalRelease() override;

  // Saves the directory if it changed, writes the header record when the
  // root record is dirty, and writes changed table blocks back. Every step
  // runs; the first failure is returned. A root that did not open returns
  // its status.
  QssResult Commit() override;

  // For a container nested in a stream: the entry of that stream, which
  // keeps any failure of the last release's commit for its storage's next
  // commit. Takes a reference to entry.
  void ReportTeardownFailuresTo(CStorageEntry* entry);

  bool valid() const { return valid_; }
  QssResult status() const { return status_; }
  CStorageEntry* rootEntry() const { return rootEntry_; }

 private:
  CPhysicalByteArray* physical_ = nullptr;
  CBlockAllocationTable* rootTable_ = nullptr;
  CStorageEntry* rootEntry_ = nullptr;
  CStorageEntry* outerEntry_ = nullptr;
  bool valid_ = false;
  QssResult status_ = kQssOk;
};

}  // namespace qss

#endif  // QSS_CROOTSTORAGE_H_

#ifndef QSS_CROOTSTORAGE_H_
#define QSS_CROOTSTORAGE_H_

#include <cstdint>

#include "qss/CQssRef.h"
#include "qss/CStorage.h"
#include "qss/Export.h"

namespace qss {

class CPhysicalByteArray;

/// CRootStorage: the top-level storage of a container, and the way to open one.
///
/// Built on a byte array that holds a whole container (a file, segment files,
/// or a stream of another container), it creates the container's allocation
/// table, reads its own directory entry record from the header (byte 64),
/// attaches itself to it and loads the root directory. Open (or Create) is the
/// way in: it says in its result whether the container opened and hands out
/// only a root storage that did. (The constructor always finishes, valid and
/// status telling the outcome; a root that did not open holds nothing but its
/// byte array.) At its last release it commits (saves the directory, writes
/// the header record back and flushes the table); nobody hears of a failure
/// there except, for a nested container, the storage that holds it. A writer
/// that needs to know commits first.
///
/// The root holds a reference to its byte array for its whole life. Threads:
/// as for CStorage; the header record is written under the allocation
/// table's lock, with every other transfer on the byte array.
class QSS_EXPORT CRootStorage : public CStorage {
 public:
  /// Builds the root storage on physical (taking a reference to it); see
  /// valid() and status() for the outcome. Open is the checked way in.
  explicit CRootStorage(CPhysicalByteArray* physical);
  ~CRootStorage() override;

  /// Opens the container that array holds. On success *root holds the root
  /// storage (writable when the array is); on failure *root is empty and the
  /// result says why: kQssNotAContainer or kQssTruncated for bytes that are no
  /// sound container, kQssNullResult for a null root, kQssInvalidPointer for
  /// a null array.
  static QssResult Open(CPhysicalByteArray* array, CQssRef<CRootStorage>* root);

  /// Writes a new, empty container into array (see CreateContainer) and opens
  /// it as Open does.
  static QssResult Create(CPhysicalByteArray* array, std::int32_t entryWidth, std::int32_t blockSize,
                          CQssRef<CRootStorage>* root);

  /// kQssNotAContainer when the header of array names a root directory larger
  /// than array itself (a damaged or hostile size, which Open refuses before
  /// reading the directory); kQssOk otherwise, including when the header is
  /// unreadable or not a container header at all (Open reports those).
  static QssResult CheckRootDirectoryFits(CPhysicalByteArray* array);

  /// Commits, and leaves a failure with the entry given to
  /// ReportTeardownFailuresTo.
  void FinalRelease() override;

  /// Saves the directory if it changed, writes the header record when the
  /// root record is dirty, and writes changed table blocks back. Every step
  /// runs; the first failure is returned. A root that did not open returns
  /// its status.
  QssResult Commit() override;

  /// For a container nested in a stream: the entry of that stream, which
  /// keeps any failure of the last release's commit for its storage's next
  /// commit. Takes a reference to entry.
  void ReportTeardownFailuresTo(CStorageEntry* entry);

  /// Whether the container opened.
  bool valid() const { return valid_; }
  /// Why it did not open (kQssOk when it did).
  QssResult status() const { return status_; }
  /// The root directory's entry record, read from the header (no reference
  /// added; null when the container did not open). Setting its readOnly
  /// keeps the root from writing anything back.
  CStorageEntry* rootEntry() const { return rootEntry_.get(); }

 private:
  friend class ContainerEdit;
  // Writes the root record into the header: the one write that switches a
  // container from one directory tree to another.
  QssResult WriteRootRecord();
  // A container nested in a stream of another one.
  bool IsNested() const { return static_cast<bool>(outerEntry_); }

  /// Held as references of their own; the types of the first two are only
  /// forward-declared here, so everything that releases them (the
  /// constructor's failure path and the destructor) lives in the .cpp.
  CQssRef<CPhysicalByteArray> physical_;
  CQssRef<CBlockAllocationTable> rootTable_;
  CQssRef<CStorageEntry> rootEntry_;
  CQssRef<CStorageEntry> outerEntry_;
  bool valid_ = false;
  QssResult status_ = kQssOk;
};

}  // namespace qss

#endif  // QSS_CROOTSTORAGE_H_

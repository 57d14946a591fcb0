#ifndef QSS_CSTORAGE_H_
#define QSS_CSTORAGE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CStorageEntry.h"
#include "qss/Export.h"
#include "qss/CStream.h"

namespace qss {

class CRootStorage;

/// CStorage: a directory inside a container.
///
/// A storage is a stream whose content is a packed array of 128-byte
/// directory entry records. Opening it loads every record into a
/// CStorageEntry; opening a child by name attaches a CStream,
/// CCompressedStream, CStorage or (for a nested container) CRootStorage to
/// the entry. Children opened by name are read-only. Changed records are
/// written back when the storage commits or is finally released, unless the
/// storage's own entry is read-only.
///
/// Every object opened or created through a storage holds a reference to it,
/// so the storage lives as long as its children. Threads: every call takes
/// the storage's lock; children may be used from other threads.
class QSS_EXPORT CStorage : public CStream {
 public:
  CStorage();
  ~CStorage() override;

  void FinalRelease() override;
  /// Saves the directory's records when any changed. The first failure wins:
  /// a child storage or nested container whose last release could not save
  /// its own content is reported here too, at every commit from then on, and
  /// a failed save leaves the records dirty for the next one. A writer that
  /// needs to know whether its content is stored commits before its last
  /// Release: a save that fails during the last release has nobody to tell
  /// but the parent's next commit.
  virtual QssResult Commit();

  /// Opens the stream entry of that name for reading (a CCompressedStream
  /// when it is stored compressed). On success *stream carries one reference
  /// for the caller (adopt it with CQssRef::Attach or pass
  /// CQssRef::Receive()); on failure it is null. kQssNotFound when no stream
  /// has that name, kQssAlreadyOpen while the entry has an object attached,
  /// kQssNullName / kQssNullResult for null pointers. reserved is 0.
  QssResult OpenStream(const char16_t* name, std::uint32_t reserved, CStream** stream);
  /// Opens the storage, or the nested container (a CRootStorage), of that
  /// name for reading, its directory loaded; results and reference as for
  /// OpenStream.
  QssResult OpenStorage(const char16_t* name, std::uint32_t reserved, CStorage** storage);
  /// Opens the existing sub-storage (kind 1) named name for writing, so that
  /// entries can be added to and removed from it (see qss/ContainerEditing.h
  /// for changes that must survive a failure half-way). This storage must be
  /// writable: kQssReadOnly otherwise, the load failure for a directory that
  /// was not read whole, kQssNotFound for no entry of that name,
  /// kQssInvalidRequest for an entry of another kind (a nested container is
  /// changed by rewriting the container that holds it), kQssAlreadyOpen for
  /// an entry that is open. On success the caller owns one reference.
  QssResult OpenStorageForWriting(const char16_t* name, CStorage** storage);

  /// No reference added. The first entry of that name, except that the
  /// successor of the last hit is tried first (so lookups in directory order
  /// cost one comparison each and a run of duplicates is followed). Larger
  /// directories are looked up through a name index built on the first full
  /// lookup and kept up to date as entries are added; names never change once
  /// an entry is in the table.
  CStorageEntry* FindEntry(const char16_t* name);
  /// The first entry of that name, or null; no reference added. Unlike
  /// FindEntry it leaves the successor hint alone, so asking before an open
  /// cannot steer the open to a later entry of the same name in a damaged
  /// directory. Uses the same name index; takes the storage's lock.
  CStorageEntry* FindFirstEntry(const char16_t* name);
  /// Reads the records; a read that fails (not the end of the content) is
  /// kept in loadFailure_.
  void LoadEntries();
  /// Writes every record into the directory's stream and cuts it to their
  /// length; kQssOk when the storage's own entry is read-only (nothing to do).
  QssResult SaveEntries();
  /// Whether a record of the directory changed since it was saved.
  bool IsDirty();

  /// Writing side, for packers. The storage must be writable (its own entry
  /// not read-only, else kQssReadOnly). Each call adds a record at the end of
  /// the directory and attaches a writable object to it; on success the caller
  /// owns one reference. A name must be 1 to 31 UTF-16 units and not present
  /// yet (kQssInvalidRequest otherwise); a null name is kQssNullName, a null
  /// result pointer kQssNullResult.
  ///
  /// A child records its content in its entry, which the parent writes out
  /// when it commits or is finally released: release (or commit) children
  /// before committing their parent. A writable top-level container is
  /// CreateContainer on a byte array, then new CRootStorage(array).
  ///
  /// A stream (kind 2). A compressed stream stores its first write as one
  /// LZ4 image when that is smaller (plain otherwise); every later write into
  /// compressed content recompresses the whole content, so write it in one
  /// call.
  QssResult CreateStream(const char16_t* name, bool compressed, CStream** stream);
  /// A sub-storage (kind 1) sharing this storage's allocation table.
  QssResult CreateStorage(const char16_t* name, CStorage** storage);
  /// A kind-3 entry whose stream holds a new, empty container (see
  /// CreateContainer); the returned root storage is writable and its bytes go
  /// into that stream. Its last release saves its directory, writes its header
  /// record and flushes its table into the stream; only then does this
  /// storage's record of the stream hold its final size and first block.
  /// entryWidth/blockSize as for CreateContainer (kQssInvalidArgument, and no
  /// entry added, otherwise).
  QssResult CreateNestedContainer(const char16_t* name, std::int32_t entryWidth, std::int32_t blockSize,
                                  CRootStorage** root);

  /// The entries in directory order, for listing tools.
  std::int32_t EntryCount() const { return entryCount_; }
  /// kQssOk when the directory was read to its end; otherwise why reading it
  /// stopped early (a broken or circular chain, a failed read): the entries
  /// above are the ones before that point.
  QssResult loadStatus() const { return loadFailure_; }
  /// The entry at index (0 to EntryCount() - 1) in directory order, or null;
  /// no reference added.
  CStorageEntry* EntryAt(std::int32_t index) const;

  /// @cond INTERNAL
 protected:
  // Changes made in place, record by record, by ContainerEdit.
  friend class ContainerEdit;
  /// Adds entry at the end of the table, taking one reference to it.
  void AppendEntry(CStorageEntry* entry);
  /// Drops every entry's reference (in directory order) and frees the pages.
  void ReleaseEntries();
  /// What Commit does under the storage's lock: the first unreported failure
  /// of a child, then the save.
  QssResult CommitEntries();
  /// After a failed save: every record is written again next time.
  void MarkAllDirty();
  /// Saving at the last release: a failure is left with the own entry for the
  /// parent's next commit.
  void SaveAtFinalRelease();

  /// The entries in pages of a fixed size, so that an entry's slot never moves
  /// as the directory grows; each slot holds one reference.
  std::vector<std::unique_ptr<CQssRef<CStorageEntry>[]>> pages_;
  std::int32_t entryCount_ = 0;
  std::int32_t lastFound_ = -1;
  /// Why the directory could not be read whole (kQssOk when it was): such a
  /// directory takes no new children and is never saved.
  QssResult loadFailure_ = kQssOk;
  /// @endcond

 private:
  /// Below this many entries a full lookup scans; from it on it uses the index.
  static constexpr std::int32_t kIndexedLookupThreshold = 64;

  /// Index of the first entry of each (terminated) name, looked up by view so
  /// that a lookup allocates nothing.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::u16string_view name) const { return std::hash<std::u16string_view>{}(name); }
  };
  void IndexEntry(std::int32_t index);
  /// Index of the first entry named name (scan or name index), or -1.
  std::int32_t FirstIndexNamed(const char16_t* name);
  /// The entry at an index below entryCount_.
  CStorageEntry* Slot(std::uint32_t index) const;
  std::unordered_map<std::u16string, std::int32_t, NameHash, std::equal_to<>> nameIndex_;
  bool indexBuilt_ = false;

  // Directory changes of an edit in place. Entries move, so every position
  // remembered for lookups is forgotten.
  void InsertEntryAt(std::int32_t index, CStorageEntry* entry);
  void RemoveEntryAt(std::int32_t index);
  void ReplaceEntryAt(std::int32_t index, CStorageEntry* entry);
  // Where a new entry of that name goes in a directory in UTF-16 name order:
  // before the first entry whose name is greater.
  std::int32_t SortedIndexFor(const std::u16string& name) const;
  void ForgetPositions();
  CQssRef<CStorageEntry>& SlotRef(std::int32_t index);

  /// A new CStorage attached to entry, its records loaded.
  QssResult NewSubStorage(CStorageEntry* entry, CQssRef<CStorage>* storage);
  /// Lays a root storage on a plain stream of entry and hands it out with one
  /// reference for the caller. When create is set, a new container of
  /// entryWidth and blockSize is first written into the stream and the root
  /// stays writable; otherwise the root is marked read-only. On failure nothing
  /// stays attached to entry and the blocks written are freed.
  QssResult AttachNestedContainer(CStorageEntry* entry, bool create, std::int32_t entryWidth,
                                  std::int32_t blockSize, CRootStorage** root);
  /// The common checks of the writing side, then a new dirty entry of that
  /// name and flags (not yet in the table).
  QssResult PrepareChild(const char16_t* name, const void* result, std::uint32_t flags, CStorageEntry** entry);
};

}  // namespace qss

#endif  // QSS_CSTORAGE_H_

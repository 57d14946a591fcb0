#ifndef QSS_CSTORAGEENTRY_H_
#define QSS_CSTORAGEENTRY_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "qss/Export.h"
#include "qss/CLock.h"
#include "qss/CQssRefCountedObject.h"
#include "qss/EntryKinds.h"

namespace qss {

/// CStorageEntry: one 128-byte directory entry record in memory.
///
/// Every stream and storage of a container is described by one record: its
/// name, kind, first block, length and a few further fields. The record is
/// held verbatim (reserved bytes are written back exactly as read); the
/// accessors below read and change its fields. Three status bytes say whether
/// the record changed since it was saved (dirty), whether an object is
/// attached to it (open), and whether that object may write (readOnly).
///
/// The record's fields are a name of up to 31 UTF-16 units, flags (kind and
/// attributes, see EntryKinds.h), storedLength (bytes of a compressed
/// stream's stored image), firstBlock (-1 for none), size and headOffset
/// (first readable position); the rest is reserved.
///
/// Entries are held by their storage and by the object attached to them;
/// every pointer to one that the library hands out without a reference
/// stays valid as long as its storage is held. Threads: the accessors and
/// setters may be used from several threads; the record changes under its
/// own lock.
class QSS_EXPORT CStorageEntry : public CQssRefCountedObject {
 public:
  /// A zeroed record with firstBlock -1 and all status bytes clear.
  CStorageEntry();

  /// The record as stored (little-endian fields).
  std::uint8_t record[kEntryRecordSize];
  /// The record changed since it was saved. The status bytes are read by the
  /// storage that holds the entry and changed by the object attached to it,
  /// each under its own lock.
  std::atomic<bool> dirty{false};
  /// An object is attached to the entry.
  std::atomic<bool> open{false};
  /// The attached object may not write (and nothing is saved through it).
  std::atomic<bool> readOnly{false};
  /// The first failure of the attached object that happened where nobody
  /// could be told: a storage or nested container whose last release could
  /// not save its content. The storage holding this entry reports it from
  /// every later commit, since what was lost cannot be written again.
  std::atomic<std::int32_t> unreportedFailure{0};
  /// Keeps result unless an earlier failure is kept already.
  void RecordUnreportedFailure(std::int32_t result) {
    std::int32_t none = 0;
    unreportedFailure.compare_exchange_strong(none, result);
  }

  /// Copies the record for saving and clears dirty, in one step with respect
  /// to the setters below: a change made meanwhile is either in the copy or
  /// leaves the entry dirty.
  void CopyRecordForSave(std::uint8_t* out);
  /// The same, leaving dirty as it is.
  void CopyRecord(std::uint8_t* out);

  /// The name up to its terminating 0 unit. A name field without one is not a
  /// valid record: NameIsTerminated() is false, Name() returns the 32 units
  /// and NameEquals() matches nothing.
  std::u16string Name() const;
  /// Whether the name field holds a terminating 0 unit.
  bool NameIsTerminated() const;
  /// Compares code units up to and including the terminator; case-sensitive.
  bool NameEquals(const char16_t* name) const;

  /// The flags field as stored (kind and attributes, see EntryKinds.h).
  std::uint32_t Flags() const;
  /// Flags with bits 16-19 cleared, plus the open status bit.
  std::uint32_t EffectiveFlags() const;
  /// The kind bits of the flags (kEntryStorage, kEntryStream, both for a
  /// nested container).
  std::uint32_t Kind() const { return Flags() & kEntryKindMask; }

  /// Bytes of a compressed stream's stored image.
  std::int32_t StoredLength() const;
  /// The first block of the content's chain, -1 for none.
  std::int64_t FirstBlock() const;
  /// The content's length in bytes, counted from the start of the chain.
  std::int64_t Size() const;
  /// The first readable position of the content.
  std::int64_t HeadOffset() const;
  /// Whether the content is stored as one compressed image: the compressed
  /// flag is set and the stored length differs from the size (content that
  /// did not shrink is stored plain under the same flag).
  bool StoredCompressed() const;

  /// Each setter changes the record, and sets dirty, only when the new value
  /// differs from the stored one.
  void SetStoredLength(std::int32_t value);
  /// Sets the first block (see SetStoredLength).
  void SetFirstBlock(std::int64_t value);
  /// Sets the size (see SetStoredLength).
  void SetSize(std::int64_t value);

  /// For the writing side only: a new record's name and flags. A name must be
  /// 1 to 31 units; SetName returns false (and changes nothing) otherwise.
  bool SetName(const std::u16string& name);
  /// Sets a new record's flags (see SetName).
  void SetFlags(std::uint32_t flags);

 private:
  template <typename T>
  void SetField(int offset, T value);

  /// Serialises changes of the record with CopyRecordForSave. A leaf lock:
  /// nothing else is taken while it is held.
  CLock recordLock_;
};

}  // namespace qss

#endif  // QSS_CSTORAGEENTRY_H_

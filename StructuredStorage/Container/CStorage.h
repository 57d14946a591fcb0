// CStorage: a directory inside a container.
//
// A storage is a stream whose content is a packed array of 128-byte
// directory entry records. Opening it loads every record into a
// CStorageEntry; opening a child by name attaches a CStream,
// CCompressedStream, CStorage or (for a nested container) CRootStorage to
// the entry. Children opened by name are read-only. Changed records are
// written back when the storage commits or is finally released, unless the
// storage's own entry is read-only.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CSTORAGE_H_
#define STRUCTUREDSTORAGE_CONTAINER_CSTORAGE_H_

#include <cstdint>
#include <string>

#include "Container/CStream.h"

class CRootStorage;

class CStorage : public CStream {
 public:
  CStorage();
  ~CStorage() override;

  void FinalRelease() override;
  virtual QssResult Commit();

  // On success the caller owns one reference to the new object.
  QssResult OpenStream(const char16_t* name, std::uint32_t reserved, CStream** stream);
  QssResult OpenStorage(const char16_t* name, std::uint32_t reserved, CStorage** storage);

  // No reference added.
  CStorageEntry* FindEntry(const char16_t* name);
  void LoadEntries();
  void SaveEntries();
  bool IsDirty();

  // Writing side, for packers. The storage must be writable (its own entry
  // not read-only, else kQssReadOnly). Each call adds a record at the end of
  // the directory and attaches a writable object to it; on success the caller
  // owns one reference. A name must be 1 to 31 UTF-16 units and not present
  // yet (kQssInvalidRequest otherwise); a null name is kQssNullName, a null
  // result pointer kQssNullResult.
  //
  // A child records its content in its entry, which the parent writes out
  // when it commits or is finally released: release (or commit) children
  // before committing their parent. A writable top-level container is
  // CreateContainer on a byte array, then new CRootStorage(array).
  //
  // A stream (kind 2). A compressed stream stores its first write as one
  // LZ4 image when that is smaller (plain otherwise); every later write into
  // compressed content recompresses the whole content, so write it in one
  // call.
  QssResult CreateStream(const char16_t* name, bool compressed, CStream** stream);
  // A sub-storage (kind 1) sharing this storage's allocation table.
  QssResult CreateStorage(const char16_t* name, CStorage** storage);
  // A kind-3 entry whose stream holds a new, empty container (see
  // CreateContainer); the returned root storage is writable and its bytes go
  // into that stream. Its last release saves its directory, writes its header
  // record and flushes its table into the stream; only then does this
  // storage's record of the stream hold its final size and first block.
  // entryWidth/blockSize as for CreateContainer (kQssInvalidArgument, and no
  // entry added, otherwise).
  QssResult CreateNestedContainer(const char16_t* name, std::int32_t entryWidth, std::int32_t blockSize,
                                  CRootStorage** root);

  // The entries in directory order, for listing tools.
  std::int32_t EntryCount() const { return entryCount_; }
  CStorageEntry* EntryAt(std::int32_t index) const;

 protected:
  // Adds entry at the end of the table, taking one reference to it.
  void AppendEntry(CStorageEntry* entry);
  // Drops every entry's reference and frees the pages.
  void ReleaseEntries();

  std::uint32_t capacity_ = 0;
  std::uint32_t pageCount_ = 0;
  CStorageEntry*** pages_ = nullptr;
  std::int32_t entryCount_ = 0;
  std::int32_t lastFound_ = -1;

 private:
  // A new CStorage attached to entry, its records loaded.
  CStorage* NewSubStorage(CStorageEntry* entry);
  // Lays a root storage on a plain stream of entry. When create is set, a new
  // container of entryWidth and blockSize is first written into the stream and
  // the root stays writable; otherwise the root is marked read-only. On
  // failure nothing stays attached to entry and the blocks written are freed.
  QssResult AttachNestedContainer(CStorageEntry* entry, bool create, std::int32_t entryWidth,
                                  std::int32_t blockSize, CRootStorage** root);
  // The common checks of the writing side, then a new dirty entry of that
  // name and flags (not yet in the table).
  QssResult PrepareChild(const char16_t* name, const void* result, std::uint32_t flags, CStorageEntry** entry);
};

#endif  // STRUCTUREDSTORAGE_CONTAINER_CSTORAGE_H_

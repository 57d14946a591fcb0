#include "qss/EntryPath.h"

#include "Container/CBlockAllocationTable.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"

namespace qss {

std::vector<std::u16string> SplitEntryPath(std::u16string_view path) {
  std::vector<std::u16string> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) names.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

QssResult CheckEntryFits(const CStorageEntry& entry, bool asStream, std::int64_t containerBytes) {
  const std::int64_t size = entry.Size();
  const std::int64_t stored = entry.StoredLength();
  const bool compressedImage = asStream && (entry.Flags() & kEntryCompressed) != 0 && stored != size;
  if (!compressedImage) {
    // The chain holds the bytes from the head offset on; those before it
    // are not stored, so a large head offset does not make the size lie.
    const std::int64_t head = entry.HeadOffset();
    if (size < 0 || head < 0 || head > size) return kQssNotAContainer;
    return size - head <= containerBytes ? kQssOk : kQssNotAContainer;
  }
  if (stored < 0 || stored > containerBytes) return kQssNotAContainer;
  if (size < 0 || size > kMaxCompressibleSize || size > stored * kMaxLz4Ratio + 64) return kQssNotAContainer;
  return kQssOk;
}

const CStorageEntry* FirstEntryNamed(CStorage* storage, std::u16string_view name) {
  if (storage == nullptr) return nullptr;
  const std::u16string terminated(name);
  for (std::int32_t i = 0; i < storage->EntryCount(); ++i) {
    const CStorageEntry* entry = storage->EntryAt(i);
    if (entry != nullptr && entry->NameEquals(terminated.c_str())) return entry;
  }
  return nullptr;
}

std::int64_t ContainerBytes(CStorage* storage) {
  if (storage == nullptr || storage->table() == nullptr || storage->table()->physical() == nullptr) return 0;
  std::int64_t bytes = 0;
  return QssSucceeded(storage->table()->physical()->GetSize(&bytes)) ? bytes : 0;
}

namespace {

// The first entry of that name must fit the container before the library
// sizes anything from it.
QssResult CheckNamedEntryFits(CStorage* parent, const std::u16string& name, bool asStream,
                              std::int64_t containerBytes) {
  const CStorageEntry* entry = FirstEntryNamed(parent, name);
  return entry ? CheckEntryFits(*entry, asStream, containerBytes) : kQssOk;
}

// Walks the storages of names[0, count) from start.
QssResult WalkStorages(CStorage* start, const std::vector<std::u16string>& names, std::size_t count,
                       CQssRef<CStorage>* storage, std::size_t* failedAt) {
  if (names.size() > static_cast<std::size_t>(kMaxEntryPathDepth)) {
    if (failedAt != nullptr) *failedAt = static_cast<std::size_t>(kMaxEntryPathDepth);
    return kQssInvalidArgument;
  }
  CQssRef<CStorage> current(start);
  for (std::size_t i = 0; i < count; ++i) {
    CQssRef<CStorage> child;
    const QssResult result = OpenChildStorage(current.get(), names[i], ContainerBytes(current.get()), &child);
    if (QssFailed(result)) {
      if (failedAt != nullptr) *failedAt = i;
      return result;
    }
    current = std::move(child);
  }
  *storage = std::move(current);
  return kQssOk;
}

}  // namespace

QssResult OpenChildStorage(CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                           CQssRef<CStorage>* child) {
  if (child == nullptr) return kQssNullResult;
  child->Reset();
  if (parent == nullptr) return kQssInvalidPointer;
  const QssResult fits = CheckNamedEntryFits(parent, name, false, containerBytes);
  if (QssFailed(fits)) return fits;
  CStorage* opened = nullptr;
  const QssResult result = parent->OpenStorage(name.c_str(), 0, &opened);
  if (QssFailed(result)) return result;
  *child = CQssRef<CStorage>::Attach(opened);
  return *child ? kQssOk : kQssNotFound;
}

QssResult OpenChildStream(CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                          CQssRef<CStream>* child) {
  if (child == nullptr) return kQssNullResult;
  child->Reset();
  if (parent == nullptr) return kQssInvalidPointer;
  const QssResult fits = CheckNamedEntryFits(parent, name, true, containerBytes);
  if (QssFailed(fits)) return fits;
  CStream* opened = nullptr;
  const QssResult result = parent->OpenStream(name.c_str(), 0, &opened);
  if (QssFailed(result)) return result;
  *child = CQssRef<CStream>::Attach(opened);
  return *child ? kQssOk : kQssNotFound;
}

QssResult OpenStoragePath(CStorage* start, const std::vector<std::u16string>& names, CQssRef<CStorage>* storage,
                          std::size_t* failedAt) {
  if (storage == nullptr) return kQssNullResult;
  storage->Reset();
  if (start == nullptr) return kQssInvalidPointer;
  return WalkStorages(start, names, names.size(), storage, failedAt);
}

QssResult OpenStreamPath(CStorage* start, const std::vector<std::u16string>& names, CQssRef<CStream>* stream,
                         std::size_t* failedAt) {
  if (stream == nullptr) return kQssNullResult;
  stream->Reset();
  if (start == nullptr) return kQssInvalidPointer;
  if (names.empty()) return kQssInvalidRequest;
  CQssRef<CStorage> parent;
  const QssResult walked = WalkStorages(start, names, names.size() - 1, &parent, failedAt);
  if (QssFailed(walked)) return walked;
  const QssResult opened = OpenChildStream(parent.get(), names.back(), ContainerBytes(parent.get()), stream);
  if (QssFailed(opened) && failedAt != nullptr) *failedAt = names.size() - 1;
  return opened;
}

QssResult OpenStreamPath(CStorage* start, std::u16string_view path, CQssRef<CStream>* stream) {
  return OpenStreamPath(start, SplitEntryPath(path), stream, nullptr);
}

}  // namespace qss

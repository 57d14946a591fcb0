// Finding entries by path: names separated by '\' or '/', walked from a
// storage down through sub-storages and nested containers.
//
// A container is untrusted input, so every entry is measured against the
// container that holds it before anything is opened from it (CheckEntryFits):
// the library sizes tables and buffers from an entry's fields, and a damaged
// entry could otherwise make it allocate terabytes or read round a looping
// chain for ever. Paths are bounded by kMaxEntryPathDepth names.

#ifndef QSS_ENTRYPATH_H_
#define QSS_ENTRYPATH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

class CStorage;
class CStorageEntry;
class CStream;

/// The most names a path may have. A damaged container can make a storage
/// contain itself; the limit bounds every walk down a path.
inline constexpr int kMaxEntryPathDepth = 64;
/// The largest content LZ4 can compress in one block.
inline constexpr std::int64_t kMaxCompressibleSize = 0x7E000000;
/// LZ4 cannot expand a block by more than this factor.
inline constexpr std::int64_t kMaxLz4Ratio = 255;

/// The names of path, split at every '\' and '/'. Empty names are dropped, so
/// "", "/" and "\" name the storage the walk starts from.
QSS_EXPORT std::vector<std::u16string> SplitEntryPath(std::u16string_view path);

/// Whether entry fits a container of containerBytes bytes: content no larger
/// than the container, and for a compressed image opened as a stream
/// (asStream) an image no longer than the container and no larger once
/// expanded than LZ4 allows; otherwise the bytes from the head offset to the
/// size no more than the container holds. kQssNotAContainer when not.
QSS_EXPORT QssResult CheckEntryFits(const CStorageEntry& entry, bool asStream, std::int64_t containerBytes);

/// The first entry of storage named name, or null. Unlike CStorage::FindEntry
/// it remembers nothing, so asking before an open cannot make the open reach a
/// later entry of the same name in a damaged directory. No reference added.
QSS_EXPORT const CStorageEntry* FirstEntryNamed(CStorage* storage, std::u16string_view name);

/// The bytes of the container that storage belongs to (a nested container's
/// own length for a storage inside one); 0 when they cannot be measured.
QSS_EXPORT std::int64_t ContainerBytes(CStorage* storage);

/// Opens the storage (or nested container) named name in parent, once its
/// entry passed CheckEntryFits against containerBytes. *child is empty on
/// failure; kQssNotFound when there is no such storage.
QSS_EXPORT QssResult OpenChildStorage(CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                                      CQssRef<CStorage>* child);
/// The same for a stream (a compressed stream expands as it is read).
QSS_EXPORT QssResult OpenChildStream(CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                                     CQssRef<CStream>* child);

/// Opens the storage that names leads to from start (start itself for no
/// names), each name opened with OpenChildStorage against the container it
/// lies in; a nested container opens as its root storage. On failure
/// *failedAt, when given, is the index of the name that did not open.
/// kQssInvalidArgument for more than kMaxEntryPathDepth names.
QSS_EXPORT QssResult OpenStoragePath(CStorage* start, const std::vector<std::u16string>& names,
                                     CQssRef<CStorage>* storage, std::size_t* failedAt = nullptr);

/// Opens the stream that names leads to from start: every name but the last
/// a storage, the last a stream. kQssInvalidRequest for no names.
QSS_EXPORT QssResult OpenStreamPath(CStorage* start, const std::vector<std::u16string>& names,
                                    CQssRef<CStream>* stream, std::size_t* failedAt = nullptr);
/// The same for a path such as u"Kivra7i\\KivMod7Win.bin" (see SplitEntryPath).
QSS_EXPORT QssResult OpenStreamPath(CStorage* start, std::u16string_view path, CQssRef<CStream>* stream);

}  // namespace qss

#endif  // QSS_ENTRYPATH_H_

// ContainerAccess: opening a container for reading and finding things in it.
//
// Every command except pack opens its container through OpenContainerReadOnly:
// a segmented file array with read access and read sharing, so nothing can
// be written to it even where the library tries (the root storage writes its
// header record at teardown; on this array that write fails silently).

#ifndef TOOLS_QSS_CONTAINERACCESS_H_
#define TOOLS_QSS_CONTAINERACCESS_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/ResultCodes.h"
#include "ByteArrays/CMultiFileArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "Container/ContainerFormat.h"
#include "ToolContext.h"

namespace qss_tool {

// The largest content LZ4 can compress in one block.
inline constexpr std::int64_t kMaxCompressibleSize = 0x7E000000;
// LZ4 cannot expand a block by more than this factor.
inline constexpr std::int64_t kMaxLz4Ratio = 255;

// How deep the tools go, one limit for all of them: an entry path has at
// most this many names, storages and nested containers (counted together)
// are opened only above this depth, pack refuses a deeper tree and check
// reports one as too deep to check. A damaged container can make a storage
// contain itself; the limit also bounds the chain of parents a path holds.
inline constexpr int kMaxTreeDepth = 64;
// How many entries one walk visits at most, for the same reason.
inline constexpr std::int64_t kMaxTreeEntries = 10000000;

struct ReadOnlyArray {
  qss::CQssRef<qss::CMultiFileArray> array;
  qss::QssResult result = qss::kQssOk;
};

// Opens the segment files of base with read access and read sharing.
ReadOnlyArray OpenArrayReadOnly(const std::filesystem::path& base);

struct OpenedContainer {
  qss::CQssRef<qss::CMultiFileArray> array;
  qss::CQssRef<qss::CRootStorage> root;
  // Bytes of the whole container: no content inside it can be larger.
  std::int64_t bytes = 0;
  qss::QssResult result = qss::kQssOk;
  // What failed, for messages: "cannot open", "not a container".
  std::string failure;
};

OpenedContainer OpenContainerReadOnly(const std::filesystem::path& base);

// Splits a path of '\' or '/' separated components (UTF-8). Empty components
// are dropped, so "", "/" and "\" are the root. False when a component is not
// valid UTF-8.
bool SplitEntryPath(std::string_view path, std::vector<std::u16string>* components);
// SplitEntryPath, then the depth limit; false with *error when either fails.
bool ParseEntryPath(std::string_view path, std::vector<std::u16string>* components, std::string* error);

// "A\B\C" for messages.
std::string JoinEntryPath(const std::vector<std::u16string>& components, std::size_t count);

// Reports that components[failedAt] of a path did not open as a what
// ("storage", "stream"): "<command>: no such entry 'x' in 'A\B' (0x...)"
// when it is missing, "<command>: cannot open <what> 'A\B\x': <why> (0x...)"
// otherwise. Returns kExitFailure.
int FailToOpenEntry(ToolContext& context, std::string_view command, std::string_view what,
                    const std::vector<std::u16string>& components, std::size_t failedAt, qss::QssResult result);

// The library sizes tables and buffers from an entry's fields and reads
// directories until their size, so a damaged entry could make it allocate
// terabytes or read round a looping chain for ever. Before anything is
// opened, its entry must fit the container that holds it: content no larger
// than the whole container, and a compressed image (asStream) no longer
// than it and no larger once expanded than LZ4 allows; otherwise the bytes
// from the head offset to the size no more than the container holds.
// kQssNotAContainer otherwise.
qss::QssResult CheckEntryFits(const qss::CStorageEntry& entry, bool asStream, std::int64_t containerBytes);

// The first entry named name, found without FindEntry: FindEntry remembers
// its last hit and tries the entry after it first, so an extra lookup before
// an open could make the open reach a later entry of the same name in a
// damaged directory.
const qss::CStorageEntry* FirstEntryNamed(qss::CStorage* storage, const std::u16string& name);

// OpenStorage and OpenStream of parent, after CheckEntryFits on the entry of
// that name. On success the caller owns one reference.
qss::QssResult OpenChildStorage(qss::CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                           qss::CStorage** child);
qss::QssResult OpenChildStream(qss::CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                          qss::CStream** child);

// Opens the storage named by the first count components, starting at the
// container's root; a kind-3 component opens as a nested container. On
// failure *failedAt is the index of the component that did not open.
qss::QssResult OpenStoragePath(const OpenedContainer& container, const std::vector<std::u16string>& components,
                          std::size_t count, qss::CQssRef<qss::CStorage>* storage, std::size_t* failedAt);

// The kind of an entry that is a stream holding a nested container.
inline constexpr std::uint32_t kKindNestedContainer = qss::kEntryStorage | qss::kEntryStream;

// The fields of one directory entry, as the listings show them.
struct EntryInfo {
  std::u16string name;
  bool nameTerminated = true;
  std::uint32_t kind = 0;
  std::uint32_t flags = 0;  // as stored, bits 16 to 19 cleared
  std::int64_t size = 0;
  std::int32_t storedLength = 0;
  std::int64_t firstBlock = -1;
  std::int64_t headOffset = 0;
  bool compressed = false;  // stored compressed: flag 0x20 and storedLength != size
};

EntryInfo DescribeEntry(const qss::CStorageEntry& entry);
// {"name": ..., "kind": ..., ..., "compressed": ...} without a closing brace,
// so that a caller can add members.
std::string EntryJsonMembers(const EntryInfo& info);

}  // namespace qss_tool

#endif  // TOOLS_QSS_CONTAINERACCESS_H_

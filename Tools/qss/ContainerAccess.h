// ContainerAccess: opening a container for reading and finding things in it.
//
// Every command except pack opens its container through OpenContainerReadOnly:
// a segmented file array with read access and read sharing, under a root
// storage that saves nothing. Finding entries by path and measuring them
// against their container is the library's (qss/EntryPath.h); what is left
// here turns its results into the tool's words.

#ifndef TOOLS_QSS_CONTAINERACCESS_H_
#define TOOLS_QSS_CONTAINERACCESS_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/ContainerFile.h"
#include "qss/EntryPath.h"
#include "qss/ResultCodes.h"
#include "qss/StreamCopy.h"
#include "ToolContext.h"

namespace qss_tool {

// How deep the tools go, one limit for all of them: an entry path has at
// most this many names, storages and nested containers (counted together)
// are opened only above this depth, pack refuses a deeper tree and check
// reports one as too deep to check. A damaged container can make a storage
// contain itself; the limit also bounds the chain of parents a path holds.
inline constexpr int kMaxTreeDepth = qss::kMaxEntryPathDepth;
// How many entries one walk visits at most, for the same reason.
inline constexpr std::int64_t kMaxTreeEntries = 10000000;

struct ReadOnlyArray {
  qss::CQssRef<qss::CPhysicalByteArray> array;
  qss::ContainerFiles files;
  qss::QssResult result = qss::kQssOk;
};

// Opens the segment files of base with read access and read sharing (for
// the commands that look at the bytes themselves).
ReadOnlyArray OpenArrayReadOnly(const std::filesystem::path& base);

struct OpenedContainer {
  qss::CQssRef<qss::CPhysicalByteArray> array;
  qss::ContainerFiles files;
  qss::CQssRef<qss::CRootStorage> root;
  // Bytes of the whole container: no content inside it can be larger.
  std::int64_t bytes = 0;
  qss::QssResult result = qss::kQssOk;
  // What failed, for messages: "cannot open", "not a container".
  std::string failure;
};

OpenedContainer OpenContainerReadOnly(const std::filesystem::path& base);

// Splits a path of '\' or '/' separated components (UTF-8) as
// qss::SplitEntryPath does. False when the path is not valid UTF-8.
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

// Why a copy of stream stopped, in words ("the stream ended after N of M
// bytes"); report as CopyStream filled it.
std::string CopyProblem(const qss::StreamCopyReport& report, qss::CStream* stream);

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

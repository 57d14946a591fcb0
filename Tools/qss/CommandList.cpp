// qss ls: the entries of one storage.

#include <cstdio>

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

namespace {

std::string ListLine(const EntryInfo& info) {
  char fields[96];
  const std::string stored = info.compressed ? std::to_string(info.storedLength) : "-";
  std::snprintf(fields, sizeof(fields), "%u 0x%08x %12lld %12s ", info.kind, info.flags,
                static_cast<long long>(info.size), stored.c_str());
  std::string line = fields + PrintableName(info.name);
  if (!info.nameTerminated) line += " [name has no terminator]";
  return line;
}

}  // namespace

int RunList(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"json", false}}, &parsed, &error)) return UsageError(context, "ls", "ls: " + error);
  if (parsed.operands.empty() || parsed.operands.size() > 2) {
    return UsageError(context, "ls", "ls: expected CONTAINER [PATH]");
  }
  std::vector<std::u16string> components;
  if (parsed.operands.size() == 2 && !ParseEntryPath(parsed.operands[1], &components, &error)) {
    return UsageError(context, "ls", "ls: " + error);
  }

  OpenedContainer container = OpenContainerReadOnly(PathFromArgument(parsed.operands[0]));
  if (!container.root) return Fail(context, "ls: " + container.failure, container.result);
  CQssRef<CStorage> storage;
  std::size_t failedAt = 0;
  const QssResult result = OpenStoragePath(container.root.get(), components, &storage, &failedAt);
  if (QssFailed(result)) {
    return Fail(context, "ls: cannot open storage '" + JoinEntryPath(components, failedAt + 1) + "'", result);
  }

  const bool json = parsed.Has("json");
  if (json) context.out << '[';
  for (std::int32_t i = 0; i < storage->EntryCount(); ++i) {
    const CStorageEntry* entry = storage->EntryAt(i);
    if (entry == nullptr) continue;
    const EntryInfo info = DescribeEntry(*entry);
    if (json) {
      context.out << (i == 0 ? "\n  " : ",\n  ") << EntryJsonMembers(info) << '}';
    } else {
      context.out << ListLine(info) << '\n';
    }
  }
  if (json) context.out << (storage->EntryCount() > 0 ? "\n]\n" : "]\n");
  if (QssFailed(storage->loadStatus())) {
    return Fail(context, "ls: the directory could not be read to its end; " + std::to_string(storage->EntryCount()) +
                             " entries listed", storage->loadStatus());
  }
  return kExitOk;
}

}  // namespace qss_tool

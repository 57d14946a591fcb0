// qss info: header fields and block counts.

#include "Base/CLockGuard.h"
#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "Container/CBlockAllocationTable.h"
#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

namespace {

struct ContainerFacts {
  std::int64_t entryWidth = 0;
  std::int64_t blockSize = 0;
  std::int64_t dataOffset = 0;
  std::int64_t tableStart = 0;
  std::int64_t byteArraySize = 0;
  std::int64_t blocks = 0;
  std::int64_t tableBlocks = 0;
  std::int64_t freeBlocks = 0;
  std::int64_t segments = 0;
  std::int64_t segmentSize = 0;
};

// Counts the free list's blocks that lie inside the byte array; the list
// also runs through blocks the table describes beyond its end.
std::int64_t CountFreeBlocks(CBlockAllocationTable* table, std::int64_t blocks, std::int64_t entries) {
  CLockGuard guard(table->lock());
  std::int64_t count = 0;
  std::int64_t previous = 0;
  std::int64_t current = table->GetNext(0);
  for (std::int64_t steps = 0; current > previous && current < entries && steps < entries; ++steps) {
    if (current <= blocks) ++count;
    previous = current;
    current = table->GetNext(current);
  }
  return count;
}

QssResult GatherFacts(OpenedContainer& container, ContainerFacts* gathered) {
  ContainerFacts& facts = *gathered;
  CBlockAllocationTable* table = container.root->table();
  facts.entryWidth = table->entryWidth();
  facts.blockSize = table->blockSize();
  facts.dataOffset = table->dataOffset();
  facts.tableStart = table->tableStart();
  if (QssResult sized = container.array->GetSize(&facts.byteArraySize); QssFailed(sized)) return sized;
  facts.blocks = std::max<std::int64_t>(0, (facts.byteArraySize - facts.dataOffset) / facts.blockSize);
  const std::int64_t perBlock = facts.blockSize / facts.entryWidth;
  facts.tableBlocks = (facts.blocks + perBlock - 1) / perBlock;
  facts.freeBlocks =
      CountFreeBlocks(table, facts.blocks, std::max<std::int64_t>(facts.tableBlocks, 1) * perBlock);
  facts.segments = container.array->segmentCount();
  facts.segmentSize = container.array->segmentSize();
  return kQssOk;
}

}  // namespace

int RunInfo(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"json", false}}, &parsed, &error)) {
    return UsageError(context, "info", "info: " + error);
  }
  if (parsed.operands.size() != 1) return UsageError(context, "info", "info: expected CONTAINER");
  OpenedContainer container = OpenContainerReadOnly(PathFromArgument(parsed.operands[0]));
  if (!container.root) return Fail(context, "info: " + container.failure, container.result);
  ContainerFacts facts;
  if (QssResult gathered = GatherFacts(container, &facts); QssFailed(gathered))
    return Fail(context, "info: cannot measure the container", gathered);

  const std::pair<const char*, std::int64_t> fields[] = {
      {"entryWidth", facts.entryWidth},       {"blockSize", facts.blockSize},   {"dataOffset", facts.dataOffset},
      {"tableStart", facts.tableStart},       {"byteArraySize", facts.byteArraySize}, {"blocks", facts.blocks},
      {"tableBlocks", facts.tableBlocks},     {"freeBlocks", facts.freeBlocks}, {"segments", facts.segments},
      {"segmentSize", facts.segmentSize},
  };
  if (parsed.Has("json")) {
    context.out << '{';
    bool first = true;
    for (const auto& [name, value] : fields) {
      context.out << (first ? "" : ", ") << '"' << name << "\": " << value;
      first = false;
    }
    context.out << "}\n";
  } else {
    for (const auto& [name, value] : fields) {
      context.out << name << ':' << std::string(15 - std::string(name).size(), ' ') << value << '\n';
    }
  }
  return kExitOk;
}

}  // namespace qss_tool

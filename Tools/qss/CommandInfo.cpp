// qss info: header fields and block counts.

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "TextCodec.h"
#include "qss/ContainerInfo.h"

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

QssResult GatherFacts(OpenedContainer& container, ContainerFacts* gathered) {
  ContainerFacts& facts = *gathered;
  ContainerLayout layout;
  if (QssResult inspected = InspectLayout(container.root.get(), &layout); QssFailed(inspected)) return inspected;
  facts.entryWidth = layout.entryWidth;
  facts.blockSize = layout.blockSize;
  facts.dataOffset = layout.dataOffset;
  facts.tableStart = layout.tableStart;
  facts.byteArraySize = layout.byteArraySize;
  facts.blocks = layout.blocks;
  facts.tableBlocks = layout.tableBlocks;
  if (QssResult counted = CountFreeBlocks(container.root.get(), &facts.freeBlocks); QssFailed(counted)) return counted;
  facts.segments = container.files.segments;
  facts.segmentSize = container.files.segmentSize;
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

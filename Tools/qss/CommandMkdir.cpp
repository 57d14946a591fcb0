// qss mkdir: a new storage, and missing ones above it, in an existing
// container (see EditCommands.h).

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "EditCommands.h"
#include "TextCodec.h"

namespace qss_tool {

int RunMkdir(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"safe", false}}, &parsed, &error)) return UsageError(context, "mkdir", "mkdir: " + error);
  if (parsed.operands.size() != 2) return UsageError(context, "mkdir", "mkdir: expected CONTAINER PATH");
  EditRequest request;
  request.kind = EditRequest::Kind::kMakeStorage;
  request.command = "mkdir";
  request.container = PathFromArgument(parsed.operands[0]);
  request.safe = parsed.Has("safe");
  if (!ParseEntryPath(parsed.operands[1], &request.names, &error)) return UsageError(context, "mkdir", "mkdir: " + error);
  if (request.names.empty()) return UsageError(context, "mkdir", "mkdir: PATH must name a storage, not the root");
  return RunEdit(request, context);
}

}  // namespace qss_tool

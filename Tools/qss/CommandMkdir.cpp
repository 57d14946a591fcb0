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
  return RunEditCommand(request, parsed, "a storage", context);
}

}  // namespace qss_tool

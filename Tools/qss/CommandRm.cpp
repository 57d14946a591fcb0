// qss rm: an entry removed from an existing container, a storage or nested
// container with everything under it only when asked (see EditCommands.h).

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "EditCommands.h"
#include "TextCodec.h"

namespace qss_tool {

int RunRm(const Arguments& args, ToolContext& context) {
  // -r is the one short option of the tool besides -h and -q.
  Arguments spelled;
  bool optionsEnded = false;
  for (const std::string& arg : args) {
    optionsEnded = optionsEnded || arg == "--";
    spelled.push_back(!optionsEnded && arg == "-r" ? "--recursive" : arg);
  }
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(spelled, {{"recursive", false}, {"safe", false}}, &parsed, &error))
    return UsageError(context, "rm", "rm: " + error);
  if (parsed.operands.size() != 2) return UsageError(context, "rm", "rm: expected CONTAINER PATH");
  EditRequest request;
  request.kind = EditRequest::Kind::kRemove;
  request.command = "rm";
  request.recursive = parsed.Has("recursive");
  return RunEditCommand(request, parsed, "an entry", context);
}

}  // namespace qss_tool

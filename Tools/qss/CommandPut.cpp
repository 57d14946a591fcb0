// qss put: a file stored as a stream of an existing container, new or in
// place of the stream's old content (see EditCommands.h).

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "EditCommands.h"
#include "TextCodec.h"

namespace qss_tool {

int RunPut(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"compress", false}, {"safe", false}}, &parsed, &error))
    return UsageError(context, "put", "put: " + error);
  if (parsed.operands.size() != 3) return UsageError(context, "put", "put: expected CONTAINER PATH FILE");
  EditRequest request;
  request.kind = EditRequest::Kind::kPut;
  request.command = "put";
  request.file = PathFromArgument(parsed.operands[2]);
  request.compress = parsed.Has("compress");
  return RunEditCommand(request, parsed, "a stream", context);
}

}  // namespace qss_tool

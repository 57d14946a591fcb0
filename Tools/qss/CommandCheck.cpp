// qss check: the container's consistency.

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "TextCodec.h"
#include "qss/ContainerCheck.h"

using namespace qss;

namespace qss_tool {

int RunCheck(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {}, &parsed, &error)) return UsageError(context, "check", "check: " + error);
  if (parsed.operands.size() != 1) return UsageError(context, "check", "check: expected CONTAINER");
  const std::filesystem::path base = PathFromArgument(parsed.operands[0]);
  ReadOnlyArray opened = OpenArrayReadOnly(base);
  if (QssFailed(opened.result)) {
    return Fail(context, "check: cannot open " + DisplayPath(base), opened.result);
  }
  std::vector<std::string> problems;
  // check opens no storage or nested container deeper than the other
  // commands do.
  const QssResult checked = CheckContainer(opened.array.get(), &problems, kMaxTreeDepth);
  if (QssSucceeded(checked)) {
    context.out << "ok\n";
    return kExitOk;
  }
  if (problems.empty()) return Fail(context, "check: cannot check " + DisplayPath(base), checked);
  for (const std::string& problem : problems) context.out << problem << '\n';
  return kExitFailure;
}

}  // namespace qss_tool

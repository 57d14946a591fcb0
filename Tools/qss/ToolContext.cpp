#include "ToolContext.h"

#include <cstdio>

using namespace qss;

namespace qss_tool {

std::string FormatResult(QssResult result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(result));
  return text;
}

int Fail(ToolContext& context, std::string_view message) {
  context.err << "qss: " << message << '\n';
  return kExitFailure;
}

int Fail(ToolContext& context, std::string_view message, QssResult result) {
  context.err << "qss: " << message << " (" << FormatResult(result) << ")\n";
  return kExitFailure;
}

int UsageError(ToolContext& context, std::string_view command, std::string_view message) {
  context.err << "qss: " << message << '\n';
  if (command.empty()) {
    context.err << "Run 'qss --help' for usage.\n";
  } else {
    context.err << "Run 'qss " << command << " --help' for usage.\n";
  }
  return kExitUsage;
}

}  // namespace qss_tool

#include "ToolContext.h"

#include <cstdio>

#include "qss/ResultText.h"

using namespace qss;

namespace qss_tool {

std::string FormatResult(QssResult result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(result));
  return text;
}

std::string DescribeResult(QssResult result) { return QssResultText(result) + " (" + FormatResult(result) + ")"; }

int Fail(ToolContext& context, std::string_view message) {
  context.err << "qss: " << message << '\n';
  return kExitFailure;
}

int Fail(ToolContext& context, std::string_view message, QssResult result) {
  context.err << "qss: " << message << ": " << DescribeResult(result) << '\n';
  return kExitFailure;
}

int FailSaid(ToolContext& context, std::string_view message, QssResult result) {
  context.err << "qss: " << message << " (" << FormatResult(result) << ")\n";
  return kExitFailure;
}

void Note(ToolContext& context, std::string_view message) {
  if (!context.quiet) context.err << "qss: " << message << '\n';
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

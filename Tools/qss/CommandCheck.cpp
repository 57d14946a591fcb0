// qss check: the container's consistency.

#include <charconv>

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerRewrite.h"
#include "ContainerAccess.h"
#include "TextCodec.h"
#include "qss/ContainerCheck.h"

using namespace qss;

namespace qss_tool {

namespace {

// One problem line taken apart for --json. The checker writes
// "[in nested container 'N': ]...WHERE: MESSAGE" with WHERE a quoted entry
// path or an area of the container (header, table, free list, lost blocks,
// root directory); the block is the first "block N" the message names.
struct CheckProblem {
  std::string path;  // the entry, inside its nested containers; "" when none
  bool hasPath = false;
  std::int64_t block = -1;
  std::string message;
};

CheckProblem ParseProblem(std::string_view line) {
  CheckProblem problem;
  constexpr std::string_view kNested = "in nested container '";
  std::string prefix;
  while (line.substr(0, kNested.size()) == kNested) {
    const std::size_t end = line.find("': ", kNested.size());
    if (end == std::string_view::npos) break;
    prefix += std::string(line.substr(kNested.size(), end - kNested.size())) + "\\";
    line.remove_prefix(end + 3);
  }
  if (!line.empty() && line.front() == '\'') {
    if (const std::size_t end = line.find("': ", 1); end != std::string_view::npos) {
      problem.path = prefix + std::string(line.substr(1, end - 1));
      problem.hasPath = true;
      line.remove_prefix(end + 3);
    }
  }
  if (!problem.hasPath && !prefix.empty()) {
    problem.path = prefix.substr(0, prefix.size() - 1);
    problem.hasPath = true;
  }
  problem.message = std::string(line);
  constexpr std::string_view kBlock = "block ";
  for (std::size_t at = line.find(kBlock); at != std::string_view::npos; at = line.find(kBlock, at + 1)) {
    const char* first = line.data() + at + kBlock.size();
    std::int64_t value = 0;
    const auto [stop, error] = std::from_chars(first, line.data() + line.size(), value);
    if (error == std::errc() && stop != first) {
      problem.block = value;
      break;
    }
  }
  return problem;
}

void PrintJson(ToolContext& context, const std::vector<std::string>& problems) {
  context.out << "{\"ok\": " << (problems.empty() ? "true" : "false") << ", \"problems\": [";
  for (std::size_t i = 0; i < problems.size(); ++i) {
    const CheckProblem problem = ParseProblem(problems[i]);
    context.out << (i == 0 ? "\n  " : ",\n  ") << "{\"path\": " << (problem.hasPath ? JsonString(problem.path) : "null")
                << ", \"block\": " << (problem.block >= 0 ? std::to_string(problem.block) : "null")
                << ", \"message\": " << JsonString(problem.message) << '}';
  }
  context.out << (problems.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace

int RunCheck(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"json", false}}, &parsed, &error)) {
    return UsageError(context, "check", "check: " + error);
  }
  if (parsed.operands.size() != 1) return UsageError(context, "check", "check: expected CONTAINER");
  const bool json = parsed.Has("json");
  const std::filesystem::path base = PathFromArgument(parsed.operands[0]);
  ReadOnlyArray opened = OpenArrayReadOnly(base);
  if (QssFailed(opened.result)) {
    return Fail(context, "check: cannot open " + DisplayPath(base), opened.result);
  }
  std::vector<std::string> problems;
  // check opens no storage or nested container deeper than the other
  // commands do.
  CheckOptions options;
  options.maxDepth = kMaxTreeDepth;
  options.threads = ThreadsPerCore();
  const QssResult checked = CheckContainer(opened.array.get(), &problems, options);
  if (QssFailed(checked) && problems.empty()) {
    return Fail(context, "check: cannot check " + DisplayPath(base), checked);
  }
  if (json) {
    PrintJson(context, problems);
  } else if (problems.empty()) {
    if (!context.quiet) context.out << "ok\n";
  } else {
    for (const std::string& problem : problems) context.out << problem << '\n';
  }
  return problems.empty() ? kExitOk : kExitFailure;
}

}  // namespace qss_tool

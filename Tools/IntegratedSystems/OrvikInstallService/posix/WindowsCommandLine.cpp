#include "posix/WindowsCommandLine.h"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::vector<std::u16string> SplitCommandLineArguments(std::u16string_view line) {
  std::vector<std::u16string> arguments;
  std::size_t i = 0;
  const std::size_t n = line.size();
  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::u16string argument;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(line[i]))) {
      const char16_t c = line[i];
      if (c == u'\\') {
        std::size_t end = i;
        while (end < n && line[end] == u'\\') ++end;
        const std::size_t count = end - i;
        if (end < n && line[end] == u'"') {
          argument.append(count / 2, u'\\');
          if (count % 2 == 1) {
            argument.push_back(u'"');
            i = end + 1;
          } else {
            i = end;  // the quote is handled as a quote next
          }
        } else {
          argument.append(count, u'\\');
          i = end;
        }
      } else if (c == u'"') {
        if (quoted && i + 1 < n && line[i + 1] == u'"') {
          argument.push_back(u'"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument.push_back(c);
        ++i;
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::u16string_view ArgumentsAfterProgram(std::u16string_view commandLine, std::u16string_view applicationPath) {
  if (!applicationPath.empty() && commandLine.starts_with(applicationPath) &&
      (commandLine.size() == applicationPath.size() || IsBlank(commandLine[applicationPath.size()]))) {
    return commandLine.substr(applicationPath.size());
  }
  std::size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == u'"') {
    const std::size_t close = commandLine.find(u'"', 1);
    i = close == std::u16string_view::npos ? commandLine.size() : close + 1;
  }
  while (i < commandLine.size() && !IsBlank(commandLine[i])) ++i;
  return commandLine.substr(i);
}

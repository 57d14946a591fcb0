#include "CommandLine.h"

#include <charconv>

namespace qss_tool {

bool ParseCommandLine(const std::vector<std::string>& args, const std::vector<OptionDefinition>& specs,
                      ParsedCommandLine* parsed, std::string* error) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      parsed->operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed->help = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0) {
      *error = "unknown option " + arg;
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool hasInlineValue = false;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      hasInlineValue = true;
    }
    const OptionDefinition* definition = nullptr;
    for (const OptionDefinition& candidate : specs) {
      if (candidate.name == name) definition = &candidate;
    }
    if (definition == nullptr) {
      *error = "unknown option --" + name;
      return false;
    }
    if (definition->takesValue && !hasInlineValue) {
      if (i + 1 >= args.size()) {
        *error = "option --" + name + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!definition->takesValue && hasInlineValue) {
      *error = "option --" + name + " takes no value";
      return false;
    }
    parsed->options[name].push_back(value);
  }
  return true;
}

bool ParseInteger(const std::string& text, std::int64_t minimum, std::int64_t maximum, std::int64_t* value) {
  std::int64_t parsed = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, parsed);
  if (text.empty() || error != std::errc() || stop != end) return false;
  if (parsed < minimum || parsed > maximum) return false;
  *value = parsed;
  return true;
}

}  // namespace qss_tool

// CommandLine: the option parser every qss command shares.
//
// Options are "--name" or "--name VALUE" / "--name=VALUE" and may stand
// anywhere among the operands; "--" ends the options. "--help" and "-h" are
// always known.

#ifndef TOOLS_QSS_COMMANDLINE_H_
#define TOOLS_QSS_COMMANDLINE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qss_tool {

struct OptionDefinition {
  std::string name;  // without the leading "--"
  bool takesValue = false;
};

struct ParsedCommandLine {
  std::vector<std::string> operands;
  // Every value given for an option, in order; a flag maps to one empty value.
  std::map<std::string, std::vector<std::string>> options;
  bool help = false;

  bool Has(const std::string& name) const { return options.count(name) != 0; }
};

// False with a message for an unknown option or a missing value.
bool ParseCommandLine(const std::vector<std::string>& args, const std::vector<OptionDefinition>& specs,
                      ParsedCommandLine* parsed, std::string* error);

// A decimal integer in [minimum, maximum], nothing else.
bool ParseInteger(const std::string& text, std::int64_t minimum, std::int64_t maximum, std::int64_t* value);

}  // namespace qss_tool

#endif  // TOOLS_QSS_COMMANDLINE_H_

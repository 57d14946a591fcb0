// The qss commands. Each takes the arguments after its name and returns the
// process exit code (0 ok, 1 failure, 2 usage error); RunQss dispatches on
// the command name and answers --help.

#ifndef TOOLS_QSS_COMMANDS_H_
#define TOOLS_QSS_COMMANDS_H_

#include <string>
#include <vector>

#include "ToolContext.h"

namespace qss_tool {

using Arguments = std::vector<std::string>;

int RunQss(const Arguments& args, ToolContext& context);

int RunList(const Arguments& args, ToolContext& context);
int RunTree(const Arguments& args, ToolContext& context);
int RunCat(const Arguments& args, ToolContext& context);
int RunUnpack(const Arguments& args, ToolContext& context);
int RunPack(const Arguments& args, ToolContext& context);
int RunPut(const Arguments& args, ToolContext& context);
int RunRm(const Arguments& args, ToolContext& context);
int RunMkdir(const Arguments& args, ToolContext& context);
int RunInfo(const Arguments& args, ToolContext& context);
int RunCheck(const Arguments& args, ToolContext& context);
int RunMount(const Arguments& args, ToolContext& context);
int RunUmount(const Arguments& args, ToolContext& context);

// The help text of a command ("" for the overview).
const char* HelpText(const std::string& command);
// The manual page qss(1) in roff, made of the overview and every command's
// help text ('qss --manual-page' prints it).
std::string ManualPage();

}  // namespace qss_tool

#endif  // TOOLS_QSS_COMMANDS_H_

// EditCommands: what qss put, rm and mkdir share. Each names one change of
// an existing container; RunEdit checks it against the container (with
// messages that say what stands in the way), then makes it in place
// through the library's edits (qss/ContainerEditing.h), or with --safe by
// writing the whole container anew with the change and moving it over the
// old one as pack does. An edit in place that finds no room in the
// container's allocation table is made the second way.

#ifndef TOOLS_QSS_EDITCOMMANDS_H_
#define TOOLS_QSS_EDITCOMMANDS_H_

#include <filesystem>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ToolContext.h"

namespace qss_tool {

struct EditRequest {
  enum class Kind { kPut, kRemove, kMakeStorage };
  Kind kind = Kind::kPut;
  std::string command;  // "put", "rm", "mkdir": the messages' prefix
  std::filesystem::path container;
  std::vector<std::u16string> names;
  bool compress = false;        // put
  std::filesystem::path file;   // put: the content
  bool recursive = false;       // rm
  bool safe = false;
};

int RunEdit(const EditRequest& request, ToolContext& context);

// Completes request (its kind, command and the command's own fields set)
// from the command line's first two operands, CONTAINER and PATH, and
// --safe, then runs it. PATH must name an entry, not the root: what says
// what kind of entry in the usage message.
int RunEditCommand(EditRequest request, const ParsedCommandLine& parsed, const char* what, ToolContext& context);

}  // namespace qss_tool

#endif  // TOOLS_QSS_EDITCOMMANDS_H_

// ContainerRewrite: the end of every command that writes a whole new
// container in place of an old one (pack, and put, rm and mkdir with
// --safe): interrupts that remove the temporaries, and the check of the
// sealed result before it replaces anything.

#ifndef TOOLS_QSS_CONTAINERREWRITE_H_
#define TOOLS_QSS_CONTAINERREWRITE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qss/CContainerFileWriter.h"
#include "qss/CStorage.h"
#include "InterruptGuard.h"
#include "ToolContext.h"

namespace qss_tool {

// Compares what the new container holds with what was meant to go in,
// adding one line per difference (root: the new container's root, bytes:
// its length).
using ContentCheck = std::function<void(qss::CStorage* root, std::int64_t bytes, std::vector<std::string>* problems)>;

// After a successful Seal: reads the new container back, checks its
// structure as 'qss check' does and its content with verify, and only then
// moves it over the destination. Every failure is reported as
// "qss: <command>: ..." followed by unchanged (what became of the old
// container); returns the exit code.
// checkThreads: the threads the check may use (see qss::CheckOptions).
int CheckAndReplace(ToolContext& context, const std::string& command, qss::CContainerFileWriter& writer,
                    InterruptGuard& interrupts, const std::string& unchanged, const ContentCheck& verify,
                    int checkThreads);

// One thread per core: what a check or a compressing pack uses unless told.
int ThreadsPerCore();

}  // namespace qss_tool

#endif  // TOOLS_QSS_CONTAINERREWRITE_H_

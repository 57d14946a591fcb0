// ToolContext: where a qss command writes, and how it reports failures.
//
// Commands never touch std::cout or std::cerr directly, so tests can run them
// in-process and read what they printed. Exit codes: 0 success, 1 failure,
// 2 usage error.

#ifndef TOOLS_QSS_TOOLCONTEXT_H_
#define TOOLS_QSS_TOOLCONTEXT_H_

#include <ostream>
#include <string>
#include <string_view>

#include "Base/ResultCodes.h"

namespace qss {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct ToolContext {
  std::ostream& out;
  std::ostream& err;
  // Progress bars go to err; only when err is a terminal.
  bool progress = false;
  // Standard output is a terminal (cat then draws no progress bar under it).
  bool outIsTerminal = false;
};

// "0x%08x" of a result code.
std::string FormatResult(QssResult result);

// Writes "qss: <message>\n" to err; returns kExitFailure.
int Fail(ToolContext& context, std::string_view message);
// Writes "qss: <message> (0xXXXXXXXX)\n" to err; returns kExitFailure.
int Fail(ToolContext& context, std::string_view message, QssResult result);
// Writes "qss: <message>\n" and a hint to run --help; returns kExitUsage.
int UsageError(ToolContext& context, std::string_view command, std::string_view message);

}  // namespace qss

#endif  // TOOLS_QSS_TOOLCONTEXT_H_

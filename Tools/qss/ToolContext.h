// ToolContext: where a qss command writes, and how it reports failures.
//
// Commands never touch std::cout or std::cerr directly, so tests can run them
// in-process and read what they printed. Exit codes: 0 success, 1 failure,
// 2 usage error.

#ifndef TOOLS_QSS_TOOLCONTEXT_H_
#define TOOLS_QSS_TOOLCONTEXT_H_

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "qss/ResultCodes.h"
#include "qss/CContainerFileWriter.h"

namespace qss_tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// What the process does when it is interrupted (Ctrl-C, SIGTERM, SIGHUP)
// while a command has temporary files. Only the real program provides it
// (main.cpp keeps the operating system's side); commands run in-process
// have none.
class InterruptCleanup {
 public:
  using TemporaryFiles = std::atomic<const qss::CContainerFileWriter::TemporaryFile*>;
  virtual ~InterruptCleanup() = default;
  // Until Disarm, an interrupt deletes every file listed in files, writes
  // interrupted to standard error and ends the process as the signal would.
  // files and the texts are read from the signal handler: they must stay
  // unchanged until Disarm.
  virtual void Arm(const TemporaryFiles* files, const std::string& interrupted, const std::string& late) = 0;
  // From now on an interrupt is held back until Disarm, which then writes
  // late and ends the process: work that must not stop half-way.
  virtual void Defer() = 0;
  // As Defer, for work that asks Pending as it goes and stops where it can
  // tidy up; a second interrupt does not wait for that and acts at once, as
  // under Arm.
  virtual void DeferFirst() = 0;
  // An interrupt is being held back.
  virtual bool Pending() const = 0;
  virtual void Disarm() = 0;
};

struct ToolContext {
  std::ostream& out;
  std::ostream& err;
  // Progress bars go to err. The caller sets this when err is a terminal;
  // --progress and --quiet then decide.
  bool progress = false;
  // --progress=always: drawn even over a terminal on standard output.
  bool progressForced = false;
  // --quiet: errors only, no warnings or notes.
  bool quiet = false;
  // Standard output is a terminal (cat then draws no progress bar under it).
  bool outIsTerminal = false;
  // Standard output's descriptor when it is a regular file, so that cat can
  // copy into it without passing the bytes through the process; -1
  // otherwise (and for commands run in-process).
  std::intptr_t outFile = -1;
  InterruptCleanup* interrupts = nullptr;
};

// "0x%08x" of a result code.
std::string FormatResult(qss::QssResult result);
// The code in words and in hexadecimal, "no such entry (0x81016002)": the
// one form every message of the tool gives a result in, so that a user
// reads the cause and a script or a bug report still has the code.
std::string DescribeResult(qss::QssResult result);

// Writes "qss: <message>\n" to err; returns kExitFailure.
int Fail(ToolContext& context, std::string_view message);
// Writes "qss: <message>: <result in words> (0xXXXXXXXX)\n" to err; returns
// kExitFailure.
int Fail(ToolContext& context, std::string_view message, qss::QssResult result);
// Writes "qss: <message> (0xXXXXXXXX)\n", for a message that already says
// in its own words what the code means; returns kExitFailure.
int FailSaid(ToolContext& context, std::string_view message, qss::QssResult result);
// Writes "qss: <message>\n" to err unless --quiet: a warning or note that
// does not make the command fail.
void Note(ToolContext& context, std::string_view message);
// Writes "qss: <message>\n" and a hint to run --help; returns kExitUsage.
int UsageError(ToolContext& context, std::string_view command, std::string_view message);

}  // namespace qss_tool

#endif  // TOOLS_QSS_TOOLCONTEXT_H_

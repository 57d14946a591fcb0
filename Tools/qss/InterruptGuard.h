// InterruptGuard: the program's interrupt handling (InterruptCleanup) armed
// for as long as the guard lives, and disarmed when it ends, which then
// ends the process for an interrupt that was held back.

#ifndef TOOLS_QSS_INTERRUPTGUARD_H_
#define TOOLS_QSS_INTERRUPTGUARD_H_

#include <string>

#include "qss/CContainerFileWriter.h"
#include "ToolContext.h"

namespace qss_tool {

class InterruptGuard {
 public:
  // An interrupt deletes the files listed in files and writes interrupted;
  // one held back is told of with late (see InterruptCleanup::Arm).
  InterruptGuard(ToolContext& context, const InterruptCleanup::TemporaryFiles* files, std::string interrupted,
                 std::string late);
  // For the writer's temporary files; messages start with "qss: <command>: ".
  InterruptGuard(ToolContext& context, const std::string& command, const qss::CContainerFileWriter& writer,
                 bool destinationExisted);
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // Holds an interrupt back until the guard ends: the moves of Replace are
  // not to be stopped half-way.
  void Defer();
  // Holds the first interrupt back, for work that asks Pending as it goes.
  void DeferFirst();
  // An interrupt is held back.
  bool Pending() const;

 private:
  InterruptCleanup* cleanup_;
  std::string interrupted_;
  std::string late_;
};

}  // namespace qss_tool

#endif  // TOOLS_QSS_INTERRUPTGUARD_H_

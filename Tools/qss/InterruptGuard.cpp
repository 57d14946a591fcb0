#include "InterruptGuard.h"

#include <utility>

#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

namespace {

// "qss: <command>: interrupted", on a line of its own: a progress bar may
// hold the line.
std::string Interrupted(const ToolContext& context, const std::string& command) {
  return (context.progress ? "\nqss: " : "qss: ") + command + ": interrupted";
}

}  // namespace

InterruptGuard::InterruptGuard(ToolContext& context, const InterruptCleanup::TemporaryFiles* files,
                               std::string interrupted, std::string late)
    : cleanup_(context.interrupts), interrupted_(std::move(interrupted)), late_(std::move(late)) {
  if (cleanup_ != nullptr) cleanup_->Arm(files, interrupted_, late_);
}

InterruptGuard::InterruptGuard(ToolContext& context, const std::string& command, const CContainerFileWriter& writer,
                               bool destinationExisted)
    : InterruptGuard(context, &writer.temporaryFiles(),
                     Interrupted(context, command) + "; the new container's files were removed, " +
                         (destinationExisted ? DisplayPath(writer.destination()) + " is unchanged\n"
                                             : std::string("nothing was written\n")),
                     Interrupted(context, command) + " after " + DisplayPath(writer.destination()) +
                         " was replaced by the new container\n") {}

InterruptGuard::~InterruptGuard() {
  if (cleanup_ != nullptr) cleanup_->Disarm();
}

void InterruptGuard::Defer() {
  if (cleanup_ != nullptr) cleanup_->Defer();
}

void InterruptGuard::DeferFirst() {
  if (cleanup_ != nullptr) cleanup_->DeferFirst();
}

bool InterruptGuard::Pending() const { return cleanup_ != nullptr && cleanup_->Pending(); }

}  // namespace qss_tool

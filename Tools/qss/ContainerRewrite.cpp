#include "ContainerRewrite.h"

#include <algorithm>
#include <thread>

#include "ContainerAccess.h"
#include "TextCodec.h"
#include "qss/ContainerCheck.h"

using namespace qss;

namespace qss_tool {

int ThreadsPerCore() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

int CheckAndReplace(ToolContext& context, const std::string& command, CContainerFileWriter& writer,
                    InterruptGuard& interrupts, const std::string& unchanged, const ContentCheck& verify,
                    int checkThreads) {
  const std::string prefix = command + ": ";
  // Every failed write is reported by the commit in Seal; reading the result
  // back, its structure and then what it holds, before it replaces anything
  // is the second line of defence.
  {
    ReadOnlyArray written = OpenArrayReadOnly(writer.temporaryPath());
    if (QssFailed(written.result)) {
      writer.Discard();
      Fail(context, prefix + "cannot reopen the new container", written.result);
      return Fail(context, unchanged);
    }
    std::vector<std::string> problems;
    CheckOptions options;
    options.maxDepth = kMaxTreeDepth;
    options.threads = checkThreads;
    if (QssFailed(CheckContainer(written.array.get(), &problems, options)) && problems.empty())
      problems.push_back("the new container cannot be checked");
    written.array.Reset();
    if (problems.empty()) {
      OpenedContainer opened = OpenContainerReadOnly(writer.temporaryPath());
      if (!opened.root) {
        problems.push_back(opened.failure + ": " + DescribeResult(opened.result));
      } else if (verify) {
        verify(opened.root.get(), opened.bytes, &problems);
      }
    }
    if (!problems.empty()) {
      writer.Discard();
      for (const std::string& problem : problems) Fail(context, prefix + "check: " + problem);
      Fail(context, prefix + "the new container fails its check");
      return Fail(context, unchanged);
    }
  }

  interrupts.Defer();
  const QssResult result = writer.Replace();
  const std::string base = DisplayPath(writer.destination());
  if (writer.replaced()) {
    if (QssFailed(result)) {
      return Fail(context, prefix + base + " was replaced, but its folder could not be synced to the disk", result);
    }
    return kExitOk;
  }
  if (writer.destinationDamaged()) {
    return Fail(context, prefix + "moving the new segment files over " + base + " failed half-way; it is damaged now: " +
                             (command == "pack" ? "pack again" : "restore it from a copy"),
                result);
  }
  Fail(context, prefix + "cannot move the new container over " + base, result);
  return Fail(context, unchanged);
}

}  // namespace qss_tool

// qss cat: the readable bytes of one stream on standard output.

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "ProgressBar.h"
#include "StreamCopy.h"
#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

int RunCat(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {}, &parsed, &error)) return UsageError(context, "cat", "cat: " + error);
  if (parsed.operands.size() != 2) return UsageError(context, "cat", "cat: expected CONTAINER PATH");
  std::vector<std::u16string> components;
  if (!ParseEntryPath(parsed.operands[1], &components, &error)) return UsageError(context, "cat", "cat: " + error);
  if (components.empty()) return UsageError(context, "cat", "cat: PATH must name a stream, not the root");

  OpenedContainer container = OpenContainerReadOnly(PathFromArgument(parsed.operands[0]));
  if (!container.root) return Fail(context, "cat: " + container.failure, container.result);
  CQssRef<CStorage> storage;
  std::size_t failedAt = 0;
  QssResult result =
      OpenStoragePath(container, components, components.size() - 1, &storage, &failedAt);
  if (QssFailed(result)) {
    return Fail(context, "cat: cannot open storage '" + JoinEntryPath(components, failedAt + 1) + "'", result);
  }
  const std::string pathText = JoinEntryPath(components, components.size());
  CStream* opened = nullptr;
  result = OpenChildStream(storage.get(), components.back(), container.bytes, &opened);
  if (QssFailed(result) || opened == nullptr) {
    return Fail(context, "cat: cannot open stream '" + pathText + "'", result);
  }
  CQssRef<CStream> stream = CQssRef<CStream>::Attach(opened);

  // Only a sound pair of fields gives a total; the copy reports the others.
  const std::int64_t size = stream->entry()->Size();
  const std::int64_t head = stream->entry()->HeadOffset();
  const std::int64_t total = head >= 0 && head <= size ? size - head : 0;
  ProgressBar progress(context.err, context.progress && !context.outIsTerminal && total > kCopyPieceSize, "cat",
                       total);
  CopyOutcome outcome;
  if (context.outFile >= 0) {
    // Into a file the bytes can move inside the kernel; nothing is buffered
    // in context.out before them.
    context.out.flush();
    bool writeFailed = false;
    outcome = CopyStreamToNativeFile(stream.get(), context.outFile, &progress, &writeFailed);
    if (writeFailed) context.out.setstate(std::ios::badbit);
  } else {
    outcome = CopyStreamContent(
        stream.get(),
        [&](const char* data, std::size_t size) {
          context.out.write(data, static_cast<std::streamsize>(size));
          return static_cast<bool>(context.out);
        },
        &progress);
  }
  context.out.flush();
  progress.Finish();
  // A failed write is reported once, by RunQss, like every command's.
  if (!context.out) return kExitFailure;
  if (!outcome.ok) {
    const std::string message = "cat: '" + pathText + "': " + outcome.problem;
    return outcome.hasResult ? Fail(context, message, outcome.result) : Fail(context, message);
  }
  return kExitOk;
}

}  // namespace qss_tool

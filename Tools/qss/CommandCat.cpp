// qss cat: the readable bytes of one stream on standard output.

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "ProgressBar.h"
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
  const std::string pathText = JoinEntryPath(components, components.size());
  CQssRef<CStream> stream;
  std::size_t failedAt = 0;
  const QssResult result = OpenStreamPath(container.root.get(), components, &stream, &failedAt);
  if (QssFailed(result)) {
    return FailToOpenEntry(context, "cat", failedAt + 1 < components.size() ? "storage" : "stream", components, failedAt,
                           result);
  }

  // Only a sound pair of fields gives a total; the copy reports the others.
  const std::int64_t size = stream->entry()->Size();
  const std::int64_t head = stream->entry()->HeadOffset();
  const std::int64_t total = head >= 0 && head <= size ? size - head : 0;
  StreamCopyOptions options;
  ProgressBar progress(context.err,
                       context.progress && (context.progressForced ||
                                             (!context.outIsTerminal && total > static_cast<std::int64_t>(options.pieceSize))),
                       "cat", total);
  options.progress = [&progress](std::uint32_t size) { progress.Advance(size); };
  StreamCopyReport report;
  QssResult copied = kQssOk;
  if (context.outFile >= 0) {
    // Into a regular file the bytes can move inside the kernel; nothing is
    // buffered in context.out before them.
    context.out.flush();
    copied = CopyStreamToFile(stream.get(), context.outFile, options, &report);
    if (report.stage == StreamCopyReport::Stage::kSink) context.out.setstate(std::ios::badbit);
  } else {
    copied = CopyStream(
        stream.get(),
        [&](const void* data, std::uint32_t size) -> QssResult {
          context.out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
          return context.out ? kQssOk : kQssWriteFault;
        },
        options, &report);
  }
  context.out.flush();
  progress.Finish();
  // A failed write is reported once, by RunQss, like every command's.
  if (!context.out) return kExitFailure;
  if (QssFailed(copied)) {
    const std::string message = "cat: '" + pathText + "': " + CopyProblem(report, stream.get());
    // A head offset outside the size or a short stream is told in words alone.
    const bool withCode = report.stage == StreamCopyReport::Stage::kSeek ||
                          report.stage == StreamCopyReport::Stage::kRead;
    return withCode ? Fail(context, message, copied) : Fail(context, message);
  }
  return kExitOk;
}

}  // namespace qss_tool

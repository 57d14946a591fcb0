// qss unpack: a container copied into a folder tree.
//
// Each file is written under a temporary name in its folder and moved into
// place when complete (ReplacingFile): an existing file is replaced whole,
// never written through (it may be a second name of a file outside DIR),
// and a stream that cannot be read leaves nothing behind and the existing
// file as it was.

#include <set>
#include <system_error>

#include "CommandLine.h"
#include "Commands.h"
#include "ProgressBar.h"
#include "ReplacingFile.h"
#include "StorageWalker.h"
#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

namespace {

namespace fs = std::filesystem;

// Adds up the stream bytes to copy, for the progress bar.
class SizeSum : public WalkEvents {
 public:
  bool Visit(StorageWalker&, CStorage*, const EntryInfo& info) override {
    if (info.kind == kEntryStream && info.size > info.headOffset && info.headOffset >= 0) total += info.size - info.headOffset;
    return true;
  }
  std::int64_t total = 0;
};

class Unpacker : public WalkEvents {
 public:
  Unpacker(ToolContext& context, const fs::path& root, ProgressBar& progress)
      : context_(context), progress_(progress) {
    folders_.push_back(root);
    seen_.emplace_back();
  }

  bool Visit(StorageWalker& walker, CStorage* parent, const EntryInfo& info) override {
    if (folders_.back().empty()) return false;  // the folder above could not be made
    if (!info.nameTerminated) return Problem(walker, "the name has no terminator; skipped");
    fs::path fileName;
    std::string reason;
    if (!FileNameFromEntryName(info.name, &fileName, &reason)) return Problem(walker, reason + "; skipped");
    if (!seen_.back().insert(info.name).second) {
      return Problem(walker, "the name repeats an earlier entry's name; skipped");
    }
    const fs::path target = folders_.back() / fileName;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(target, ec);
    if (fs::is_symlink(status)) return Problem(walker, "a symbolic link is in the way; not followed, skipped");

    switch (info.kind) {
      case kEntryStorage:
      case kKindNestedContainer:
        if (fs::exists(status) && !fs::is_directory(status)) {
          return Problem(walker, "a file of that name is in the way; skipped");
        }
        pending_ = target;
        return true;
      case kEntryStream:
        UnpackStream(walker, parent, info, target, status);
        return false;
      default:
        return Problem(walker, "an entry of kind 0 cannot be opened; skipped");
    }
  }

  void Enter(StorageWalker& walker, CStorage*, const EntryInfo&) override {
    std::error_code ec;
    fs::create_directory(pending_, ec);
    if (ec) {
      Problem(walker, "cannot create folder " + DisplayPath(pending_) + ": " + ec.message());
      folders_.emplace_back();
    } else {
      folders_.push_back(pending_);
    }
    seen_.emplace_back();
  }

  void Leave(StorageWalker&, const EntryInfo&) override {
    folders_.pop_back();
    seen_.pop_back();
  }

  void OpenFailed(StorageWalker& walker, const EntryInfo& info, QssResult result) override {
    ProblemWithResult(walker, info.kind == kKindNestedContainer ? "the nested container does not open" : "the storage does not open",
                      result);
  }

  void NotOpened(StorageWalker& walker, const EntryInfo&, const std::string& reason) override {
    Problem(walker, reason + "; skipped");
  }

  void DirectoryCutShort(StorageWalker& walker, QssResult result) override {
    ProblemWithResult(walker, "the directory could not be read to its end; the entries after that point are missing",
                      result);
  }

  bool failed() const { return failed_; }

 private:
  void UnpackStream(StorageWalker& walker, CStorage* parent, const EntryInfo& info, const fs::path& target,
                    const fs::file_status& status) {
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      Problem(walker, "something that is not a file is in the way; skipped");
      return;
    }
    // Entries sharing one chain (or one compressed image) would write its
    // bytes again for each of them: a small damaged container could fill the
    // disk.
    if (std::string earlier; !walker.ClaimChain(parent, info, &earlier)) {
      Problem(walker, "its chain is the one of " + (earlier.empty() ? "the root directory" : "'" + earlier + "'") +
                          ", unpacked already; skipped");
      return;
    }
    CQssRef<CStream> stream;
    const QssResult result = OpenChildStream(parent, info.name, walker.containerBytes(), &stream);
    if (QssFailed(result)) {
      ProblemWithResult(walker, "the stream does not open; skipped", result);
      return;
    }
    const bool replacing = fs::exists(status);
    const std::string kept = replacing ? "; the existing file was left unchanged" : "; no file written";
    ReplacingFile file(target);
    const QssResult created = file.Create();
    if (QssFailed(created)) {
      ProblemWithResult(walker, "cannot create a file in " + DisplayPath(target.parent_path()) + kept, created);
      return;
    }
    StreamCopyOptions options;
    options.progress = [this](std::uint32_t size) { progress_.Advance(size); };
    StreamCopyReport report;
    // Long runs of blocks move into the file inside the kernel where the
    // system can; scattered ones are read together.
    const QssResult copied = CopyStreamToFile(stream.get(), file.nativeHandle(), options, &report);
    if (report.stage == StreamCopyReport::Stage::kSink) {
      file.Abandon();
      ProblemWithResult(walker, "cannot write " + DisplayPath(target) + kept, copied);
      return;
    }
    if (QssFailed(copied)) {
      // A partial file would pass for the whole stream.
      file.Abandon();
      const std::string message = CopyProblem(report, stream.get()) + kept;
      if (report.stage == StreamCopyReport::Stage::kSeek || report.stage == StreamCopyReport::Stage::kRead) {
        ProblemWithResult(walker, message, copied);
      } else {
        Problem(walker, message);
      }
      return;
    }
    const QssResult moved = file.Commit(replacing);
    if (QssFailed(moved)) ProblemWithResult(walker, "cannot move the file into place" + kept, moved);
  }

  bool Problem(StorageWalker& walker, const std::string& message) {
    progress_.Finish();
    failed_ = true;
    context_.err << "qss: unpack: '" << walker.PathText() << "': " << message << '\n';
    return false;
  }

  void ProblemWithResult(StorageWalker& walker, const std::string& message, QssResult result) {
    Problem(walker, message + " (" + FormatResult(result) + ")");
  }

  ToolContext& context_;
  ProgressBar& progress_;
  std::vector<fs::path> folders_;
  std::vector<std::set<std::u16string>> seen_;
  fs::path pending_;
  bool failed_ = false;
};

}  // namespace

int RunUnpack(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {}, &parsed, &error)) return UsageError(context, "unpack", "unpack: " + error);
  if (parsed.operands.size() != 2) return UsageError(context, "unpack", "unpack: expected CONTAINER DIR");
  const fs::path folder = PathFromArgument(parsed.operands[1]);

  OpenedContainer container = OpenContainerReadOnly(PathFromArgument(parsed.operands[0]));
  if (!container.root) return Fail(context, "unpack: " + container.failure, container.result);

  // DIR itself may be a symbolic link the user made; only what lies below it
  // is guarded.
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) {
    return Fail(context, "unpack: cannot create folder " + DisplayPath(folder) + (ec ? ": " + ec.message() : ""));
  }

  std::int64_t total = 0;
  if (context.progress) {
    SizeSum sum;
    StorageWalker sizeWalker(sum, container.bytes);
    sizeWalker.Walk(container.root.get());
    total = sum.total;
  }
  ProgressBar progress(context.err, context.progress, "unpack", total);
  Unpacker unpacker(context, folder, progress);
  StorageWalker walker(unpacker, container.bytes);
  walker.Walk(container.root.get());
  progress.Finish();
  if (walker.limitReached()) {
    return Fail(context, "unpack: the walk stopped at its limit (" + std::to_string(kMaxTreeDepth) + " levels, " +
                             std::to_string(kMaxTreeEntries) + " entries); the container may be damaged");
  }
  return unpacker.failed() ? kExitFailure : kExitOk;
}

}  // namespace qss_tool

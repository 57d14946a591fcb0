// qss unpack: a container copied into a folder tree.
//
// Nothing appears at its final name before it is complete. A folder that
// did not exist is built under a temporary name beside its place, its files
// written straight in, and moved into place when its content is done; a
// file in a folder that existed is written under a temporary name in that
// folder and moved into place alone (ReplacingFile). An existing file is
// replaced whole, never written through (it may be a second name of a file
// outside DIR), and a stream that cannot be read leaves nothing behind and
// the existing file as it was.
//
// An interrupt (Ctrl-C, SIGTERM, SIGHUP) is held until the file being
// written is done; the walk then stops and the folders still under their
// temporary names are deleted, so that nothing incomplete stays behind.

#include <set>
#include <system_error>
#include <vector>

#include "CommandLine.h"
#include "FolderPlacement.h"
#include "Glob.h"
#include "InterruptGuard.h"
#include "Commands.h"
#include "ProgressBar.h"
#include "ReplacingFile.h"
#include "StorageWalker.h"
#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

namespace {

namespace fs = std::filesystem;

struct UnpackOptions {
  PathFilter filter;
  ExistingFiles existing = ExistingFiles::kRefuse;
};

// "A/B/C": the form --include and --exclude patterns see.
std::u16string SlashPath(const std::vector<std::u16string>& names) {
  std::u16string path;
  for (const std::u16string& name : names) {
    if (!path.empty()) path.push_back(u'/');
    path += name;
  }
  return path;
}

// Both passes of unpack. Planning makes nothing and reports nothing: it
// finds the files in the way and adds up the bytes to copy, so that unpack
// can refuse before it writes anything and the bar knows its total. The
// second pass writes.
class Unpacker : public WalkEvents {
 public:
  // rootEmpty: DIR holds nothing (it is missing while planning, or this
  // run made it).
  // interrupts: held while writing (planning writes nothing: an interrupt
  // may end it as it comes).
  Unpacker(ToolContext& context, const fs::path& root, bool rootEmpty, ProgressBar* progress,
           const InterruptGuard* interrupts, const UnpackOptions& options, bool planning)
      : context_(context), progress_(progress), interrupts_(interrupts), options_(options), planning_(planning) {
    Folder top;
    top.path = top.building = root;
    top.state = Folder::kMade;
    top.empty = rootEmpty;
    folders_.push_back(top);
    included_.push_back(!options.filter.HasIncludes());
  }

  bool Visit(StorageWalker& walker, CStorage* parent, const EntryInfo& info) override {
    if (interrupts_ != nullptr && interrupts_->Pending()) interrupted_ = true;
    if (interrupted_ || folders_.back().state == Folder::kFailed) return false;  // reported when it failed
    bool included = included_.back();
    if (!options_.filter.empty()) {
      const std::u16string path = SlashPath(walker.path());
      if (options_.filter.Excluded(path, info.name)) return false;
      // A storage that matches --include brings everything below it.
      included = included || options_.filter.Included(path, info.name);
    }
    const bool isStorage = info.kind == kEntryStorage || info.kind == kKindNestedContainer;
    if (!included && !isStorage) return false;
    if (planning_ && folders_.back().empty) {
      // Nothing stands in a folder that is not there yet: only the bytes count.
      if (info.kind == kEntryStream) Plan(info, fs::path(), fs::file_status(fs::file_type::not_found));
      if (!isStorage) return false;
      pendingIncluded_ = included;
      pendingExists_ = false;
      pendingEmpty_ = true;
      return true;
    }
    if (!info.nameTerminated) return Problem(walker, "the name has no terminator; skipped");
    fs::path fileName;
    std::string reason;
    if (!FileNameFromEntryName(info.name, &fileName, &reason)) return Problem(walker, reason + "; skipped");
    if (walker.NameRepeats(parent)) return Problem(walker, "the name repeats an earlier entry's name; skipped");
    const Folder& here = folders_.back();
    // In a folder that held nothing, nothing but what this run puts there
    // can be in the way: a fresh unpack asks nothing per entry, and makes a
    // stream's path there only for a message.
    fs::path target;
    fs::file_status status(fs::file_type::not_found);
    if (!here.empty || info.kind != kEntryStream) target = here.path / fileName;
    if (!here.empty) {
      std::error_code ec;
      status = fs::symlink_status(target, ec);
    }
    if (fs::is_symlink(status)) return Problem(walker, "a symbolic link is in the way; not followed, skipped");

    switch (info.kind) {
      case kEntryStorage:
      case kKindNestedContainer:
        if (fs::exists(status) && !fs::is_directory(status)) {
          return Problem(walker, "a file of that name is in the way; skipped");
        }
        pending_ = target;
        pendingIncluded_ = included;
        pendingExists_ = fs::exists(status);
        // Planning makes no folders: one that is missing now stays empty.
        pendingEmpty_ = planning_ && !pendingExists_;
        return true;
      case kEntryStream:
        if (planning_) {
          Plan(info, target, status);
        } else {
          UnpackStream(walker, parent, info, fileName, target, status);
        }
        return false;
      default:
        return Problem(walker, "an entry of kind 0 cannot be opened; skipped");
    }
  }

  void Enter(StorageWalker& walker, CStorage*, const EntryInfo&) override {
    Folder folder;
    folder.path = pending_;
    folder.empty = pendingEmpty_;
    folder.existed = pendingExists_;
    folders_.push_back(folder);
    included_.push_back(pendingIncluded_);
    // An included storage is made even when empty; one entered only to look
    // for included entries is made when the first of them is written.
    if (pendingIncluded_) MakeFolders(walker);
  }

  void Leave(StorageWalker& walker, const EntryInfo&) override {
    if (folders_.back().staged) {
      if (interrupted_) {
        DeleteUnfinished(walker, folders_.back());
      } else {
        PlaceFolder(walker, folders_.back());
      }
    }
    folders_.pop_back();
    included_.pop_back();
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
  // An interrupt stopped the walk.
  bool interrupted() const { return interrupted_; }
  // Planning: the files in the way, and the bytes the second pass copies.
  const std::vector<fs::path>& existing() const { return existing_; }
  std::int64_t total() const { return total_; }
  std::int64_t kept() const { return kept_; }

 private:
  struct Folder {
    enum State { kPending, kMade, kFailed };
    // Where the folder belongs.
    fs::path path;
    State state = kPending;
    // Known to hold nothing: missing while planning, or made by this run.
    bool empty = false;
    // A folder stood at path when its entry was visited.
    bool existed = false;
    // Where its content is written: path, or a place inside a folder still
    // under its temporary name.
    fs::path building;
    // This folder, or one above it, is under a temporary name: its files
    // are new and go straight to their names.
    bool unseen = false;
    // building is this folder's own temporary name, moved to path on Leave.
    bool staged = false;
  };

  // Makes the folders down to the current one that are not made yet; false
  // when one cannot be (reported once, and nothing below it is written).
  bool MakeFolders(StorageWalker& walker) {
    if (planning_) return true;
    for (std::size_t i = 1; i < folders_.size(); ++i) {
      Folder& folder = folders_[i];
      const Folder& parent = folders_[i - 1];
      if (folder.state == Folder::kFailed) return false;
      if (folder.state == Folder::kMade) continue;
      std::error_code ec;
      if (parent.unseen) {
        folder.building = parent.building / folder.path.filename();
        folder.unseen = true;
        folder.empty = fs::create_directory(folder.building, ec);
      } else if (folder.existed) {
        folder.building = folder.path;
        folder.empty = fs::create_directory(folder.path, ec);
      } else {
        SweepOnce(parent.path);
        ec = MakeFolderBesidePlace(folder.path, &folder.building);
        folder.unseen = folder.staged = folder.empty = !ec;
      }
      if (ec) {
        folder.state = Folder::kFailed;
        Problem(walker, "cannot create folder " + DisplayPath(folder.path) + ": " + ec.message());
        return false;
      }
      folder.state = Folder::kMade;
    }
    return true;
  }

  // Clears what an unfinished unpack left under temporary names in a folder
  // this run is about to write a temporary into, once per folder.
  void SweepOnce(const fs::path& folder) {
    if (swept_.insert(folder).second) RemoveStrayTemporaries(folder);
  }

  // Moves a folder built under a temporary name into place (see
  // FolderPlacement).
  void PlaceFolder(StorageWalker& walker, const Folder& folder) {
    if (folder.state != Folder::kMade) return;
    const FolderPlacement placement = MoveFolderIntoPlace(folder.building, folder.path, options_.existing);
    kept_ += placement.kept;
    for (const std::string& problem : placement.problems) Problem(walker, problem);
  }

  // An interrupted unpack's folder that is still under its temporary name.
  void DeleteUnfinished(StorageWalker& walker, const Folder& folder) {
    if (folder.state != Folder::kMade) return;
    std::error_code ec;
    fs::remove_all(folder.building, ec);
    if (ec) Problem(walker, "cannot delete the unfinished folder " + DisplayPath(folder.building) + ": " + ec.message());
  }

  // What is said of a file that stands where a stream goes and was not
  // there when unpack looked (or folds to the name of one this run wrote).
  void Taken(StorageWalker& walker, const fs::path& target) {
    if (options_.existing == ExistingFiles::kKeep) {
      ++kept_;
    } else {
      Problem(walker, NotReplaced(target));
    }
  }

  void Plan(const EntryInfo& info, const fs::path& target, const fs::file_status& status) {
    if (fs::is_regular_file(status)) {
      existing_.push_back(target);
      if (options_.existing == ExistingFiles::kKeep) return;
    }
    if (info.size > info.headOffset && info.headOffset >= 0) total_ += info.size - info.headOffset;
  }

  // known: where the stream belongs, or empty where nothing was looked for
  // (target() then makes it, for a message).
  void UnpackStream(StorageWalker& walker, CStorage* parent, const EntryInfo& info, const fs::path& fileName,
                    const fs::path& known, const fs::file_status& status) {
    const auto target = [&] { return known.empty() ? folders_.back().path / fileName : known; };
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      Problem(walker, "something that is not a file is in the way; skipped");
      return;
    }
    if (fs::exists(status) && options_.existing != ExistingFiles::kOverwrite) {
      Taken(walker, target());  // checked before anything was written; this one appeared since
      return;
    }
    if (!MakeFolders(walker)) return;
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
      ProblemWithResult(walker, "the stream does not open", result, "; skipped");
      return;
    }
    const bool replacing = fs::exists(status);
    const std::string kept = replacing ? "; the existing file was left unchanged" : "; no file written";
    const Folder& folder = folders_.back();
    if (!folder.unseen) SweepOnce(folder.path);
    ReplacingFile file(folder.unseen ? folder.building / fileName : target());
    const QssResult created = folder.unseen ? file.CreateAtTarget() : file.Create();
    if (QssFailed(created)) {
      std::error_code ec;
      if (folder.unseen && fs::exists(fs::symlink_status(file.target(), ec))) {
        Taken(walker, target());  // an earlier entry's file name folds to this one
        return;
      }
      ProblemWithResult(walker, "cannot create a file in " + DisplayPath(folders_.back().path), created, kept);
      return;
    }
    StreamCopyOptions options;
    options.progress = [this](std::uint32_t size) {
      if (progress_ != nullptr) progress_->Advance(size);
    };
    StreamCopyReport report;
    // Long runs of blocks move into the file inside the kernel where the
    // system can; scattered ones are read together.
    const QssResult copied = CopyStreamToFile(stream.get(), file.nativeHandle(), options, &report);
    if (report.stage == StreamCopyReport::Stage::kSink) {
      file.Abandon();
      ProblemWithResult(walker, "cannot write " + DisplayPath(target()), copied, kept);
      return;
    }
    if (QssFailed(copied)) {
      // A partial file would pass for the whole stream.
      file.Abandon();
      const std::string problem = CopyProblem(report, stream.get());
      if (report.stage == StreamCopyReport::Stage::kSeek || report.stage == StreamCopyReport::Stage::kRead) {
        ProblemWithResult(walker, problem, copied, kept);
      } else {
        Problem(walker, problem + kept);
      }
      return;
    }
    const bool overwrite = options_.existing == ExistingFiles::kOverwrite;
    const QssResult moved = file.Commit(replacing, overwrite);
    if (QssSucceeded(moved)) return;
    std::error_code ec;
    if (!replacing && !overwrite && fs::exists(fs::symlink_status(target(), ec))) {
      Taken(walker, target());  // it appeared after the look
      return;
    }
    ProblemWithResult(walker, "cannot move the file into place", moved, kept);
  }

  bool Problem(StorageWalker& walker, const std::string& message) {
    failed_ = true;
    if (planning_) return false;  // the second pass reports it
    if (progress_ != nullptr) progress_->Finish();
    context_.err << "qss: unpack: '" << walker.PathText() << "': " << message << '\n';
    return false;
  }

  // "<message>: <result in words> (0x...)<then>".
  void ProblemWithResult(StorageWalker& walker, const std::string& message, QssResult result,
                         const std::string& then = "") {
    Problem(walker, message + ": " + DescribeResult(result) + then);
  }

  ToolContext& context_;
  ProgressBar* progress_;
  // Told of interrupts, which stop the walk.
  const InterruptGuard* interrupts_;
  const UnpackOptions& options_;
  const bool planning_;
  bool interrupted_ = false;
  std::vector<Folder> folders_;
  // Folders cleared of an unfinished unpack's temporaries.
  std::set<fs::path> swept_;
  // Whether each storage on the way down is included as a whole.
  std::vector<bool> included_;
  fs::path pending_;
  bool pendingIncluded_ = false;
  bool pendingEmpty_ = false;
  bool pendingExists_ = false;
  bool failed_ = false;
  std::vector<fs::path> existing_;
  std::int64_t total_ = 0;
  std::int64_t kept_ = 0;
};

}  // namespace

// Where the walk starts: the root, or the entry at PATH.
struct UnpackStart {
  CQssRef<CStorage> parent;
  std::int32_t index = -1;  // -1: the whole container
};

int RunUnpack(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  const std::vector<OptionDefinition> specs = {
      {"exclude", true}, {"include", true}, {"overwrite", false}, {"keep", false}};
  if (!ParseCommandLine(args, specs, &parsed, &error)) return UsageError(context, "unpack", "unpack: " + error);
  if (parsed.operands.size() != 2 && parsed.operands.size() != 3) {
    return UsageError(context, "unpack", "unpack: expected CONTAINER DIR [PATH]");
  }
  if (parsed.Has("overwrite") && parsed.Has("keep")) {
    return UsageError(context, "unpack", "unpack: --overwrite and --keep exclude each other");
  }
  UnpackOptions options;
  options.existing = parsed.Has("overwrite") ? ExistingFiles::kOverwrite : parsed.Has("keep") ? ExistingFiles::kKeep
                                                                                         : ExistingFiles::kRefuse;
  for (const char* name : {"include", "exclude"}) {
    if (!parsed.Has(name)) continue;
    for (const std::string& pattern : parsed.options.at(name)) {
      if (!options.filter.Add(pattern, std::string(name) == "include", &error)) {
        return UsageError(context, "unpack", "unpack: " + error);
      }
    }
  }
  std::vector<std::u16string> components;
  if (parsed.operands.size() == 3 && !ParseEntryPath(parsed.operands[2], &components, &error)) {
    return UsageError(context, "unpack", "unpack: " + error);
  }
  const fs::path folder = PathFromArgument(parsed.operands[1]);

  OpenedContainer container = OpenContainerReadOnly(PathFromArgument(parsed.operands[0]));
  if (!container.root) return Fail(context, "unpack: " + container.failure, container.result);

  UnpackStart start;
  if (!components.empty()) {
    std::size_t failedAt = 0;
    const std::vector<std::u16string> parentNames(components.begin(), components.end() - 1);
    const QssResult result = OpenStoragePath(container.root.get(), parentNames, &start.parent, &failedAt);
    if (QssFailed(result)) return FailToOpenEntry(context, "unpack", "storage", components, failedAt, result);
    const CStorageEntry* entry = FirstEntryNamed(start.parent.get(), components.back());
    for (std::int32_t i = 0; entry != nullptr && i < start.parent->EntryCount(); ++i) {
      if (start.parent->EntryAt(i) == entry) start.index = i;
    }
    if (start.index < 0) {
      return FailToOpenEntry(context, "unpack", "entry", components, components.size() - 1, kQssNotFound);
    }
  }
  const std::vector<std::u16string> above(components.begin(), components.end() - (components.empty() ? 0 : 1));
  auto walk = [&](StorageWalker& walker) {
    if (start.index < 0) {
      walker.Walk(container.root.get());
    } else {
      walker.WalkEntry(start.parent.get(), start.index, above);
    }
  };

  // Check first, then write: a refusal leaves DIR as it was. Where DIR is
  // missing, nothing can be in the way; unless a bar needs its total, the
  // first walk would learn nothing, and is left out.
  std::error_code ec;
  const bool folderMissing = !fs::exists(folder, ec);
  Unpacker plan(context, folder, folderMissing, nullptr, nullptr, options, true);
  if (!folderMissing || context.progress) {
    StorageWalker planWalker(plan, container.bytes);
    walk(planWalker);
  }
  if (options.existing == ExistingFiles::kRefuse && !plan.existing().empty()) {
    constexpr std::size_t kListed = 20;
    for (std::size_t i = 0; i < plan.existing().size() && i < kListed; ++i) {
      Fail(context, "unpack: " + DisplayPath(plan.existing()[i]) + " exists");
    }
    if (plan.existing().size() > kListed) {
      Fail(context, "unpack: and " + std::to_string(plan.existing().size() - kListed) + " more existing files");
    }
    return Fail(context, "unpack: nothing written; --overwrite replaces existing files, --keep skips them");
  }

  // DIR itself may be a symbolic link the user made; only what lies below it
  // is guarded.
  const bool made = fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) {
    return Fail(context, "unpack: cannot create folder " + DisplayPath(folder) + (ec ? ": " + ec.message() : ""));
  }

  // The first interrupt is held until the walk can stop (see the top of
  // this file); a second one, which may come while a progress bar holds the
  // line, acts at once.
  static const InterruptCleanup::TemporaryFiles kNoFiles{nullptr};
  InterruptGuard interrupts(
      context, &kNoFiles,
      std::string(context.progress ? "\n" : "") + "qss: unpack: interrupted; folders and files under temporary" +
          " names (.NAME.qss-tmp-PID) may be left in " + DisplayPath(folder) +
          "; the next unpack into it deletes them\n",
      "qss: unpack: interrupted; what it had not finished was deleted, what is in place is complete\n");
  interrupts.DeferFirst();
  ProgressBar progress(context.err, context.progress, "unpack", plan.total());
  Unpacker unpacker(context, folder, made, &progress, &interrupts, options, false);
  StorageWalker walker(unpacker, container.bytes);
  walk(walker);
  progress.Finish();
  if (unpacker.interrupted()) return kExitFailure;  // interrupts' end says why, and ends the process
  if (unpacker.kept() > 0) {
    Note(context, "unpack: " + std::to_string(unpacker.kept()) + " existing file" + (unpacker.kept() == 1 ? "" : "s") +
                      " kept");
  }
  if (walker.limitReached()) {
    return Fail(context, "unpack: the walk stopped at its limit (" + std::to_string(kMaxTreeDepth) + " levels, " +
                             std::to_string(kMaxTreeEntries) + " entries); the container may be damaged");
  }
  return unpacker.failed() ? kExitFailure : kExitOk;
}

}  // namespace qss_tool

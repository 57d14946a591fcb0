// qss tree: the whole hierarchy, nested containers included.

#include <ostream>

#include "CommandLine.h"
#include "Commands.h"
#include "StorageWalker.h"
#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

namespace {

std::string Indent(int depth) { return std::string(2 * static_cast<std::size_t>(depth), ' '); }

// Reports what the walker could not open, for both output forms.
class TreeProblems : public WalkEvents {
 public:
  explicit TreeProblems(ToolContext& context) : context_(context) {}
  void NotOpened(StorageWalker& walker, const EntryInfo&, const std::string& reason) override {
    failed_ = true;
    context_.err << "qss: tree: '" << walker.PathText() << "': not opened: " << reason << '\n';
  }
  void OpenFailed(StorageWalker& walker, const EntryInfo& info, QssResult result) override {
    failed_ = true;
    context_.err << "qss: tree: '" << walker.PathText() << "': the "
                 << (info.kind == kKindNestedContainer ? "nested container" : "storage") << " does not open: " << DescribeResult(result)
                 << '\n';
  }
  void DirectoryCutShort(StorageWalker& walker, QssResult result) override {
    failed_ = true;
    context_.err << "qss: tree: '" << walker.PathText() << "': the directory could not be read to its end: "
                 << DescribeResult(result) << '\n';
  }
  bool failed() const { return failed_; }

 protected:
  ToolContext& context_;
  bool failed_ = false;
};

class TextTree : public TreeProblems {
 public:
  using TreeProblems::TreeProblems;
  bool Visit(StorageWalker& walker, CStorage*, const EntryInfo& info) override {
    std::string line = Indent(walker.depth()) + PrintableName(info.name);
    if (info.kind == kEntryStorage) {
      line += "/";
    } else if (info.kind == kKindNestedContainer) {
      line += "/ [container, " + std::to_string(info.size) + " bytes]";
    } else if (info.kind == kEntryStream) {
      line += "  " + std::to_string(info.size) + " bytes";
      if (info.compressed) {
        line += " (compressed, " + std::to_string(info.storedLength) + " stored)";
      } else if ((info.flags & kEntryCompressed) != 0) {
        line += " (stored plain)";
      }
    } else {
      line += "  [kind 0]";
    }
    context_.out << line << '\n';
    return true;
  }
  void OpenFailed(StorageWalker& walker, const EntryInfo& info, QssResult result) override {
    context_.out << Indent(walker.depth() + 1) << "[does not open: " << DescribeResult(result) << "]\n";
    TreeProblems::OpenFailed(walker, info, result);
  }
  void NotOpened(StorageWalker& walker, const EntryInfo& info, const std::string& reason) override {
    context_.out << Indent(walker.depth() + 1) << "[not opened: " << reason << "]\n";
    TreeProblems::NotOpened(walker, info, reason);
  }
};

// Writes the JSON text as the walk goes (a damaged container can make the
// document large); an object stays open while its children are visited.
class JsonTree : public TreeProblems {
 public:
  explicit JsonTree(ToolContext& context) : TreeProblems(context), json_(context.out) {
    json_ << "{\"name\": \"\", \"kind\": 1, \"children\": [";
    firstInLevel_.push_back(true);
  }
  bool Visit(StorageWalker&, CStorage*, const EntryInfo& info) override {
    Separator();
    json_ << EntryJsonMembers(info);
    if ((info.kind & kEntryStorage) == 0) json_ << '}';
    return true;
  }
  void Enter(StorageWalker&, CStorage*, const EntryInfo&) override {
    json_ << ", \"children\": [";
    firstInLevel_.push_back(true);
  }
  void Leave(StorageWalker&, const EntryInfo&) override {
    firstInLevel_.pop_back();
    json_ << "]}";
  }
  void OpenFailed(StorageWalker& walker, const EntryInfo& info, QssResult result) override {
    json_ << ", \"error\": " << JsonString(FormatResult(result)) << '}';
    TreeProblems::OpenFailed(walker, info, result);
  }
  void NotOpened(StorageWalker& walker, const EntryInfo& info, const std::string& reason) override {
    json_ << ", \"error\": " << JsonString(reason) << '}';
    TreeProblems::NotOpened(walker, info, reason);
  }
  void Finish() { json_ << "]}\n"; }

 private:
  void Separator() {
    if (!firstInLevel_.back()) json_ << ", ";
    firstInLevel_.back() = false;
  }
  std::ostream& json_;
  std::vector<bool> firstInLevel_;
};

}  // namespace

int RunTree(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"json", false}}, &parsed, &error)) {
    return UsageError(context, "tree", "tree: " + error);
  }
  if (parsed.operands.size() != 1) return UsageError(context, "tree", "tree: expected CONTAINER");

  OpenedContainer container = OpenContainerReadOnly(PathFromArgument(parsed.operands[0]));
  if (!container.root) return Fail(context, "tree: " + container.failure, container.result);

  bool failed = false;
  bool limit = false;
  if (parsed.Has("json")) {
    JsonTree events(context);
    StorageWalker walker(events, container.bytes);
    walker.Walk(container.root.get());
    events.Finish();
    failed = events.failed();
    limit = walker.limitReached();
  } else {
    context.out << "/\n";
    TextTree events(context);
    StorageWalker walker(events, container.bytes);
    walker.Walk(container.root.get());
    failed = events.failed();
    limit = walker.limitReached();
  }
  if (limit) {
    return Fail(context, "tree: the walk stopped at its limit (" + std::to_string(kMaxTreeDepth) + " levels, " +
                             std::to_string(kMaxTreeEntries) + " entries); the container may be damaged");
  }
  return failed ? kExitFailure : kExitOk;
}

}  // namespace qss_tool

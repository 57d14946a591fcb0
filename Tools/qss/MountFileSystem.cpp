#include "MountFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>

#include "qss/CLockGuard.h"
#include "qss/CStream.h"
#include "qss/ContainerInfo.h"
#include "qss/EntryPath.h"
#include "StorageWalker.h"
#include "TextCodec.h"
#include "ToolContext.h"

using namespace qss;

namespace qss_tool {

struct MountFileSystem::OpenFile {
  NodeId id = 0;
  const Node* node = nullptr;
  CQssRef<CStream> stream;
  std::int64_t users = 0;
};

class MountFileSystem::Builder : public WalkEvents {
 public:
  Builder(MountFileSystem& tree, std::vector<std::string>* problems) : tree_(tree), problems_(problems) {
    EnterFolder(kRoot);
  }

  bool Visit(StorageWalker& walker, CStorage* parent, const EntryInfo& info) override {
    ++visits_;
    Level& level = levels_.back();
    const std::int32_t index = level.nextIndex++;
    if (!info.nameTerminated) return LeaveOut(walker, "the name has no terminator");
    std::filesystem::path fileName;
    std::string reason;
    if (!FileNameFromEntryName(info.name, &fileName, &reason)) return LeaveOut(walker, reason);
    // A lookup by name reaches the first entry of a name: a later one could
    // not be opened, and one folder cannot hold two files of one name.
    const auto [first, isFirst] = level.firstOfName.emplace(info.name, 0);
    if (!isFirst) {
      if (first->second != 0) ++tree_.nodes_[first->second - 1].laterNamesakes;
      return LeaveOut(walker, "the name repeats an earlier entry's name");
    }

    Node node;
    node.name = Utf16ToUtf8(info.name);
    node.parent = level.folder;
    switch (info.kind) {
      case kEntryStream: {
        node.storage = parent;
        node.entry = EntryOf(parent, index, info);
        node.entryName = info.name;
        if (node.entry == nullptr || info.headOffset < 0 || info.size < 0 || info.headOffset > info.size) {
          node.error = EIO;
          Problem(walker, "the entry's head offset " + std::to_string(info.headOffset) + " lies outside its size " +
                              std::to_string(info.size) + "; reading it fails with an I/O error");
        } else if (QssFailed(CheckEntryFits(*node.entry, true, walker.containerBytes()))) {
          node.error = EIO;
          Problem(walker, "the entry claims more than the container holds; reading it fails with an I/O error");
        } else {
          node.size = info.size - info.headOffset;
          node.head = info.headOffset;
        }
        first->second = tree_.Add(std::move(node));
        tree_.nodes_[level.folder - 1].children.push_back(first->second);
        return false;
      }
      case kEntryStorage:
      case kKindNestedContainer:
        node.folder = true;
        // Until the walker opens it: every outcome but Enter leaves it so.
        node.error = EIO;
        first->second = tree_.Add(std::move(node));
        tree_.nodes_[level.folder - 1].children.push_back(first->second);
        ++tree_.nodes_[level.folder - 1].subfolders;
        pending_ = first->second;
        return true;
      default:
        return LeaveOut(walker, "an entry of kind 0 cannot be opened");
    }
  }

  void Enter(StorageWalker&, CStorage* child, const EntryInfo&) override {
    tree_.nodes_[pending_ - 1].error = 0;
    tree_.storages_.emplace_back(child);
    EnterFolder(pending_);
  }

  void Leave(StorageWalker& walker, const EntryInfo&) override {
    MarkIfCutByLimit(walker);
    levels_.pop_back();
  }

  void OpenFailed(StorageWalker& walker, const EntryInfo& info, QssResult result) override {
    Problem(walker, std::string(info.kind == kKindNestedContainer ? "the nested container" : "the storage") +
                        " does not open (" + FormatResult(result) + "); listing it fails with an I/O error");
  }

  void NotOpened(StorageWalker& walker, const EntryInfo&, const std::string& reason) override {
    Problem(walker, reason + "; listing it fails with an I/O error");
  }

  void DirectoryCutShort(StorageWalker& walker, QssResult result) override {
    tree_.nodes_[levels_.back().folder - 1].listError = EIO;
    Problem(walker, "the directory could not be read to its end (" + FormatResult(result) +
                        "); its listing fails with an I/O error after the entries before that point");
  }

  // After the walk, for the root.
  void Finish(StorageWalker& walker) {
    MarkIfCutByLimit(walker);
    if (walker.limitReached() && visits_ >= kMaxTreeEntries) {
      problems_->push_back("'': the walk stopped at its limit of " + std::to_string(kMaxTreeEntries) +
                           " entries; the container may be damaged");
    }
  }

 private:
  struct Level {
    NodeId folder = kRoot;
    std::int32_t nextIndex = 0;
    // Each name seen in this directory -> the node of its first entry (0
    // when that entry was left out).
    std::map<std::u16string, NodeId> firstOfName;
  };

  void EnterFolder(NodeId folder) {
    levels_.emplace_back();
    levels_.back().folder = folder;
  }

  // The walker visits a directory's entries in index order, one Visit each;
  // the record is taken by that index, and by name only should the two ever
  // disagree.
  static const CStorageEntry* EntryOf(CStorage* parent, std::int32_t index, const EntryInfo& info) {
    const CStorageEntry* entry = parent->EntryAt(index);
    if (entry != nullptr && entry->NameEquals(info.name.c_str()) && entry->FirstBlock() == info.firstBlock) {
      return entry;
    }
    return FirstEntryNamed(parent, info.name);
  }

  // The entry limit ends every directory still being walked early.
  void MarkIfCutByLimit(StorageWalker& walker) {
    if (walker.limitReached() && visits_ >= kMaxTreeEntries) tree_.nodes_[levels_.back().folder - 1].listError = EIO;
  }

  bool LeaveOut(StorageWalker& walker, const std::string& reason) {
    Problem(walker, reason + "; left out");
    return false;
  }

  void Problem(StorageWalker& walker, const std::string& message) {
    std::string line = "'";
    line.append(walker.PathText()).append("': ").append(message);
    problems_->push_back(std::move(line));
  }

  MountFileSystem& tree_;
  std::vector<std::string>* problems_;
  std::vector<Level> levels_;
  NodeId pending_ = 0;
  std::int64_t visits_ = 0;
};

MountFileSystem::MountFileSystem(OpenedContainer container, std::vector<std::string>* problems)
    : container_(std::move(container)) {
  Node root;
  root.folder = true;
  Add(std::move(root));
  if (!container_.root) {
    nodes_.front().error = EIO;
    return;
  }
  if (ContainerLayout layout; QssSucceeded(InspectLayout(container_.root.get(), &layout))) {
    blockSize_ = layout.blockSize;
  }
  Builder builder(*this, problems);
  StorageWalker walker(builder, container_.bytes);
  walker.Walk(container_.root.get());
  builder.Finish(walker);
  Index();
}

MountFileSystem::~MountFileSystem() {
  // Readers the kernel never released (a forced unmount) still hold streams.
  for (auto& [id, file] : open_) delete file;
  open_.clear();
  storages_.clear();
}

MountFileSystem::NodeId MountFileSystem::Add(Node node) {
  nodes_.push_back(std::move(node));
  return nodes_.size();
}

void MountFileSystem::Index() {
  for (Node& node : nodes_) {
    if (!node.folder) continue;
    node.byName = node.children;
    std::sort(node.byName.begin(), node.byName.end(),
              [this](NodeId a, NodeId b) { return nodes_[a - 1].name < nodes_[b - 1].name; });
  }
}

const MountFileSystem::Node* MountFileSystem::Get(NodeId id) const {
  return id >= 1 && id <= nodes_.size() ? &nodes_[id - 1] : nullptr;
}

MountFileSystem::NodeId MountFileSystem::Lookup(NodeId parent, std::string_view name) const {
  const Node* folder = Get(parent);
  if (folder == nullptr || !folder->folder) return 0;
  const auto found = std::lower_bound(folder->byName.begin(), folder->byName.end(), name,
                                      [this](NodeId id, std::string_view wanted) { return nodes_[id - 1].name < wanted; });
  return found != folder->byName.end() && nodes_[*found - 1].name == name ? *found : 0;
}

int MountFileSystem::Open(NodeId id, OpenFile** file) {
  *file = nullptr;
  const Node* node = Get(id);
  if (node == nullptr) return ENOENT;
  if (node->folder) return EISDIR;
  if (node->error != 0) return node->error;
  std::lock_guard<std::mutex> guard(openLock_);
  if (const auto found = open_.find(id); found != open_.end()) {
    ++found->second->users;
    *file = found->second;
    return 0;
  }
  // The storage finds a name through its last hit's successor first, which
  // can be a later entry of the same name: such a stream is put back, and
  // every retry moves the last hit past one of them.
  CQssRef<CStream> stream;
  for (std::int32_t attempt = 0; attempt <= node->laterNamesakes && !stream; ++attempt) {
    CStream* opened = nullptr;
    const QssResult result = node->storage->OpenStream(node->entryName.c_str(), 0, &opened);
    if (QssFailed(result) || opened == nullptr) return EIO;
    CQssRef<CStream> held = CQssRef<CStream>::Attach(opened);
    if (opened->entry() == node->entry) stream = held;
  }
  if (!stream) return EIO;
  auto* opened = new OpenFile;
  opened->id = id;
  opened->node = node;
  opened->stream = stream;
  opened->users = 1;
  open_.emplace(id, opened);
  *file = opened;
  return 0;
}

int MountFileSystem::Read(OpenFile* file, std::int64_t offset, std::size_t size, char* buffer, std::size_t* got) {
  return Serve(file, offset, size, buffer,
               [](CStream* stream, std::int32_t count, char* at, std::uint32_t* done) {
                 return stream->Read(at, count, done);
               },
               got);
}

int MountFileSystem::ReadToFile(OpenFile* file, std::int64_t offset, std::size_t size, std::intptr_t target,
                                char* buffer, std::size_t* got) {
  FileCopyState state;
  return Serve(file, offset, size, buffer,
               [&](CStream* stream, std::int32_t count, char*, std::uint32_t* done) {
                 return stream->ReadToFile(count, target, buffer, &state, done);
               },
               got);
}

int MountFileSystem::Serve(OpenFile* file, std::int64_t offset, std::size_t size, char* buffer,
                           const Transfer& transfer, std::size_t* got) {
  *got = 0;
  const Node& node = *file->node;
  if (offset < 0) return EINVAL;
  if (offset >= node.size || size == 0) return 0;
  const std::size_t capped = std::min<std::size_t>(size, std::numeric_limits<std::int32_t>::max());
  const auto want = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(capped), node.size - offset));
  CStream* stream = file->stream.get();
  // The seek and the reads belong together: other readers of this file
  // share the stream and its position.
  CLockGuard guard(stream->lock());
  if (QssFailed(stream->Seek(node.head + offset, kSeekBegin, nullptr))) return EIO;
  std::size_t done = 0;
  while (done < want) {
    std::uint32_t count = 0;
    const QssResult result = transfer(stream, static_cast<std::int32_t>(want - done), buffer + done, &count);
    if (result != kQssOk || count == 0) break;
    done += std::min<std::size_t>(count, want - done);
  }
  // A read that falls short of what the size promises is damage, never an
  // early end: the kernel would take a short answer for the end of the file.
  if (done < want) return EIO;
  *got = done;
  return 0;
}

void MountFileSystem::Release(OpenFile* file) {
  std::lock_guard<std::mutex> guard(openLock_);
  if (--file->users > 0) return;
  open_.erase(file->id);
  delete file;
}

}  // namespace qss_tool

#include "StorageWalker.h"

#include "qss/ContainerInfo.h"

using namespace qss;

namespace qss_tool {

void StorageWalker::Walk(CStorage* storage) {
  path_.clear();
  visited_ = 0;
  limitReached_ = false;
  ForgetClaims();
  ClaimRoot(storage);
  WalkStorage(storage);
  if (QssFailed(storage->loadStatus())) events_.DirectoryCutShort(*this, storage->loadStatus());
}

bool StorageWalker::Claim(CStorage* storage, std::int64_t block, std::string* earlier) {
  if (block == -1) return true;
  CQssRef<CQssRefCountedObject> container = ContainerIdentity(storage);
  if (!container) return true;
  const CQssRefCountedObject* key = container.get();
  containers_.try_emplace(key, std::move(container));  // held from its first claim on
  const auto [at, added] = claimed_.try_emplace(std::make_pair(key, block));
  if (added) {
    if (path_.empty()) return true;  // the walk's root directory
    // Every entry of a storage shares the storage's path.
    if (folder_ < 0) {
      folder_ = static_cast<std::int32_t>(folders_.size());
      folders_.emplace_back(path_.begin(), path_.end() - 1);
    }
    at->second = Claimer{folder_, names_.size(), path_.back().size()};
    names_ += path_.back();
  } else if (earlier != nullptr) {
    std::vector<std::u16string> names;
    if (at->second.folder >= 0) {
      names = folders_[static_cast<std::size_t>(at->second.folder)];
      names.push_back(names_.substr(at->second.nameStart, at->second.nameLength));
    }
    *earlier = JoinEntryPath(names, names.size());
  }
  return added;
}

void StorageWalker::ForgetClaims() {
  claimed_.clear();
  folders_.clear();
  folder_ = -1;
  names_.clear();
}

void StorageWalker::ClaimRoot(CStorage* root) {
  if (root->entry() != nullptr) Claim(root, root->entry()->FirstBlock(), nullptr);
}

bool StorageWalker::ClaimChain(CStorage* parent, const EntryInfo& info, std::string* earlier) {
  return Claim(parent, info.firstBlock, earlier);
}

void StorageWalker::WalkEntry(CStorage* parent, std::int32_t index, const std::vector<std::u16string>& above) {
  path_ = above;
  visited_ = 0;
  limitReached_ = false;
  ForgetClaims();
  CStorageEntry* entry = parent->EntryAt(index);
  if (entry != nullptr) VisitEntry(parent, entry);
}

void StorageWalker::WalkStorage(CStorage* storage) {
  const std::int32_t count = storage->EntryCount();
  for (std::int32_t i = 0; i < count; ++i) {
    if (++visited_ > kMaxTreeEntries) {
      limitReached_ = true;
      return;
    }
    CStorageEntry* entry = storage->EntryAt(i);
    if (entry == nullptr) continue;
    VisitEntry(storage, entry);
    if (limitReached_ && visited_ > kMaxTreeEntries) return;
  }
}

bool StorageWalker::NameRepeats(CStorage* parent) const {
  // A name ends at its first NUL: the stored name is terminated as it stands.
  return parent->FindFirstEntry(path_.back().c_str()) != visiting_;
}

void StorageWalker::VisitEntry(CStorage* storage, CStorageEntry* entry) {
  const EntryInfo info = DescribeEntry(*entry);
  path_.push_back(info.name);
  visiting_ = entry;
  const bool descend = events_.Visit(*this, storage, info) && (info.kind & kEntryStorage) != 0;
  if (descend) {
    if (!info.nameTerminated) {
      events_.NotOpened(*this, info, "the name has no terminator");
    } else if (NameRepeats(storage)) {
      events_.NotOpened(*this, info, "the name repeats an earlier entry's name");
    } else if (depth() >= kMaxTreeDepth) {
      limitReached_ = true;
      events_.NotOpened(*this, info,
                        "storages and nested containers nest more than " + std::to_string(kMaxTreeDepth) + " levels");
    } else if (std::string earlier; !ClaimChain(storage, info, &earlier)) {
      events_.NotOpened(*this, info,
                        "its chain is the one of " + (earlier.empty() ? "the root directory" : "'" + earlier + "'") +
                            ", walked already");
    } else {
      CQssRef<CStorage> held;
      const QssResult result = OpenChildStorage(storage, info.name, containerBytes_, &held);
      if (QssFailed(result)) {
        events_.OpenFailed(*this, info, result);
      } else {
        CStorage* child = held.get();
        // A nested container's root directory lives in its own table.
        if (info.kind == kKindNestedContainer) ClaimRoot(child);
        events_.Enter(*this, child, info);
        folder_ = -1;
        WalkStorage(child);
        folder_ = -1;  // back in the parent
        if (QssFailed(child->loadStatus())) events_.DirectoryCutShort(*this, child->loadStatus());
        events_.Leave(*this, info);
      }
    }
  }
  path_.pop_back();
}

}  // namespace qss_tool

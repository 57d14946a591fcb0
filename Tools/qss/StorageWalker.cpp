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
  auto found = containers_.find(container.get());
  if (found == containers_.end()) {
    const auto index = static_cast<std::uint32_t>(containers_.size());
    const CQssRefCountedObject* key = container.get();
    found = containers_.emplace(key, ContainerClaims{std::move(container), index, ClaimedBlocks(containerBytes_)}).first;
  }
  const std::uint32_t containerIndex = found->second.index;
  if (!found->second.blocks.Claim(block)) {
    if (recordIndex_.empty()) {
      // The first chain claimed twice (so records_ holds its first claim):
      // from here on, claims are looked up.
      for (std::size_t i = 0; i < records_.size(); ++i) {
        recordIndex_.emplace(ClaimKey(records_[i].container, records_[i].block), i);
      }
    }
    if (earlier != nullptr) {
      const auto at = recordIndex_.find(ClaimKey(containerIndex, block));
      *earlier = at == recordIndex_.end() ? std::string() : ClaimerPath(at->second);
    }
    return false;
  }
  ClaimRecord record{block, names_.size(), containerIndex, -1};
  if (!path_.empty()) {  // not the walk's root directory
    // Every entry of a storage shares the storage's path.
    if (folder_ < 0) {
      folder_ = static_cast<std::int32_t>(folders_.size());
      folders_.emplace_back(path_.begin(), path_.end() - 1);
    }
    record.folder = folder_;
    names_.insert(names_.end(), path_.back().begin(), path_.back().end());
  }
  if (!recordIndex_.empty()) recordIndex_.emplace(ClaimKey(containerIndex, block), records_.size());
  records_.push_back(record);
  return true;
}

std::string StorageWalker::ClaimerPath(std::size_t index) const {
  const ClaimRecord& record = records_[index];
  if (record.folder < 0) return std::string();
  const std::size_t nameEnd = index + 1 < records_.size() ? records_[index + 1].nameStart : names_.size();
  std::vector<std::u16string> names = folders_[static_cast<std::size_t>(record.folder)];
  names.emplace_back(names_.begin() + static_cast<std::ptrdiff_t>(record.nameStart),
                     names_.begin() + static_cast<std::ptrdiff_t>(nameEnd));
  return JoinEntryPath(names, names.size());
}

void StorageWalker::ForgetClaims() {
  containers_.clear();
  records_.clear();
  names_.clear();
  recordIndex_.clear();
  folders_.clear();
  folder_ = -1;
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

#include "StorageWalker.h"

namespace qss {

void StorageWalker::Walk(CStorage* storage) {
  path_.clear();
  visited_ = 0;
  limitReached_ = false;
  WalkStorage(storage);
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
    const EntryInfo info = DescribeEntry(*entry);
    path_.push_back(info.name);
    const bool descend = events_.Visit(*this, storage, info) && (info.kind & kEntryStorage) != 0;
    if (descend) {
      if (!info.nameTerminated) {
        events_.NotOpened(*this, info, "the name has no terminator");
      } else if (FirstEntryNamed(storage, info.name) != entry) {
        events_.NotOpened(*this, info, "the name repeats an earlier entry's name");
      } else if (depth() > kMaxTreeDepth) {
        limitReached_ = true;
        events_.NotOpened(*this, info, "storages nest deeper than " + std::to_string(kMaxTreeDepth) + " levels");
      } else {
        CStorage* child = nullptr;
        const QssResult result = OpenChildStorage(storage, info.name, containerBytes_, &child);
        if (QssFailed(result) || child == nullptr) {
          events_.OpenFailed(*this, info, result);
        } else {
          CQssRef<CStorage> held = CQssRef<CStorage>::Attach(child);
          events_.Enter(*this, child, info);
          WalkStorage(child);
          events_.Leave(*this, info);
        }
      }
    }
    path_.pop_back();
    if (limitReached_ && visited_ > kMaxTreeEntries) return;
  }
}

}  // namespace qss

// StorageWalker: visits every entry below a storage, depth first, in
// directory order, opening storages and nested containers on the way.
//
// tree, unpack and the size pre-pass of unpack share it. It guards against
// damaged containers: storages are followed at most kMaxTreeDepth levels
// deep, at most kMaxTreeEntries entries are visited, an entry whose name
// repeats an earlier one in the same storage is not opened (opening by name
// would reach the earlier entry), and a name without terminator cannot be
// opened at all.

#ifndef TOOLS_QSS_STORAGEWALKER_H_
#define TOOLS_QSS_STORAGEWALKER_H_

#include <string>
#include <vector>

#include "ContainerAccess.h"

namespace qss {

class StorageWalker;

class WalkEvents {
 public:
  virtual ~WalkEvents() = default;
  // Every entry. Return false to keep the walker from opening a storage or
  // nested container entry.
  virtual bool Visit(StorageWalker& walker, CStorage* parent, const EntryInfo& info) = 0;
  // A storage or nested container was opened; its entries follow, then Leave.
  virtual void Enter(StorageWalker&, CStorage* /*child*/, const EntryInfo&) {}
  virtual void Leave(StorageWalker&, const EntryInfo&) {}
  // A storage or nested container entry did not open.
  virtual void OpenFailed(StorageWalker&, const EntryInfo&, QssResult /*result*/) {}
  // An entry the walker would not open (duplicate name, no terminator,
  // depth limit), with the reason.
  virtual void NotOpened(StorageWalker&, const EntryInfo&, const std::string& /*reason*/) {}
};

class StorageWalker {
 public:
  // containerBytes: the size of the whole container (see CheckEntryFits).
  StorageWalker(WalkEvents& events, std::int64_t containerBytes)
      : events_(events), containerBytes_(containerBytes) {}

  void Walk(CStorage* storage);

  // The names from the walk's root down to the entry being visited
  // (inclusive), for messages.
  const std::vector<std::u16string>& path() const { return path_; }
  std::string PathText() const { return JoinEntryPath(path_, path_.size()); }
  int depth() const { return static_cast<int>(path_.size()); }
  // The depth or entry limit stopped part of the walk.
  bool limitReached() const { return limitReached_; }
  std::int64_t containerBytes() const { return containerBytes_; }

 private:
  void WalkStorage(CStorage* storage);

  WalkEvents& events_;
  std::int64_t containerBytes_;
  std::vector<std::u16string> path_;
  std::int64_t visited_ = 0;
  bool limitReached_ = false;
};

}  // namespace qss

#endif  // TOOLS_QSS_STORAGEWALKER_H_

// StorageWalker: visits every entry below a storage, depth first, in
// directory order, opening storages and nested containers on the way.
//
// tree, unpack and the size pre-pass of unpack share it. It guards against
// damaged containers: storages are followed at most kMaxTreeDepth levels
// deep, at most kMaxTreeEntries entries are visited, an entry whose name
// repeats an earlier one in the same storage is not opened (opening by name
// would reach the earlier entry), and a name without terminator cannot be
// opened at all. Every chain is walked once: a storage or nested container
// whose chain another entry already brought into the walk (a damaged
// directory pointing back at the root, or two entries sharing one chain) is
// not opened again, so the walk costs no more than the container holds.

#ifndef TOOLS_QSS_STORAGEWALKER_H_
#define TOOLS_QSS_STORAGEWALKER_H_

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ClaimedBlocks.h"
#include "ContainerAccess.h"
#include "qss/CQssRef.h"
#include "qss/CQssRefCountedObject.h"

namespace qss_tool {

class StorageWalker;

class WalkEvents {
 public:
  virtual ~WalkEvents() = default;
  // Every entry. Return false to keep the walker from opening a storage or
  // nested container entry.
  virtual bool Visit(StorageWalker& walker, qss::CStorage* parent, const EntryInfo& info) = 0;
  // A storage or nested container was opened; its entries follow, then Leave.
  virtual void Enter(StorageWalker&, qss::CStorage* /*child*/, const EntryInfo&) {}
  virtual void Leave(StorageWalker&, const EntryInfo&) {}
  // A storage or nested container entry did not open.
  virtual void OpenFailed(StorageWalker&, const EntryInfo&, qss::QssResult /*result*/) {}
  // An entry the walker would not open (duplicate name, no terminator,
  // depth limit), with the reason.
  virtual void NotOpened(StorageWalker&, const EntryInfo&, const std::string& /*reason*/) {}
  // The storage at walker.path() (the root when empty) could not be read to
  // its end; its entries before that point were visited.
  virtual void DirectoryCutShort(StorageWalker&, qss::QssResult /*result*/) {}
};

class StorageWalker {
 public:
  // containerBytes: the size of the whole container (see CheckEntryFits).
  StorageWalker(WalkEvents& events, std::int64_t containerBytes)
      : events_(events), containerBytes_(containerBytes) {}

  void Walk(qss::CStorage* storage);
  // Visits the entry at index of parent alone (and what lies below it);
  // above names the storages from the container's root down to parent,
  // so that paths and the depth limit count from the root.
  void WalkEntry(qss::CStorage* parent, std::int32_t index, const std::vector<std::u16string>& above);

  // The names from the walk's root down to the entry being visited
  // (inclusive), for messages.
  const std::vector<std::u16string>& path() const { return path_; }
  std::string PathText() const { return JoinEntryPath(path_, path_.size()); }
  int depth() const { return static_cast<int>(path_.size()); }
  // The depth or entry limit stopped part of the walk.
  bool limitReached() const { return limitReached_; }
  std::int64_t containerBytes() const { return containerBytes_; }

  // Records that the entry being visited (a child of parent) brings its
  // chain into the walk. False when an earlier entry already did; *earlier
  // then names it ("" for the root directory). Entries without blocks
  // share nothing.
  bool ClaimChain(qss::CStorage* parent, const EntryInfo& info, std::string* earlier);
  // Whether an earlier entry of parent has the name of the entry being
  // visited: opening by that name would reach the earlier one.
  bool NameRepeats(qss::CStorage* parent) const;

 private:
  void WalkStorage(qss::CStorage* storage);
  void VisitEntry(qss::CStorage* storage, qss::CStorageEntry* entry);
  // The same for the walk's root directory.
  void ClaimRoot(qss::CStorage* root);

  WalkEvents& events_;
  std::int64_t containerBytes_;
  std::vector<std::u16string> path_;
  const qss::CStorageEntry* visiting_ = nullptr;
  std::int64_t visited_ = 0;
  bool limitReached_ = false;
  // The containers met so far, held for the walk so that no later nested
  // container takes the identity (see qss::ContainerIdentity) of one that is
  // gone, each with the first blocks of the chains claimed in it.
  struct ContainerClaims {
    qss::CQssRef<qss::CQssRefCountedObject> held;
    std::uint32_t index;
    ClaimedBlocks blocks;
  };
  std::map<const qss::CQssRefCountedObject*, ContainerClaims> containers_;
  // Every chain brought into the walk, in order, with the entry that brought
  // it: kept as names and made into text only for a message.
  struct ClaimRecord {
    std::int64_t block;
    // Where its name starts in names_; it ends where the next one starts.
    // None for the walk's root directory.
    std::size_t nameStart;
    std::uint32_t container;
    // The storages above it (an index into folders_), or -1 at the top.
    std::int32_t folder;
  };
  // Chunked, so that neither grows by copying what it holds.
  std::deque<ClaimRecord> records_;
  std::deque<char16_t> names_;
  // (container, block) -> its index in records_. Only a chain claimed twice
  // needs it, so it is built at the first one and kept from then on (empty
  // until then).
  using ClaimKey = std::pair<std::uint32_t, std::int64_t>;
  struct ClaimKeyHash {
    std::size_t operator()(const ClaimKey& key) const {
      return std::hash<std::int64_t>{}(key.second) * 0x9E3779B97F4A7C15ULL ^ key.first;
    }
  };
  std::unordered_map<ClaimKey, std::size_t, ClaimKeyHash> recordIndex_;
  // The storage paths of claimers, and the one of the storage being walked
  // (-1: not kept yet).
  std::vector<std::vector<std::u16string>> folders_;
  std::int32_t folder_ = -1;
  // The entry path of records_[index], for a message ("" for the root).
  std::string ClaimerPath(std::size_t index) const;
  void ForgetClaims();
  // Claims block of storage's container for path; false with *earlier when
  // it was taken.
  bool Claim(qss::CStorage* storage, std::int64_t block, std::string* earlier);
};

}  // namespace qss_tool

#endif  // TOOLS_QSS_STORAGEWALKER_H_

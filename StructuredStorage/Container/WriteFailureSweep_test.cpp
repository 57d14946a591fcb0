// Write failures swept over whole writing operations, one failing call at a
// time: a write refused (once, or from then on as by a device that is gone),
// a resize refused, a flush refused, a write cut short (reporting success, or
// a failure). For every failing call N, from the first until the operation no
// longer makes an N-th call, the operation runs on a fresh setup. Either one
// of its steps reports a failure, or every step succeeds and the container,
// reopened on healthy storage, holds exactly what was written (every entry's
// name and kind, every stream's bytes, nested containers included) in exactly
// the bytes a run without failures leaves. Never success with other content.
// Everything stays releasable, and the sanitizer build checks that nothing
// leaks.
//
// What a commit that reported a failure leaves readable is surveyed rather
// than required: streams are written in place, and a root's last release
// commits whatever the writer left, so a stream may read as it was, as it was
// meant to become, not at all, or as neither. Each survey prints one line;
// only what holds in every run is asserted.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "ByteArrays/CMultiFileArray.h"
#include "CFailingByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/ContainerCheck.h"
#include "qss/ContainerEditing.h"
#include "qss/CreateContainer.h"
#include "ContainerTesting.h"
#include "TemporaryFolder.h"

namespace qss {

namespace {

using Operation = CFailingByteArray::Operation;
using qss_testing::Bytes;
using qss_testing::ReadToEnd;

// More calls than any operation here makes: a sweep that gets this far does
// not end.
constexpr std::int64_t kMostCalls = 5000;

// One kind of failing call, armed for the n-th call of its operation.
struct Fault {
  const char* name;
  Operation counted;
  std::function<void(CFailingByteArray*, std::int64_t)> arm;
};

const std::vector<Fault>& Faults() {
  static const std::vector<Fault> faults = {
      {"write refused", Operation::kWrite,
       [](CFailingByteArray* a, std::int64_t n) { a->FailNth(Operation::kWrite, n); }},
      // A device that is gone: nothing written from then on, so no later
      // commit (a last release's included) finishes the job silently.
      {"writes refused from then on", Operation::kWrite,
       [](CFailingByteArray* a, std::int64_t n) { a->FailFrom(Operation::kWrite, n); }},
      {"resize refused", Operation::kSetSize,
       [](CFailingByteArray* a, std::int64_t n) { a->FailNth(Operation::kSetSize, n); }},
      {"flush refused", Operation::kFlush,
       [](CFailingByteArray* a, std::int64_t n) { a->FailNth(Operation::kFlush, n); }},
      {"write cut short, success", Operation::kWrite, [](CFailingByteArray* a, std::int64_t n) { a->CutShortNth(n); }},
      {"write cut short, failure", Operation::kWrite,
       [](CFailingByteArray* a, std::int64_t n) { a->CutShortNth(n, CFailingByteArray::kDefaultFailure); }},
  };
  return faults;
}

// An entry as a reader finds it: its flags and, for a stream, its bytes and
// how the reading ended.
struct Item {
  std::uint32_t flags = 0;
  std::vector<std::uint8_t> bytes;
  std::int32_t read = kQssOk;
  bool operator==(const Item&) const = default;
};
// Every entry of a container by path ('/' between names).
using Tree = std::map<std::u16string, Item>;

Item StreamItem(std::vector<std::uint8_t> bytes, bool compressed) {
  return {kEntryStream | (compressed ? kEntryCompressed : 0u), std::move(bytes), kQssOk};
}
Item StorageItem(bool nested) { return {kEntryStorage | (nested ? kEntryStream : 0u), {}, kQssOk}; }

bool IsStream(const Item& item) { return (item.flags & kEntryKindMask) == kEntryStream; }

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// Everything below storage: each entry, each child storage and nested
// container walked, each stream read to its end. A failure is kept with its
// entry and reading goes on; the first one is returned.
QssResult Capture(CStorage* storage, const std::u16string& prefix, Tree* tree) {
  QssResult first = kQssOk;
  const auto keep = [&first](QssResult result) {
    if (QssSucceeded(first) && QssFailed(result)) first = result;
    return result;
  };
  for (std::int32_t i = 0; i < storage->EntryCount(); ++i) {
    const CStorageEntry* entry = storage->EntryAt(i);
    const std::u16string name = entry->Name();
    std::u16string path = prefix + name;
    if (tree->count(path) != 0) path += u" (again)";
    Item& item = (*tree)[path];
    item.flags = entry->Flags();
    if ((item.flags & kEntryStorage) != 0) {
      CQssRef<CStorage> child;
      item.read = keep(storage->OpenStorage(name.c_str(), 0, child.Receive()));
      if (QssSucceeded(item.read)) item.read = keep(Capture(child.get(), path + u"/", tree));
    } else if ((item.flags & kEntryStream) != 0) {
      CQssRef<CStream> stream;
      item.read = keep(storage->OpenStream(name.c_str(), 0, stream.Receive()));
      if (QssSucceeded(item.read)) item.read = keep(ReadToEnd(stream.get(), &item.bytes, 700));
    }
  }
  return first;
}

// What is left on healthy storage after a run.
struct Found {
  bool opened = false;
  // The container's own status when it did not open, else the first failure
  // met reading it.
  QssResult status = kQssOk;
  Tree tree;
  std::vector<std::uint8_t> image;
};

// Reads what array holds and opens a copy of it, so that the reader's own
// last release writes nothing back into array.
Found Inspect(CPhysicalByteArray* array) {
  Found found;
  std::int64_t size = 0;
  if (QssSucceeded(array->GetSize(&size)) && size > 0) {
    found.image.resize(static_cast<std::size_t>(size));
    std::uint32_t got = 0;
    EXPECT_EQ(array->ReadAt(0, found.image.data(), static_cast<std::uint32_t>(size), &got), kQssOk);
    found.image.resize(got);
  }
  CQssRef<CMemoryByteArray> copy(new CMemoryByteArray(found.image));
  CQssRef<CRootStorage> root(new CRootStorage(copy.get()));
  if (!root->valid()) {
    found.status = root->status();
    EXPECT_TRUE(QssFailed(found.status)) << "a container that did not open reports success";
    return found;
  }
  found.opened = true;
  found.status = Capture(root.get(), u"", &found.tree);
  return found;
}

// The differences between what was meant and what was found, "" for none.
std::string Differences(const Tree& intended, const Tree& found) {
  std::string text;
  for (const auto& [path, item] : intended) {
    const auto at = found.find(path);
    if (at == found.end()) {
      text += " missing " + Narrow(path) + ";";
    } else if (at->second.flags != item.flags) {
      text += " flags of " + Narrow(path) + " " + std::to_string(at->second.flags) + ";";
    } else if (at->second.read != kQssOk) {
      text += " reading " + Narrow(path) + " failed;";
    } else if (at->second.bytes != item.bytes) {
      text += " other bytes in " + Narrow(path) + " (" + std::to_string(at->second.bytes.size()) + " of " +
              std::to_string(item.bytes.size()) + ");";
    }
  }
  for (const auto& [path, item] : found) {
    if (intended.count(path) == 0) text += " unexpected " + Narrow(path) + ";";
  }
  return text;
}

// The first differing byte, "" for equal images.
std::string ImageDifference(const std::vector<std::uint8_t>& healthy, const std::vector<std::uint8_t>& image) {
  if (image == healthy) return "";
  const auto mismatch = std::mismatch(healthy.begin(), healthy.end(), image.begin(), image.end());
  return "the bytes differ from a run without failures from offset " +
         std::to_string(mismatch.first - healthy.begin()) + " (sizes " + std::to_string(healthy.size()) + " and " +
         std::to_string(image.size()) + ")";
}

// The writer's side of an operation. Like a packer it stops at the first
// step that reports a failure, and it takes a write that stored fewer bytes
// than given for one: the stream says how many it stored, and whatever is
// written next would land at the wrong place.
class Writer {
 public:
  // beneath: the healthy storage under the failing array, looked at when the
  // root's commit succeeds (null: not looked at).
  explicit Writer(CPhysicalByteArray* beneath = nullptr) : beneath_(beneath) {}

  // False once any step failed: the caller stops and lets go of everything.
  bool Step(QssResult result) {
    if (QssFailed(result)) failed_ = true;
    return !failed_;
  }
  bool Write(CStream* stream, const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
    std::uint32_t written = 0;
    const QssResult result = stream->Write(bytes.data() + from, static_cast<std::int32_t>(to - from), &written);
    if (QssSucceeded(result) && written != to - from) {
      ++shortWrites_;
      failed_ = true;
    }
    return Step(result);
  }
  // The root's commit. When it succeeds, what the storage holds at that
  // moment is kept: a commit that reports success has stored everything,
  // whatever the last releases do afterwards.
  bool CommitRoot(CRootStorage* root) {
    if (!Step(root->Commit())) return false;
    if (beneath_ != nullptr) {
      committed_ = true;
      atCommit_ = Inspect(beneath_);
    }
    return true;
  }
  void Refused() { failed_ = true; }
  bool failed() const { return failed_; }
  int shortWrites() const { return shortWrites_; }
  bool committed() const { return committed_; }
  const Found& atCommit() const { return atCommit_; }

 private:
  CPhysicalByteArray* beneath_;
  bool failed_ = false;
  int shortWrites_ = 0;
  bool committed_ = false;
  Found atCommit_;
};

// A plain stream as a packer writes it: the length first, so that its blocks
// are allocated in one step, then the bytes in pieces that straddle blocks.
// With keep, the writer holds on to the stream.
bool PutPlain(CStorage* storage, const char16_t* name, const std::vector<std::uint8_t>& bytes, Writer* writer,
              CQssRef<CStream>* keep = nullptr) {
  constexpr std::size_t kPiece = 1000;
  CQssRef<CStream> stream;
  if (!writer->Step(storage->CreateStream(name, false, stream.Receive()))) return false;
  if (!bytes.empty() && !writer->Step(stream->SetSize(static_cast<std::int64_t>(bytes.size())))) return false;
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    if (!writer->Write(stream.get(), bytes, at, std::min(at + kPiece, bytes.size()))) return false;
  }
  if (keep != nullptr) *keep = stream;
  return true;
}

// A compressed stream gets its content in one Write.
bool PutCompressed(CStorage* storage, const char16_t* name, const std::vector<std::uint8_t>& bytes, Writer* writer,
                   CQssRef<CStream>* keep = nullptr) {
  CQssRef<CStream> stream;
  if (!writer->Step(storage->CreateStream(name, true, stream.Receive()))) return false;
  if (!bytes.empty() && !writer->Write(stream.get(), bytes, 0, bytes.size())) return false;
  if (keep != nullptr) *keep = stream;
  return true;
}

// A new root storage on array, or a refusal for the writer.
CQssRef<CRootStorage> OpenRoot(CPhysicalByteArray* array, Writer* writer) {
  CQssRef<CRootStorage> root(new CRootStorage(array));
  if (root->valid()) return root;
  EXPECT_TRUE(QssFailed(root->status())) << "a container that did not open reports success";
  writer->Refused();
  return {};
}

// ---------------------------------------------------------------------------
// One run of an operation under one planned failure, and the sweep over N.

struct Outcome {
  bool met = false;       // the planned call was made
  bool reported = false;  // some step reported a failure
  int shortWrites = 0;    // stream writes that succeeded with fewer bytes
  bool committed = false;  // the root's commit succeeded
  Found atCommit;          // what the storage held right then
  Found found;             // what it holds once everything was let go
};

// One run of an operation on a fresh setup; fault null: a run without
// failures.
using Runner = std::function<Outcome(const Fault* fault, std::int64_t n)>;

// Whether every byte of bytes is the one before or after (either may be
// absent) holds at its position.
bool IsBlend(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>* before,
             const std::vector<std::uint8_t>* after) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool asBefore = before != nullptr && i < before->size() && (*before)[i] == bytes[i];
    const bool asAfter = after != nullptr && i < after->size() && (*after)[i] == bytes[i];
    if (!asBefore && !asAfter) return false;
  }
  return true;
}

// What the runs that reported a failure left, by kind of stream.
struct Survey {
  int runs = 0;
  int opened = 0;
  // Streams the operation changed or added. Read as neither state, they are
  // empty, a blend (each byte as before or as after at its position), or
  // hold foreign bytes that were never written there.
  int asBefore = 0, asAfter = 0, failed = 0, neitherEmpty = 0, neitherBlend = 0, neitherForeign = 0;
  int untouchedRight = 0, untouchedFailed = 0, untouchedWrong = 0;
  int stray = 0;  // entries that are in neither state

  void Add(const Found& found, const Tree& before, const Tree& after) {
    ++runs;
    if (!found.opened) return;
    ++opened;
    std::map<std::u16string, int> seen;
    for (const Tree* tree : {&before, &after}) {
      for (const auto& [path, item] : *tree) {
        if (!IsStream(item) || seen[path]++ != 0) continue;
        const auto a = before.find(path);
        const auto b = after.find(path);
        const bool untouched = a != before.end() && b != after.end() && a->second == b->second;
        const auto at = found.tree.find(path);
        if (at == found.tree.end() || at->second.read != kQssOk) {
          if (at == found.tree.end() && a == before.end()) {
            ++asBefore;  // a new stream that is not there yet
          } else {
            ++(untouched ? untouchedFailed : failed);
          }
        } else if (untouched) {
          ++(at->second.bytes == a->second.bytes ? untouchedRight : untouchedWrong);
        } else if (a != before.end() && at->second.bytes == a->second.bytes) {
          ++asBefore;
        } else if (b != after.end() && at->second.bytes == b->second.bytes) {
          ++asAfter;
        } else if (at->second.bytes.empty()) {
          ++neitherEmpty;
        } else if (IsBlend(at->second.bytes, a == before.end() ? nullptr : &a->second.bytes,
                           b == after.end() ? nullptr : &b->second.bytes)) {
          ++neitherBlend;
        } else {
          ++neitherForeign;
        }
      }
    }
    for (const auto& [path, item] : found.tree) {
      if (before.count(path) == 0 && after.count(path) == 0) ++stray;
    }
  }

  std::string Line(const std::string& what) const {
    return what + ": " + std::to_string(runs) + " runs reported a failure; container opened " + std::to_string(opened) +
           "; changed streams read as before " + std::to_string(asBefore) + ", as after " + std::to_string(asAfter) +
           ", failed " + std::to_string(failed) + ", neither: empty " + std::to_string(neitherEmpty) + ", blend " +
           std::to_string(neitherBlend) + ", FOREIGN " + std::to_string(neitherForeign) + "; untouched streams right " +
           std::to_string(untouchedRight) + ", failed " + std::to_string(untouchedFailed) + ", WRONG " +
           std::to_string(untouchedWrong) + "; stray entries " + std::to_string(stray);
  }
};

// Runs operation for n = 1, 2, ... with fault's n-th call failing, until a
// run does not reach its n-th call. A run whose steps all succeeded must
// leave intended, in the bytes the healthy run left. Runs that reported a
// failure go to onReported. Returns the number of calls swept.
std::int64_t Sweep(const Fault& fault, const Runner& operation, const Outcome& healthy, const Tree& intended,
                   const std::function<void(const Outcome&)>& onReported, int* shortWrites) {
  for (std::int64_t n = 1;; ++n) {
    SCOPED_TRACE(std::string(fault.name) + " at call " + std::to_string(n));
    const Outcome run = operation(&fault, n);
    *shortWrites += run.shortWrites;
    if (run.committed) {
      EXPECT_EQ(Differences(intended, run.atCommit.tree), "") << "right after the commit";
      EXPECT_EQ(ImageDifference(healthy.atCommit.image, run.atCommit.image), "") << "right after the commit";
    }
    if (!run.met) {
      // The operation ended before its n-th call: it ran without failures.
      EXPECT_FALSE(run.reported);
      EXPECT_EQ(Differences(intended, run.found.tree), "");
      EXPECT_EQ(ImageDifference(healthy.found.image, run.found.image), "");
      return n - 1;
    }
    if (run.reported) {
      onReported(run);
    } else {
      EXPECT_EQ(run.found.status, kQssOk);
      EXPECT_EQ(Differences(intended, run.found.tree), "");
      EXPECT_EQ(ImageDifference(healthy.found.image, run.found.image), "");
    }
    if (n >= kMostCalls) {
      ADD_FAILURE() << "the sweep does not end";
      return n;
    }
  }
}

// Every kind of fault swept over operation. The survey, when given, gets the
// runs that reported a failure (with before and after as the two states).
// resizes: whether the operation changes the byte array's size (an edit
// that finds room inside the container does not).
void SweepAll(const std::string& what, const Runner& operation, const Tree& intended, const Tree* before = nullptr,
              bool resizes = true) {
  const auto start = std::chrono::steady_clock::now();
  const Outcome healthy = operation(nullptr, 0);
  ASSERT_FALSE(healthy.reported);
  ASSERT_TRUE(healthy.committed);
  ASSERT_EQ(healthy.found.status, kQssOk);
  ASSERT_EQ(Differences(intended, healthy.found.tree), "");
  int shortWrites = 0;
  for (const Fault& fault : Faults()) {
    Survey survey;
    const std::int64_t calls = Sweep(
        fault, operation, healthy, intended,
        [&](const Outcome& run) {
          if (before != nullptr) survey.Add(run.found, *before, intended);
        },
        &shortWrites);
    // Every operation here writes, resizes (allocating blocks) and flushes.
    if (resizes || fault.counted != Operation::kSetSize) {
      EXPECT_GT(calls, 0) << fault.name;
    }
    if (before != nullptr) {
      std::printf("[ survey   ] %s\n", survey.Line(what + ", " + fault.name).c_str());
      // Whatever a failed commit did, streams it did not change keep their
      // blocks, links and records: where the container opens they read right
      // or not at all.
      EXPECT_EQ(survey.untouchedWrong, 0) << fault.name;
    }
  }
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ sweep    ] %s: %.2f s; %d stream writes succeeded with fewer bytes than given\n", what.c_str(),
              elapsed, shortWrites);
}

// ---------------------------------------------------------------------------
// a. A packer's run.

// The tree a packer writes: plain streams over several blocks and within one,
// an empty one, compressed streams (one stored plain, as it would not
// shrink), a storage with streams, a nested container with a plain and a
// compressed stream.
Tree PackedTree() {
  Tree tree;
  tree[u"a"] = StreamItem(Bytes(3000, 1, false), false);
  tree[u"b"] = StreamItem(Bytes(700, 2, false), false);
  tree[u"c"] = StreamItem(Bytes(6000, 3, true), true);
  tree[u"e"] = StreamItem({}, false);
  tree[u"r"] = StreamItem(Bytes(900, 4, false), true);
  tree[u"d"] = StorageItem(false);
  tree[u"d/x"] = StreamItem(Bytes(1500, 5, false), false);
  tree[u"d/z"] = StreamItem(Bytes(2000, 6, true), true);
  tree[u"n"] = StorageItem(true);
  tree[u"n/p"] = StreamItem(Bytes(1200, 7, false), false);
  tree[u"n/c"] = StreamItem(Bytes(3000, 8, true), true);
  return tree;
}

// Builds tree in a new container on array, commits each storage before it is
// let go, commits the root, lets go of it and flushes the array.
void Pack(CPhysicalByteArray* array, const Tree& tree, Writer* writer) {
  const auto bytes = [&tree](const char16_t* path) -> const std::vector<std::uint8_t>& { return tree.at(path).bytes; };
  if (!writer->Step(CreateContainer(array, 4, 256))) return;
  {
    CQssRef<CRootStorage> root = OpenRoot(array, writer);
    if (!root) return;
    if (!PutPlain(root.get(), u"a", bytes(u"a"), writer) || !PutPlain(root.get(), u"b", bytes(u"b"), writer) ||
        !PutCompressed(root.get(), u"c", bytes(u"c"), writer) || !PutPlain(root.get(), u"e", bytes(u"e"), writer) ||
        !PutCompressed(root.get(), u"r", bytes(u"r"), writer)) {
      return;
    }
    {
      CQssRef<CStorage> dir;
      if (!writer->Step(root->CreateStorage(u"d", dir.Receive()))) return;
      if (!PutPlain(dir.get(), u"x", bytes(u"d/x"), writer) || !PutCompressed(dir.get(), u"z", bytes(u"d/z"), writer))
        return;
      if (!writer->Step(dir->Commit())) return;
    }
    {
      CQssRef<CRootStorage> nested;
      if (!writer->Step(root->CreateNestedContainer(u"n", 2, 128, nested.Receive()))) return;
      if (!PutPlain(nested.get(), u"p", bytes(u"n/p"), writer) ||
          !PutCompressed(nested.get(), u"c", bytes(u"n/c"), writer))
        return;
      if (!writer->Step(nested->Commit())) return;
    }
    if (!writer->CommitRoot(root.get())) return;
  }
  writer->Step(array->Flush());
}

// The outcome of a run on failing once the writer let go of everything.
Outcome Settle(CFailingByteArray* failing, const Fault* fault, std::int64_t n, const Writer& writer) {
  Outcome run;
  run.met = fault != nullptr && failing->Calls(fault->counted) >= n;
  if (run.met) {
    EXPECT_GT(failing->Failures(), 0);
  }
  run.reported = writer.failed();
  run.shortWrites = writer.shortWrites();
  run.committed = writer.committed();
  run.atCommit = writer.atCommit();
  return run;
}

Outcome PackIntoMemory(const Tree& tree, const Fault* fault, std::int64_t n) {
  CQssRef<CMemoryByteArray> healthy(new CMemoryByteArray());
  CQssRef<CFailingByteArray> failing(new CFailingByteArray(healthy.get()));
  if (fault != nullptr) fault->arm(failing.get(), n);
  Writer writer(healthy.get());
  Pack(failing.get(), tree, &writer);
  Outcome run = Settle(failing.get(), fault, n, writer);
  run.found = Inspect(healthy.get());
  return run;
}

Outcome PackIntoSegmentFiles(const Tree& tree, const Fault* fault, std::int64_t n) {
  constexpr std::uint32_t kReadWrite = native_file::kGenericRead | native_file::kGenericWrite;
  // Far below the container's size, and not a multiple of the block size:
  // several segment files, and blocks and transfers split across them.
  constexpr std::int64_t kSegmentSize = 2000;
  TemporaryFolder folder;
  const auto base = folder / "pack.bin";
  Outcome run;
  {
    CQssRef<CMultiFileArray> files(
        new CMultiFileArray(base, kReadWrite, native_file::kShareRead, native_file::kAttributeNormal, kSegmentSize));
    EXPECT_EQ(files->Create(), kQssOk);
    CQssRef<CFailingByteArray> failing(new CFailingByteArray(files.get()));
    if (fault != nullptr) fault->arm(failing.get(), n);
    Writer writer(files.get());
    Pack(failing.get(), tree, &writer);
    run = Settle(failing.get(), fault, n, writer);
    if (!run.reported) {
      EXPECT_GT(files->segmentCount(), 5);
    }
  }
  // What the files hold, read by a new array as a reader would.
  CQssRef<CMultiFileArray> reader(new CMultiFileArray(base, native_file::kGenericRead, native_file::kShareRead,
                                                      native_file::kAttributeNormal, kSegmentSize));
  if (const QssResult opened = reader->Open(); QssFailed(opened)) {
    run.found.status = opened;
    return run;
  }
  run.found = Inspect(reader.get());
  return run;
}

TEST(WriteFailureSweepTest, PackIntoMemory) {
  const Tree tree = PackedTree();
  SweepAll(
      "pack into memory", [&](const Fault* fault, std::int64_t n) { return PackIntoMemory(tree, fault, n); }, tree);
}

TEST(WriteFailureSweepTest, PackIntoSegmentFiles) {
  const Tree tree = PackedTree();
  SweepAll(
      "pack into segment files",
      [&](const Fault* fault, std::int64_t n) { return PackIntoSegmentFiles(tree, fault, n); }, tree);
}

// ---------------------------------------------------------------------------
// b. Streams of a committed container rewritten, then a commit.

// State A, committed with every step succeeding.
Tree BeforeRewrite() {
  Tree tree;
  tree[u"over"] = StreamItem(Bytes(5000, 21, false), false);
  tree[u"grow"] = StreamItem(Bytes(1500, 22, false), false);
  tree[u"shrink"] = StreamItem(Bytes(4000, 23, false), false);
  tree[u"keep"] = StreamItem(Bytes(2000, 24, false), false);
  tree[u"packed"] = StreamItem(Bytes(5000, 25, true), true);
  tree[u"d"] = StorageItem(false);
  tree[u"d/x"] = StreamItem(Bytes(1200, 26, false), false);
  return tree;
}

constexpr std::size_t kOverwriteAt = 1000;
constexpr std::size_t kOverwriteLength = 2000;
constexpr std::size_t kShrunkLength = 1000;

// State B: part of "over" overwritten, "grow" extended, "shrink" cut, a new
// stream and a new storage with a stream.
Tree AfterRewrite() {
  Tree tree = BeforeRewrite();
  const auto patch = Bytes(kOverwriteLength, 31, false);
  std::copy(patch.begin(), patch.end(), tree[u"over"].bytes.begin() + kOverwriteAt);
  const auto more = Bytes(2500, 32, false);
  tree[u"grow"].bytes.insert(tree[u"grow"].bytes.end(), more.begin(), more.end());
  tree[u"shrink"].bytes.resize(kShrunkLength);
  tree[u"fresh"] = StreamItem(Bytes(3000, 33, false), false);
  tree[u"nd"] = StorageItem(false);
  tree[u"nd/y"] = StreamItem(Bytes(800, 34, false), false);
  return tree;
}

// Builds and commits A with every step succeeding, keeping root and the
// streams it will change (opened by name they would be read-only), then with
// the failure armed changes them into B and commits.
Outcome RewriteAndCommit(const Tree& before, const Tree& after, const Fault* fault, std::int64_t n) {
  CQssRef<CMemoryByteArray> healthy(new CMemoryByteArray());
  CQssRef<CFailingByteArray> failing(new CFailingByteArray(healthy.get()));
  Outcome run;
  {
    Writer building;
    EXPECT_EQ(CreateContainer(failing.get(), 4, 256), kQssOk);
    CQssRef<CRootStorage> root = OpenRoot(failing.get(), &building);
    if (!root) return run;
    CQssRef<CStream> over, grow, shrink;
    PutPlain(root.get(), u"over", before.at(u"over").bytes, &building, &over);
    PutPlain(root.get(), u"grow", before.at(u"grow").bytes, &building, &grow);
    PutPlain(root.get(), u"shrink", before.at(u"shrink").bytes, &building, &shrink);
    PutPlain(root.get(), u"keep", before.at(u"keep").bytes, &building);
    PutCompressed(root.get(), u"packed", before.at(u"packed").bytes, &building);
    {
      CQssRef<CStorage> dir;
      if (building.Step(root->CreateStorage(u"d", dir.Receive())))
        PutPlain(dir.get(), u"x", before.at(u"d/x").bytes, &building);
    }
    building.Step(root->Commit());
    EXPECT_FALSE(building.failed());
    if (building.failed()) return run;

    if (fault != nullptr) fault->arm(failing.get(), n);
    Writer writer(healthy.get());
    const auto rewrite = [&] {
      const auto& overBytes = after.at(u"over").bytes;
      const auto& growBytes = after.at(u"grow").bytes;
      if (!writer.Step(over->Seek(kOverwriteAt, kSeekBegin, nullptr)) ||
          !writer.Write(over.get(), overBytes, kOverwriteAt, kOverwriteAt + kOverwriteLength))
        return false;
      if (!writer.Step(grow->Seek(0, kSeekEnd, nullptr)) ||
          !writer.Write(grow.get(), growBytes, before.at(u"grow").bytes.size(), growBytes.size()))
        return false;
      if (!writer.Step(shrink->SetSize(kShrunkLength))) return false;
      over.Reset();
      grow.Reset();
      shrink.Reset();
      if (!PutPlain(root.get(), u"fresh", after.at(u"fresh").bytes, &writer)) return false;
      CQssRef<CStorage> dir;
      if (!writer.Step(root->CreateStorage(u"nd", dir.Receive()))) return false;
      if (!PutPlain(dir.get(), u"y", after.at(u"nd/y").bytes, &writer)) return false;
      return writer.Step(dir->Commit());
    };
    if (rewrite()) writer.CommitRoot(root.get());
    over.Reset();
    grow.Reset();
    shrink.Reset();
    root.Reset();
    if (!writer.failed()) writer.Step(failing->Flush());
    run = Settle(failing.get(), fault, n, writer);
  }
  run.found = Inspect(healthy.get());
  return run;
}

TEST(WriteFailureSweepTest, RewriteAndCommit) {
  const Tree before = BeforeRewrite();
  const Tree after = AfterRewrite();
  SweepAll(
      "rewrite and commit",
      [&](const Fault* fault, std::int64_t n) { return RewriteAndCommit(before, after, fault, n); }, after, &before);
}

// ---------------------------------------------------------------------------
// c. A compressed stream written again at an offset: the whole content is
// recompressed and stored anew.

constexpr std::size_t kPatchAt = 3000;

// Writes and commits A with every step succeeding, keeping the compressed
// stream; then with the failure armed writes patch into it and commits.
Outcome CompressedRewriteAndCommit(const Tree& before, const std::vector<std::uint8_t>& patch, const Fault* fault,
                                   std::int64_t n) {
  CQssRef<CMemoryByteArray> healthy(new CMemoryByteArray());
  CQssRef<CFailingByteArray> failing(new CFailingByteArray(healthy.get()));
  Outcome run;
  {
    Writer building;
    EXPECT_EQ(CreateContainer(failing.get(), 4, 256), kQssOk);
    CQssRef<CRootStorage> root = OpenRoot(failing.get(), &building);
    if (!root) return run;
    CQssRef<CStream> packed;
    PutCompressed(root.get(), u"z", before.at(u"z").bytes, &building, &packed);
    PutPlain(root.get(), u"p", before.at(u"p").bytes, &building);
    building.Step(root->Commit());
    EXPECT_FALSE(building.failed());
    if (building.failed()) return run;

    if (fault != nullptr) fault->arm(failing.get(), n);
    Writer writer(healthy.get());
    if (writer.Step(packed->Seek(kPatchAt, kSeekBegin, nullptr)) &&
        writer.Write(packed.get(), patch, 0, patch.size())) {
      packed.Reset();
      writer.CommitRoot(root.get());
    }
    packed.Reset();
    root.Reset();
    if (!writer.failed()) writer.Step(failing->Flush());
    run = Settle(failing.get(), fault, n, writer);
  }
  run.found = Inspect(healthy.get());
  return run;
}

TEST(WriteFailureSweepTest, CompressedRewriteAndCommit) {
  Tree before;
  before[u"z"] = StreamItem(Bytes(8000, 41, true), true);
  before[u"p"] = StreamItem(Bytes(1500, 42, false), false);
  // Content that does not shrink: the new image outgrows the old one's blocks.
  const auto patch = Bytes(1500, 43, false);
  Tree after = before;
  std::copy(patch.begin(), patch.end(), after[u"z"].bytes.begin() + kPatchAt);
  SweepAll(
      "compressed rewrite and commit",
      [&](const Fault* fault, std::int64_t n) { return CompressedRewriteAndCommit(before, patch, fault, n); }, after,
      &before);
}

// ---------------------------------------------------------------------------
// d. A committed container edited in place: a stream replaced (plain and
// compressed), streams added under storages that do not exist yet, a stream
// and a storage with everything under it removed. Whatever fails, the
// container reads exactly as before or as after the edit, and its check
// finds nothing but lost blocks.

// State A: committed, with room in the table (a large stream emptied again
// before the commit, so that edits need no table growth).
Tree BeforeEdit() {
  Tree tree;
  tree[u"a"] = StreamItem(Bytes(3000, 51, false), false);
  tree[u"b"] = StreamItem(Bytes(700, 52, false), false);
  tree[u"c"] = StreamItem(Bytes(4000, 53, true), true);
  tree[u"pad"] = StreamItem({}, false);
  tree[u"d"] = StorageItem(false);
  tree[u"d/x"] = StreamItem(Bytes(1500, 54, false), false);
  tree[u"d/z"] = StreamItem(Bytes(2000, 55, true), true);
  return tree;
}

void BuildBeforeEdit(CPhysicalByteArray* array, const Tree& tree) {
  Writer building;
  ASSERT_EQ(CreateContainer(array, 4, 256), kQssOk);
  CQssRef<CRootStorage> root = OpenRoot(array, &building);
  ASSERT_TRUE(root);
  const auto bytes = [&tree](const char16_t* path) -> const std::vector<std::uint8_t>& { return tree.at(path).bytes; };
  {
    CQssRef<CStream> pad;
    PutPlain(root.get(), u"pad", Bytes(60000, 50, false), &building, &pad);
    if (pad) building.Step(pad->SetSize(0));
  }
  PutPlain(root.get(), u"a", bytes(u"a"), &building);
  PutPlain(root.get(), u"b", bytes(u"b"), &building);
  PutCompressed(root.get(), u"c", bytes(u"c"), &building);
  {
    CQssRef<CStorage> dir;
    if (building.Step(root->CreateStorage(u"d", dir.Receive()))) {
      PutPlain(dir.get(), u"x", bytes(u"d/x"), &building);
      PutCompressed(dir.get(), u"z", bytes(u"d/z"), &building);
      building.Step(dir->Commit());
    }
  }
  building.Step(root->Commit());
  ASSERT_FALSE(building.failed());
}

// An edit of a reopened root; its result.
using Edit = std::function<QssResult(CRootStorage* root)>;

// The filler of a put: the length first, then the bytes in pieces for a
// plain stream, one Write for a compressed one.
StreamFiller Content(const std::vector<std::uint8_t>& bytes, bool compressed) {
  return [&bytes, compressed](CStream* stream) -> QssResult {
    const std::size_t piece = compressed ? bytes.size() : 1000;
    if (!compressed && !bytes.empty()) {
      if (QssResult result = stream->SetSize(static_cast<std::int64_t>(bytes.size())); QssFailed(result))
        return result;
    }
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const auto length = static_cast<std::int32_t>(std::min(piece, bytes.size() - at));
      std::uint32_t written = 0;
      const QssResult result = stream->Write(bytes.data() + at, length, &written);
      if (QssFailed(result)) return result;
      if (written != static_cast<std::uint32_t>(length)) return kQssWriteFault;
    }
    return kQssOk;
  };
}

// The check's lines other than lost blocks, "" for none.
std::string DamageFound(const std::vector<std::uint8_t>& image) {
  CQssRef<CMemoryByteArray> copy(new CMemoryByteArray(image));
  std::vector<std::string> problems;
  static_cast<void>(CheckContainer(copy.get(), &problems));
  std::string damage;
  for (const std::string& problem : problems) {
    if (problem.rfind("lost blocks: ", 0) != 0) damage += problem + "; ";
  }
  return damage;
}

Outcome EditAndCommit(const Tree& before, const Edit& edit, const Fault* fault, std::int64_t n) {
  CQssRef<CMemoryByteArray> healthy(new CMemoryByteArray());
  CQssRef<CFailingByteArray> failing(new CFailingByteArray(healthy.get()));
  BuildBeforeEdit(failing.get(), before);
  Outcome run;
  {
    if (fault != nullptr) fault->arm(failing.get(), n);
    Writer writer(healthy.get());
    CQssRef<CRootStorage> root = OpenRoot(failing.get(), &writer);
    if (root && writer.Step(edit(root.get()))) writer.CommitRoot(root.get());
    root.Reset();
    if (!writer.failed()) writer.Step(failing->Flush());
    run = Settle(failing.get(), fault, n, writer);
  }
  run.found = Inspect(healthy.get());
  return run;
}

// Every run: the container opens and reads as before or as after, and its
// check finds at most lost blocks.
void SweepEdit(const std::string& what, const Edit& edit, const Tree& after) {
  const Tree before = BeforeEdit();
  SweepAll(
      what,
      [&](const Fault* fault, std::int64_t n) {
        Outcome run = EditAndCommit(before, edit, fault, n);
        const std::string where = fault == nullptr ? "without failures" : std::string(fault->name) + " at " + std::to_string(n);
        EXPECT_TRUE(run.found.opened) << where;
        EXPECT_EQ(run.found.status, kQssOk) << where;
        const std::string asBefore = Differences(before, run.found.tree);
        const std::string asAfter = Differences(after, run.found.tree);
        EXPECT_TRUE(asBefore.empty() || asAfter.empty()) << where << ": not as before:" << asBefore
                                                         << " not as after:" << asAfter;
        EXPECT_EQ(DamageFound(run.found.image), "") << where;
        return run;
      },
      after, nullptr, false);
}

TEST(WriteFailureSweepTest, EditReplacesStreams) {
  Tree after = BeforeEdit();
  after[u"a"] = StreamItem(Bytes(5000, 61, false), false);
  after[u"d/z"] = StreamItem(Bytes(2500, 62, true), true);
  SweepEdit("replace a plain stream", [&](CRootStorage* root) {
    return PutStream(root, {u"a"}, false, Content(after.at(u"a").bytes, false));
  }, [&] { Tree only = BeforeEdit(); only[u"a"] = after.at(u"a"); return only; }());
  SweepEdit("replace a compressed stream in a storage", [&](CRootStorage* root) {
    return PutStream(root, {u"d", u"z"}, true, Content(after.at(u"d/z").bytes, true));
  }, [&] { Tree only = BeforeEdit(); only[u"d/z"] = after.at(u"d/z"); return only; }());
}

TEST(WriteFailureSweepTest, EditAddsStreamsAndStorages) {
  Tree after = BeforeEdit();
  after[u"ab"] = StreamItem(Bytes(1200, 71, false), false);
  SweepEdit("add a stream", [&](CRootStorage* root) {
    return PutStream(root, {u"ab"}, false, Content(after.at(u"ab").bytes, false));
  }, after);
  Tree deeper = BeforeEdit();
  deeper[u"d/n"] = StorageItem(false);
  deeper[u"d/n/m"] = StorageItem(false);
  deeper[u"d/n/m/s"] = StreamItem(Bytes(3000, 72, true), true);
  SweepEdit("add a compressed stream under new storages", [&](CRootStorage* root) {
    return PutStream(root, {u"d", u"n", u"m", u"s"}, true, Content(deeper.at(u"d/n/m/s").bytes, true));
  }, deeper);
  Tree made = BeforeEdit();
  made[u"e"] = StorageItem(false);
  SweepEdit("make a storage", [&](CRootStorage* root) { return MakeStorage(root, {u"e"}); }, made);
}

TEST(WriteFailureSweepTest, EditRemovesEntries) {
  Tree after = BeforeEdit();
  after.erase(u"b");
  SweepEdit("remove a stream", [&](CRootStorage* root) { return RemoveEntry(root, {u"b"}, false); }, after);
  Tree without = BeforeEdit();
  without.erase(u"d");
  without.erase(u"d/x");
  without.erase(u"d/z");
  SweepEdit("remove a storage and everything in it", [&](CRootStorage* root) {
    return RemoveEntry(root, {u"d"}, true);
  }, without);
}

// The failing array itself: the sweeps above are only as good as its
// failures are what they claim.
TEST(WriteFailureSweepTest, FailingArrayCutsWritesShortAndFailsFlushes) {
  CQssRef<CMemoryByteArray> inner(new CMemoryByteArray(std::vector<std::uint8_t>(16, 0)));
  CQssRef<CFailingByteArray> failing(new CFailingByteArray(inner.get()));
  const std::vector<std::uint8_t> ones(9, 1);
  std::uint32_t written = 99;

  failing->CutShortNth(2);
  EXPECT_EQ(failing->WriteAt(0, ones.data(), 1, &written), kQssOk);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(failing->WriteAt(4, ones.data(), 9, &written), kQssOk);  // the second: 4 of 9 bytes
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(inner->Bytes(), (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(failing->WriteAt(15, ones.data(), 1, &written), kQssOk);  // only the second was planned
  EXPECT_EQ(written, 1u);

  failing->CutShortNth(1, CFailingByteArray::kDefaultFailure);
  EXPECT_EQ(failing->WriteAt(8, ones.data(), 5, &written), CFailingByteArray::kDefaultFailure);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(inner->Bytes()[9], 1);
  EXPECT_EQ(inner->Bytes()[10], 0);
  failing->CutShortNth(1);
  EXPECT_EQ(failing->WriteAt(0, ones.data(), 1, &written), kQssOk);  // half of one byte is none
  EXPECT_EQ(written, 0u);

  failing->FailNth(Operation::kFlush, 2);
  EXPECT_EQ(failing->Flush(), kQssOk);
  EXPECT_EQ(failing->Flush(), CFailingByteArray::kDefaultFailure);
  EXPECT_EQ(failing->Flush(), kQssOk);
  EXPECT_EQ(failing->Calls(Operation::kFlush), 3);
  EXPECT_EQ(failing->Failures(), 4);
}

}  // namespace

}  // namespace qss

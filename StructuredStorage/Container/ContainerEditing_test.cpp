// Edits in place beyond what the failure sweep covers: where entries go and
// how they are found afterwards, the refusals, freed blocks reused, damaged
// chains freed once, and a change that would need the table to grow.

#include "qss/ContainerEditing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qss/CLockGuard.h"
#include "Container/CBlockAllocationTable.h"
#include "ContainerTesting.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CQssRef.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/ContainerCheck.h"
#include "qss/ContainerInfo.h"
#include "qss/CreateContainer.h"

namespace qss {
namespace {

using qss_testing::Bytes;
using qss_testing::ReadToEnd;

StreamFiller Content(const std::vector<std::uint8_t>& bytes) {
  return [&bytes](CStream* stream) -> QssResult {
    std::uint32_t written = 0;
    if (bytes.empty()) return kQssOk;
    const QssResult result = stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()), &written);
    return QssSucceeded(result) && written != bytes.size() ? kQssWriteFault : result;
  };
}

// A committed container in memory, reopened for each edit as a tool would.
class Container {
 public:
  // room: bytes of free blocks made before anything else (a stream of that
  // length written by a packer, then removed).
  explicit Container(std::int64_t room = 0) : array_(new CMemoryByteArray()) {
    CQssRef<CRootStorage> root;
    EXPECT_EQ(CRootStorage::Create(array_.get(), 4, 512, &root), kQssOk);
    if (room == 0 || !root) return;
    {
      CQssRef<CStream> pad;
      EXPECT_EQ(root->CreateStream(u"room", false, pad.Receive()), kQssOk);
      EXPECT_EQ(pad->SetSize(room), kQssOk);
    }
    EXPECT_EQ(root->Commit(), kQssOk);
    EXPECT_EQ(RemoveEntry(root.get(), {u"room"}, false), kQssOk);
  }
  CQssRef<CRootStorage> Open() {
    CQssRef<CRootStorage> root;
    EXPECT_EQ(CRootStorage::Open(array_.get(), &root), kQssOk);
    return root;
  }
  // Problems the checker finds other than lost blocks.
  std::vector<std::string> Damage() {
    std::vector<std::string> problems;
    static_cast<void>(CheckContainer(array_.get(), &problems));
    problems.erase(std::remove_if(problems.begin(), problems.end(),
                                  [](const std::string& line) { return line.rfind("lost blocks: ", 0) == 0; }),
                   problems.end());
    return problems;
  }
  std::int64_t Size() {
    std::int64_t size = 0;
    EXPECT_EQ(array_->GetSize(&size), kQssOk);
    return size;
  }
  CMemoryByteArray* array() const { return array_.get(); }

 private:
  CQssRef<CMemoryByteArray> array_;
};

std::vector<std::u16string> Names(CStorage* storage) {
  std::vector<std::u16string> names;
  for (std::int32_t i = 0; i < storage->EntryCount(); ++i) names.push_back(storage->EntryAt(i)->Name());
  return names;
}

std::vector<std::uint8_t> ReadStream(CStorage* storage, const char16_t* name) {
  CQssRef<CStream> stream;
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(storage->OpenStream(name, 0, stream.Receive()), kQssOk);
  if (stream) {
    EXPECT_EQ(ReadToEnd(stream.get(), &bytes), kQssOk);
  }
  return bytes;
}

std::u16string Numbered(int n) {
  std::u16string name = u"n";
  for (const char digit : std::to_string(1000 + n)) name += static_cast<char16_t>(digit);
  return name;
}

// Directories past the size where lookups go through the name index: new
// entries land at their sorted place, removed ones leave no gap, and every
// name is found at its new position, before and after reopening.
TEST(ContainerEditingTest, EntriesKeepNameOrderAndAreFoundAfterMoving) {
  Container container(1 << 20);
  const auto small = Bytes(10, 1, false);
  {
    CQssRef<CRootStorage> root = container.Open();
    for (int n = 0; n < 200; n += 2) {
      ASSERT_EQ(PutStream(root.get(), {u"big", Numbered(n)}, false, Content(small)), kQssOk) << n;
    }
    CQssRef<CStorage> big;
    ASSERT_EQ(root->OpenStorage(u"big", 0, big.Receive()), kQssOk);
    ASSERT_NE(big->FindFirstEntry(Numbered(150).c_str()), nullptr);  // the name index is built now
  }
  CQssRef<CRootStorage> root = container.Open();
  ASSERT_EQ(PutStream(root.get(), {u"big", Numbered(101)}, false, Content(small)), kQssOk);
  ASSERT_EQ(RemoveEntry(root.get(), {u"big", Numbered(50)}, false), kQssOk);
  ASSERT_EQ(MakeStorage(root.get(), {u"big", u"a"}), kQssOk);
  ASSERT_EQ(MakeStorage(root.get(), {u"Z", u"deep", u"er"}), kQssOk);
  const auto check = [&](CRootStorage* opened) {
    EXPECT_EQ(Names(opened), (std::vector<std::u16string>{u"Z", u"big"}));
    CQssRef<CStorage> big;
    ASSERT_EQ(opened->OpenStorage(u"big", 0, big.Receive()), kQssOk);
    std::vector<std::u16string> names = Names(big.get());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(names.size(), 101u);
    EXPECT_EQ(names.front(), u"a");
    EXPECT_EQ(big->FindFirstEntry(Numbered(50).c_str()), nullptr);
    for (const std::u16string& name : names) {
      ASSERT_NE(big->FindFirstEntry(name.c_str()), nullptr);
      EXPECT_EQ(big->FindFirstEntry(name.c_str())->Name(), name);
    }
    EXPECT_EQ(ReadStream(big.get(), Numbered(101).c_str()), small);
    EXPECT_EQ(ReadStream(big.get(), Numbered(198).c_str()), small);
  };
  check(root.get());
  root.Reset();
  check(container.Open().get());
  EXPECT_EQ(container.Damage(), std::vector<std::string>{});
}

// Each refusal changes nothing and says why.
TEST(ContainerEditingTest, RefusalsChangeNothing) {
  Container container;
  const auto bytes = Bytes(3000, 2, false);
  {
    CQssRef<CRootStorage> root = container.Open();
    ASSERT_EQ(PutStream(root.get(), {u"d", u"s"}, false, Content(bytes)), kQssOk);
    ASSERT_EQ(MakeStorage(root.get(), {u"empty"}), kQssOk);
    CQssRef<CRootStorage> nested;
    ASSERT_EQ(root->CreateNestedContainer(u"n", 4, 512, nested.Receive()), kQssOk);
    nested.Reset();
    ASSERT_EQ(root->Commit(), kQssOk);
  }
  CQssRef<CRootStorage> root = container.Open();
  std::size_t failedAt = 99;
  EXPECT_EQ(RemoveEntry(root.get(), {u"d"}, false, &failedAt), kQssNotEmpty);
  EXPECT_EQ(failedAt, 0u);
  EXPECT_EQ(RemoveEntry(root.get(), {u"n"}, false), kQssNotEmpty);
  EXPECT_EQ(RemoveEntry(root.get(), {u"d", u"none"}, false), kQssNotFound);
  EXPECT_EQ(PutStream(root.get(), {u"d"}, false, Content(bytes)), kQssInvalidRequest);
  EXPECT_EQ(PutStream(root.get(), {u"d", u"s", u"below"}, false, Content(bytes), &failedAt), kQssInvalidRequest);
  EXPECT_EQ(failedAt, 1u);
  EXPECT_EQ(PutStream(root.get(), {u"n", u"inside"}, false, Content(bytes)), kQssInvalidRequest);
  EXPECT_EQ(PutStream(root.get(), {std::u16string(32, u'x')}, false, Content(bytes)), kQssInvalidRequest);
  EXPECT_EQ(MakeStorage(root.get(), {u"d"}), kQssInvalidRequest);
  // A filler's failure is the change's.
  EXPECT_EQ(PutStream(root.get(), {u"d", u"s"}, false, [](CStream*) -> QssResult { return kQssWriteFault; }),
            kQssWriteFault);
  {
    CQssRef<CStorage> d;
    ASSERT_EQ(root->OpenStorage(u"d", 0, d.Receive()), kQssOk);
    CQssRef<CStream> open;
    ASSERT_EQ(d->OpenStream(u"s", 0, open.Receive()), kQssOk);
    EXPECT_EQ(RemoveEntry(root.get(), {u"d", u"s"}, false), kQssAlreadyOpen);
  }
  {
    CQssRef<CStorage> writable;
    EXPECT_EQ(root->OpenStorageForWriting(u"n", writable.Receive()), kQssInvalidRequest);
    ASSERT_EQ(root->OpenStorageForWriting(u"d", writable.Receive()), kQssOk);
    EXPECT_EQ(PutStream(root.get(), {u"d", u"t"}, false, Content(bytes)), kQssAlreadyOpen);
  }
  CQssRef<CStorage> d;
  ASSERT_EQ(root->OpenStorage(u"d", 0, d.Receive()), kQssOk);
  EXPECT_EQ(Names(d.get()), std::vector<std::u16string>{u"s"});
  EXPECT_EQ(ReadStream(d.get(), u"s"), bytes);
  d.Reset();
  EXPECT_EQ(Names(root.get()), (std::vector<std::u16string>{u"d", u"empty", u"n"}));
  // An empty storage goes without being asked to take anything along.
  EXPECT_EQ(RemoveEntry(root.get(), {u"empty"}, false), kQssOk);
  root->rootEntry()->readOnly = true;
  EXPECT_EQ(MakeStorage(root.get(), {u"x"}), kQssReadOnly);
  root.Reset();
  EXPECT_EQ(container.Damage(), std::vector<std::string>{});
}

// Removed content goes back to the free list and the next put takes it: the
// container does not grow.
TEST(ContainerEditingTest, FreedBlocksAreReused) {
  Container container;
  const auto bytes = Bytes(40000, 3, false);
  CQssRef<CRootStorage> root = container.Open();
  // More than the new container's table describes.
  ASSERT_EQ(PutStream(root.get(), {u"pad"}, false, Content(Bytes(100000, 7, false))), kQssNoRoomInPlace);
  EXPECT_EQ(root->EntryCount(), 0);
  // Room made the way a packer makes it, then committed.
  {
    CQssRef<CStream> pad;
    ASSERT_EQ(root->CreateStream(u"pad", false, pad.Receive()), kQssOk);
    ASSERT_EQ(pad->SetSize(200000), kQssOk);
  }
  ASSERT_EQ(root->Commit(), kQssOk);
  ASSERT_EQ(RemoveEntry(root.get(), {u"pad"}, false), kQssOk);
  std::int64_t freeBefore = 0;
  ASSERT_EQ(CountFreeBlocks(root.get(), &freeBefore), kQssOk);
  ASSERT_EQ(PutStream(root.get(), {u"s"}, false, Content(bytes)), kQssOk);
  const std::int64_t size = container.Size();
  std::int64_t freeAfterPut = 0;
  ASSERT_EQ(CountFreeBlocks(root.get(), &freeAfterPut), kQssOk);
  EXPECT_LT(freeAfterPut, freeBefore);
  ASSERT_EQ(RemoveEntry(root.get(), {u"s"}, false), kQssOk);
  std::int64_t freeAfterRemove = 0;
  ASSERT_EQ(CountFreeBlocks(root.get(), &freeAfterRemove), kQssOk);
  EXPECT_EQ(freeAfterRemove, freeBefore);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(PutStream(root.get(), {u"again"}, false, Content(bytes)), kQssOk);
    ASSERT_EQ(RemoveEntry(root.get(), {u"again"}, false), kQssOk);
  }
  ASSERT_EQ(PutStream(root.get(), {u"again"}, false, Content(bytes)), kQssOk);
  EXPECT_EQ(container.Size(), size);
  EXPECT_EQ(ReadStream(root.get(), u"again"), bytes);
  root.Reset();
  EXPECT_EQ(container.Damage(), std::vector<std::string>{});
}

// Two streams sharing the tail of one chain, which runs in a circle: the
// removal frees each block once, and leaves a free list the table accepts.
TEST(ContainerEditingTest, SharedAndCircularChainsAreFreedOnce) {
  Container container(100000);
  std::int64_t x = kNoBlock;
  std::int64_t y = kNoBlock;
  {
    CQssRef<CRootStorage> root = container.Open();
    ASSERT_EQ(PutStream(root.get(), {u"d", u"x"}, false, Content(Bytes(1500, 4, false))), kQssOk);
    ASSERT_EQ(PutStream(root.get(), {u"d", u"y"}, false, Content(Bytes(1500, 5, false))), kQssOk);
    CQssRef<CStorage> d;
    ASSERT_EQ(root->OpenStorage(u"d", 0, d.Receive()), kQssOk);
    x = d->FindFirstEntry(u"x")->FirstBlock();
    y = d->FindFirstEntry(u"y")->FirstBlock();
  }
  {
    CQssRef<CBlockAllocationTable> table = qss_testing::OpenTable(container.array());
    const auto xs = qss_testing::ChainOf(table.get(), x);
    const auto ys = qss_testing::ChainOf(table.get(), y);
    ASSERT_EQ(xs.size(), 3u);
    ASSERT_EQ(ys.size(), 3u);
    CLockGuard guard(table->lock());
    table->SetNext(ys[0], xs[1]);
    table->SetNext(xs[2], xs[0]);
    ASSERT_EQ(table->Flush(), kQssOk);
  }
  CQssRef<CRootStorage> root = container.Open();
  ASSERT_EQ(RemoveEntry(root.get(), {u"d"}, true), kQssOk);
  EXPECT_EQ(root->EntryCount(), 0);
  root.Reset();
  EXPECT_EQ(container.Damage(), std::vector<std::string>{});
  // The freed blocks are taken again.
  root = container.Open();
  EXPECT_EQ(PutStream(root.get(), {u"z"}, false, Content(Bytes(5000, 6, false))), kQssOk);
  root.Reset();
  EXPECT_EQ(container.Damage(), std::vector<std::string>{});
}

}  // namespace
}  // namespace qss

// The writing side used by packers, and nested containers built with it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CreateContainer.h"
#include "ContainerTesting.h"

namespace qss {

namespace {

using qss_testing::FreeList;
using qss_testing::Pattern;

std::vector<std::uint8_t> Compressible(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>("structured storage "[i % 19]);
  return bytes;
}

void WriteAll(CStream* stream, const std::vector<std::uint8_t>& bytes) {
  std::uint32_t written = 0;
  ASSERT_GE(stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()), &written), 0);
  ASSERT_EQ(written, bytes.size());
}

std::vector<std::uint8_t> ReadAll(CStream* stream) {
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(qss_testing::ReadToEnd(stream, &bytes), kQssOk);
  return bytes;
}

CQssRef<CRootStorage> NewContainer(CMemoryByteArray* array) {
  EXPECT_EQ(CreateContainer(array, 4, 512), kQssOk);
  CQssRef<CRootStorage> root(new CRootStorage(array));
  EXPECT_TRUE(root->valid());
  return root;
}

std::vector<std::uint8_t> OpenAndRead(CStorage* storage, const char16_t* name) {
  CQssRef<CStream> stream;
  EXPECT_EQ(storage->OpenStream(name, 0, stream.Receive()), kQssOk);
  if (!stream) return {};
  return ReadAll(stream.get());
}

TEST(CStorageWritingTest, TreeRoundTripsThroughTheByteArray) {
  const auto plain = Pattern(5000, 1);
  const auto packed = Compressible(300000);
  const auto noise = Pattern(20000, 2);
  const auto innerPacked = Compressible(70000);
  const auto innerPlain = Pattern(3000, 3);

  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  {
    auto root = NewContainer(array.get());
    CQssRef<CStorage> dir;
    ASSERT_EQ(root->CreateStorage(u"dir", dir.Receive()), kQssOk);
    CQssRef<CStream> stream;
    ASSERT_EQ(dir->CreateStream(u"plain", false, stream.Receive()), kQssOk);
    WriteAll(stream.get(), plain);
    ASSERT_EQ(dir->CreateStream(u"packed", true, stream.Receive()), kQssOk);
    WriteAll(stream.get(), packed);
    ASSERT_EQ(dir->CreateStream(u"noise", true, stream.Receive()), kQssOk);
    WriteAll(stream.get(), noise);
    stream.Reset();
    ASSERT_EQ(dir->Commit(), kQssOk);
    dir.Reset();

    CQssRef<CRootStorage> nested;
    ASSERT_EQ(root->CreateNestedContainer(u"nested", 8, 1024, nested.Receive()), kQssOk);
    CQssRef<CStorage> sub;
    ASSERT_EQ(nested->CreateStorage(u"sub", sub.Receive()), kQssOk);
    ASSERT_EQ(sub->CreateStream(u"inner", true, stream.Receive()), kQssOk);
    WriteAll(stream.get(), innerPacked);
    stream.Reset();
    sub.Reset();
    ASSERT_EQ(nested->CreateStream(u"top", false, stream.Receive()), kQssOk);
    WriteAll(stream.get(), innerPlain);
    stream.Reset();
    nested.Reset();  // saves, writes its header record and flushes its table into the stream

    const CStorageEntry* nestedEntry = root->FindEntry(u"nested");
    ASSERT_NE(nestedEntry, nullptr);
    EXPECT_EQ(nestedEntry->Flags(), kEntryStorage | kEntryStream);
    EXPECT_NE(nestedEntry->FirstBlock(), -1);
    EXPECT_GT(nestedEntry->Size(), 3000);  // holds at least the plain inner stream
    EXPECT_TRUE(nestedEntry->dirty);
    EXPECT_FALSE(nestedEntry->open);
    ASSERT_EQ(root->Commit(), kQssOk);
  }

  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_TRUE(root->valid());
  ASSERT_EQ(root->EntryCount(), 2);
  CQssRef<CStorage> dir;
  ASSERT_EQ(root->OpenStorage(u"dir", 0, dir.Receive()), kQssOk);
  EXPECT_EQ(OpenAndRead(dir.get(), u"plain"), plain);
  EXPECT_EQ(OpenAndRead(dir.get(), u"packed"), packed);
  EXPECT_EQ(OpenAndRead(dir.get(), u"noise"), noise);
  const CStorageEntry* packedEntry = dir->FindEntry(u"packed");
  EXPECT_EQ(packedEntry->Flags(), kEntryStream | kEntryCompressed);
  EXPECT_EQ(packedEntry->Size(), 300000);
  EXPECT_LT(packedEntry->StoredLength(), 300000 / 10);
  EXPECT_EQ(dir->FindEntry(u"noise")->StoredLength(), 20000);  // stored plain

  // A path through the nested container is walked like any other.
  CQssRef<CStorage> nested;
  ASSERT_EQ(root->OpenStorage(u"nested", 0, nested.Receive()), kQssOk);
  CQssRef<CStorage> sub;
  ASSERT_EQ(nested->OpenStorage(u"sub", 0, sub.Receive()), kQssOk);
  EXPECT_EQ(OpenAndRead(sub.get(), u"inner"), innerPacked);
  EXPECT_EQ(OpenAndRead(nested.get(), u"top"), innerPlain);

  // While the nested root storage is held its entry stays open.
  CQssRef<CStorage> twice;
  EXPECT_EQ(root->OpenStorage(u"nested", 0, twice.Receive()), kQssAlreadyOpen);
  CQssRef<CStream> raw;
  EXPECT_EQ(root->OpenStream(u"nested", 0, raw.Receive()), kQssAlreadyOpen);
  sub.Reset();
  nested.Reset();
  // The raw bytes of the nested container open as a stream.
  ASSERT_EQ(root->OpenStream(u"nested", 0, raw.Receive()), kQssOk);
  EXPECT_EQ(ReadAll(raw.get()).size(), static_cast<std::size_t>(root->FindEntry(u"nested")->Size()));
}

TEST(CStorageWritingTest, NestedContainerOpenedByNameIsReadOnly) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  {
    auto root = NewContainer(array.get());
    CQssRef<CRootStorage> nested;
    ASSERT_EQ(root->CreateNestedContainer(u"n", 4, 512, nested.Receive()), kQssOk);
    CQssRef<CStream> stream;
    ASSERT_EQ(nested->CreateStream(u"s", false, stream.Receive()), kQssOk);
    WriteAll(stream.get(), Pattern(600, 4));
  }
  const auto before = array->Bytes();
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    CQssRef<CStorage> nested;
    ASSERT_EQ(root->OpenStorage(u"n", 0, nested.Receive()), kQssOk);
    CQssRef<CStream> stream;
    EXPECT_EQ(nested->CreateStream(u"t", false, stream.Receive()), kQssReadOnly);
    ASSERT_EQ(nested->OpenStream(u"s", 0, stream.Receive()), kQssOk);
    EXPECT_EQ(stream->Write("x", 1, nullptr), kQssReadOnly);
    nested->FindEntry(u"s")->dirty = true;  // would be saved if the nested root were writable
    EXPECT_EQ(nested->Commit(), kQssOk);
    stream.Reset();
    nested.Reset();
    EXPECT_FALSE(root->FindEntry(u"n")->open);
    EXPECT_TRUE(root->FindEntry(u"n")->readOnly);
    EXPECT_FALSE(root->FindEntry(u"n")->dirty);
  }
  // Only the outer header record is written back, with the same contents.
  EXPECT_EQ(array->Bytes(), before);
}

TEST(CStorageWritingTest, KindThreeEntryThatIsNotAContainerLeavesNothingOpen) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  {
    auto root = NewContainer(array.get());
    // A plain stream whose entry is then turned into kind 3.
    CQssRef<CStream> stream;
    ASSERT_EQ(root->CreateStream(u"fake", false, stream.Receive()), kQssOk);
    WriteAll(stream.get(), Pattern(1000, 5));
    stream.Reset();
    root->FindEntry(u"fake")->SetFlags(kEntryStorage | kEntryStream | kEntryCompressed);
    root->FindEntry(u"fake")->SetStoredLength(1000);  // plain content
    ASSERT_EQ(root->CreateStream(u"short", false, stream.Receive()), kQssOk);
    WriteAll(stream.get(), Pattern(10, 6));
    stream.Reset();
    root->FindEntry(u"short")->SetFlags(kEntryStorage | kEntryStream);
  }
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  const auto freeBefore = FreeList(root->table());
  for (int attempt = 0; attempt < 2; ++attempt) {
    CStorage* untouched = reinterpret_cast<CStorage*>(0x1);
    EXPECT_EQ(root->OpenStorage(u"fake", 0, &untouched), kQssNotAContainer);
    EXPECT_EQ(untouched, reinterpret_cast<CStorage*>(0x1));
    EXPECT_FALSE(root->FindEntry(u"fake")->open);
    EXPECT_FALSE(root->FindEntry(u"fake")->readOnly);
    EXPECT_EQ(root->OpenStorage(u"short", 0, &untouched), kQssNotAContainer);
  }
  EXPECT_EQ(FreeList(root->table()), freeBefore);
  EXPECT_EQ(root->ReferenceCount(), 1);  // no stream left holding its parent
  // Bit 0x20 makes OpenStream attach a compressed stream; the plain content reads back.
  CQssRef<CStream> stream;
  ASSERT_EQ(root->OpenStream(u"fake", 0, stream.Receive()), kQssOk);
  EXPECT_EQ(ReadAll(stream.get()), Pattern(1000, 5));
}

TEST(CStorageWritingTest, NamesAndWritabilityAreChecked) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  auto root = NewContainer(array.get());
  CQssRef<CStream> stream;
  const std::u16string longest(31, u'n');
  const std::u16string tooLong(32, u'n');
  EXPECT_EQ(root->CreateStream(longest.c_str(), false, stream.Receive()), kQssOk);
  EXPECT_EQ(root->FindEntry(longest.c_str())->Name(), longest);
  EXPECT_EQ(root->CreateStream(tooLong.c_str(), false, stream.Receive()), kQssInvalidRequest);
  EXPECT_EQ(root->CreateStream(std::u16string(100, u'n').c_str(), false, stream.Receive()), kQssInvalidRequest);
  EXPECT_EQ(root->CreateStream(u"", false, stream.Receive()), kQssInvalidRequest);
  EXPECT_EQ(root->CreateStream(longest.c_str(), true, stream.Receive()), kQssInvalidRequest);  // present
  EXPECT_EQ(root->CreateStream(nullptr, false, stream.Receive()), kQssNullName);
  EXPECT_EQ(root->CreateStream(u"x", false, nullptr), kQssNullResult);
  CQssRef<CStorage> storage;
  EXPECT_EQ(root->CreateStorage(tooLong.c_str(), storage.Receive()), kQssInvalidRequest);
  EXPECT_EQ(root->EntryCount(), 1);

  // A failed nested creation adds no entry and keeps no block.
  const auto freeBefore = FreeList(root->table());
  CQssRef<CRootStorage> nested;
  EXPECT_EQ(root->CreateNestedContainer(u"bad", 3, 512, nested.Receive()), kQssInvalidArgument);
  EXPECT_EQ(root->CreateNestedContainer(u"bad", 4, 100, nested.Receive()), kQssInvalidArgument);
  EXPECT_EQ(root->EntryCount(), 1);
  EXPECT_EQ(FreeList(root->table()), freeBefore);

  // Storages opened by name are read-only, so are their children.
  ASSERT_EQ(root->CreateStorage(u"d", storage.Receive()), kQssOk);
  storage.Reset();
  stream.Reset();
  ASSERT_EQ(root->OpenStorage(u"d", 0, storage.Receive()), kQssOk);
  EXPECT_EQ(storage->CreateStream(u"x", false, stream.Receive()), kQssReadOnly);
  EXPECT_EQ(storage->CreateStorage(u"x", nullptr), kQssNullResult);
}

TEST(CStorageWritingTest, CommitMakesTheContainerCompleteWhileOpen) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  auto root = NewContainer(array.get());
  CQssRef<CStream> stream;
  ASSERT_EQ(root->CreateStream(u"s", false, stream.Receive()), kQssOk);
  WriteAll(stream.get(), Pattern(4000, 7));
  ASSERT_EQ(stream->SetSize(100), kQssOk);  // frees blocks: only the table in memory knows
  stream.Reset();
  ASSERT_EQ(root->Commit(), kQssOk);

  // A copy of the bytes taken now is a complete container.
  CQssRef<CMemoryByteArray> copy(new CMemoryByteArray(array->Bytes()));
  CQssRef<CRootStorage> reopened(new CRootStorage(copy.get()));
  ASSERT_TRUE(reopened->valid());
  const auto written = Pattern(4000, 7);
  EXPECT_EQ(OpenAndRead(reopened.get(), u"s"), std::vector<std::uint8_t>(written.begin(), written.begin() + 100));
  EXPECT_EQ(FreeList(reopened->table()), FreeList(root->table()));
}

}  // namespace

}  // namespace qss

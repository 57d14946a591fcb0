#include "qss/EntryPath.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContainerTesting.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"

namespace qss {

namespace {

void PutStream(CStorage* storage, const char16_t* name, const std::vector<std::uint8_t>& content) {
  CQssRef<CStream> stream;
  ASSERT_EQ(storage->CreateStream(name, false, stream.Receive()), kQssOk);
  std::uint32_t written = 0;
  ASSERT_EQ(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), &written), kQssOk);
}

// root: "top" (storage) holding "inner" (nested container) holding "dir"
// (storage) holding "leaf" (stream); "plain" (stream) beside "top".
CQssRef<CMemoryByteArray> NestedContainer(const std::vector<std::uint8_t>& leaf) {
  CQssRef<CMemoryByteArray> memory(new CMemoryByteArray());
  CQssRef<CRootStorage> root;
  EXPECT_EQ(CRootStorage::Create(memory.get(), 4, 512, &root), kQssOk);
  {
    CQssRef<CStorage> top;
    EXPECT_EQ(root->CreateStorage(u"top", top.Receive()), kQssOk);
    CQssRef<CRootStorage> inner;
    EXPECT_EQ(top->CreateNestedContainer(u"inner", 4, 512, inner.Receive()), kQssOk);
    CQssRef<CStorage> dir;
    EXPECT_EQ(inner->CreateStorage(u"dir", dir.Receive()), kQssOk);
    PutStream(dir.get(), u"leaf", leaf);
  }
  PutStream(root.get(), u"plain", qss_testing::Pattern(10, 2));
  EXPECT_EQ(root->Commit(), kQssOk);
  return memory;
}

std::vector<std::uint8_t> ReadAll(CStream* stream) {
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(qss_testing::ReadToEnd(stream, &bytes), kQssOk);
  return bytes;
}

}  // namespace

TEST(EntryPathTest, SplitsAtBothSeparatorsAndDropsEmptyNames) {
  EXPECT_EQ(SplitEntryPath(u""), std::vector<std::u16string>{});
  EXPECT_EQ(SplitEntryPath(u"\\/"), std::vector<std::u16string>{});
  EXPECT_EQ(SplitEntryPath(u"a"), std::vector<std::u16string>{u"a"});
  EXPECT_EQ(SplitEntryPath(u"/a\\\\b//c/"), (std::vector<std::u16string>{u"a", u"b", u"c"}));
}

TEST(EntryPathTest, WalksIntoNestedContainersWithEitherSeparator) {
  const auto leaf = qss_testing::Pattern(1500, 9);
  const auto memory = NestedContainer(leaf);
  CQssRef<CRootStorage> root;
  ASSERT_EQ(CRootStorage::Open(memory.get(), &root), kQssOk);

  for (const char16_t* path : {u"top\\inner\\dir\\leaf", u"top/inner/dir/leaf", u"/top\\inner/dir\\leaf"}) {
    CQssRef<CStream> stream;
    ASSERT_EQ(OpenStreamPath(root.get(), path, &stream), kQssOk);
    EXPECT_EQ(ReadAll(stream.get()), leaf);
  }
  // A storage inside the nested container measures against that container.
  CQssRef<CStorage> dir;
  ASSERT_EQ(OpenStoragePath(root.get(), SplitEntryPath(u"top/inner/dir"), &dir), kQssOk);
  EXPECT_EQ(dir->EntryCount(), 1);
  EXPECT_LT(ContainerBytes(dir.get()), ContainerBytes(root.get()));
  // No names: the start itself.
  CQssRef<CStorage> same;
  ASSERT_EQ(OpenStoragePath(root.get(), {}, &same), kQssOk);
  EXPECT_EQ(same.get(), root.get());
}

TEST(EntryPathTest, WhatIsNotThereOrNotOfThatKindIsNotFound) {
  const auto memory = NestedContainer(qss_testing::Pattern(10, 1));
  CQssRef<CRootStorage> root;
  ASSERT_EQ(CRootStorage::Open(memory.get(), &root), kQssOk);

  CQssRef<CStream> stream;
  std::size_t failedAt = 99;
  EXPECT_EQ(OpenStreamPath(root.get(), SplitEntryPath(u"top/missing/leaf"), &stream, &failedAt), kQssNotFound);
  EXPECT_EQ(failedAt, 1u);
  EXPECT_FALSE(stream);
  EXPECT_EQ(OpenStreamPath(root.get(), SplitEntryPath(u"top/inner/dir/nothing"), &stream, &failedAt), kQssNotFound);
  EXPECT_EQ(failedAt, 3u);
  // A stream where a storage should be, a storage where a stream should be.
  EXPECT_EQ(OpenStreamPath(root.get(), SplitEntryPath(u"plain/x"), &stream, &failedAt), kQssNotFound);
  EXPECT_EQ(failedAt, 0u);
  EXPECT_EQ(OpenStreamPath(root.get(), u"top", &stream), kQssNotFound);
  // The root is no stream; names are case-sensitive.
  EXPECT_EQ(OpenStreamPath(root.get(), u"/", &stream), kQssInvalidRequest);
  EXPECT_EQ(OpenStreamPath(root.get(), u"PLAIN", &stream), kQssNotFound);
  EXPECT_EQ(OpenStreamPath(root.get(), u"plain", nullptr), kQssNullResult);
  EXPECT_EQ(OpenStreamPath(nullptr, u"plain", &stream), kQssInvalidPointer);
}

TEST(EntryPathTest, PathsAreBoundedInDepth) {
  CQssRef<CMemoryByteArray> memory(new CMemoryByteArray());
  CQssRef<CRootStorage> root;
  ASSERT_EQ(CRootStorage::Create(memory.get(), 4, 512, &root), kQssOk);
  {
    // kMaxEntryPathDepth + 1 storages, one inside the other, and a stream.
    std::vector<CQssRef<CStorage>> chain{CQssRef<CStorage>(root.get())};
    for (int level = 0; level <= kMaxEntryPathDepth; ++level) {
      CQssRef<CStorage> child;
      ASSERT_EQ(chain.back()->CreateStorage(u"d", child.Receive()), kQssOk);
      chain.push_back(std::move(child));
    }
    PutStream(chain.back().get(), u"s", {1, 2, 3});
    while (chain.size() > 1) chain.pop_back();  // children first
  }
  ASSERT_EQ(root->Commit(), kQssOk);

  std::vector<std::u16string> names(kMaxEntryPathDepth, u"d");
  CQssRef<CStorage> storage;
  EXPECT_EQ(OpenStoragePath(root.get(), names, &storage), kQssOk);
  names.push_back(u"d");
  std::size_t failedAt = 0;
  EXPECT_EQ(OpenStoragePath(root.get(), names, &storage, &failedAt), kQssInvalidArgument);
  EXPECT_FALSE(storage);
  EXPECT_EQ(failedAt, static_cast<std::size_t>(kMaxEntryPathDepth));
  names.push_back(u"s");
  CQssRef<CStream> stream;
  EXPECT_EQ(OpenStreamPath(root.get(), names, &stream), kQssInvalidArgument);
}

TEST(EntryPathTest, EntriesLargerThanTheirContainerAreNotOpened) {
  CQssRef<CMemoryByteArray> memory(new CMemoryByteArray());
  CQssRef<CRootStorage> root;
  ASSERT_EQ(CRootStorage::Create(memory.get(), 4, 512, &root), kQssOk);
  PutStream(root.get(), u"big", qss_testing::Pattern(700, 4));
  {
    CQssRef<CStorage> storage;
    ASSERT_EQ(root->CreateStorage(u"dir", storage.Receive()), kQssOk);
  }
  ASSERT_EQ(root->Commit(), kQssOk);
  root.Reset();
  ASSERT_EQ(CRootStorage::Open(memory.get(), &root), kQssOk);

  const std::int64_t bytes = ContainerBytes(root.get());
  CStorageEntry* big = root->EntryAt(0);
  ASSERT_TRUE(big->NameEquals(u"big"));
  big->SetSize(bytes + 1);
  CQssRef<CStream> stream;
  EXPECT_EQ(OpenStreamPath(root.get(), u"big", &stream), kQssNotAContainer);
  EXPECT_EQ(OpenChildStream(root.get(), u"big", bytes + 1, &stream), kQssOk);  // the bound is the caller's
  stream.Reset();

  CStorageEntry* dir = root->EntryAt(1);
  dir->SetSize(std::int64_t{1} << 40);
  CQssRef<CStorage> storage;
  EXPECT_EQ(OpenStoragePath(root.get(), {u"dir"}, &storage), kQssNotAContainer);

  // A compressed image may expand, but no further than LZ4 can.
  CStorageEntry compressed;
  compressed.SetFlags(kEntryStream | kEntryCompressed);
  compressed.SetStoredLength(100);
  compressed.SetSize(100 * kMaxLz4Ratio);
  EXPECT_EQ(CheckEntryFits(compressed, true, 1000), kQssOk);
  EXPECT_EQ(CheckEntryFits(compressed, false, 1000), kQssNotAContainer);  // as raw bytes it is too large
  compressed.SetSize(100 * kMaxLz4Ratio + 65);
  EXPECT_EQ(CheckEntryFits(compressed, true, 1000), kQssNotAContainer);
  compressed.SetStoredLength(1001);
  compressed.SetSize(1000);
  EXPECT_EQ(CheckEntryFits(compressed, true, 1000), kQssNotAContainer);
}

}  // namespace qss

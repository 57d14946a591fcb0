#include "qss/CStorage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CreateContainer.h"

namespace qss {

namespace {

std::vector<std::uint8_t> Record(const std::u16string& name, std::uint32_t flags) {
  CStorageEntry entry;
  EXPECT_TRUE(entry.SetName(name));
  entry.SetFlags(flags);
  return std::vector<std::uint8_t>(entry.record, entry.record + kEntryRecordSize);
}

// A container whose root directory content is exactly `content`, written
// through a writable root storage that is then closed without saving its
// (empty) entry table over it.
CQssRef<CMemoryByteArray> ContainerWithRootContent(const std::vector<std::uint8_t>& content) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  EXPECT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  EXPECT_TRUE(root->valid());
  std::uint32_t written = 0;
  EXPECT_EQ(root->Write(content.data(), static_cast<std::int32_t>(content.size()), &written), kQssOk);
  EXPECT_EQ(written, content.size());
  root->rootEntry()->readOnly = true;  // keep the raw content; the header record is still written
  return array;
}

std::vector<std::uint8_t> Records(const std::vector<std::pair<std::u16string, std::uint32_t>>& entries) {
  std::vector<std::uint8_t> content;
  for (const auto& [name, flags] : entries) {
    const auto record = Record(name, flags);
    content.insert(content.end(), record.begin(), record.end());
  }
  return content;
}

// count stream entries named prefix + 0, prefix + 1, ...
std::vector<std::pair<std::u16string, std::uint32_t>> NumberedStreams(char16_t prefix, int count) {
  std::vector<std::pair<std::u16string, std::uint32_t>> entries;
  for (int i = 0; i < count; ++i) {
    std::u16string name(1, prefix);
    for (char c : std::to_string(i)) name.push_back(static_cast<char16_t>(c));
    entries.emplace_back(name, kEntryStream);
  }
  return entries;
}

// Counts the writes a storage makes to its own content.
class WriteCountingRoot : public CRootStorage {
 public:
  using CRootStorage::CRootStorage;
  QssResult Write(const void* buffer, std::int32_t count, std::uint32_t* written) override {
    writes.push_back(count);
    return CRootStorage::Write(buffer, count, written);
  }
  std::vector<std::int32_t> writes;
};

TEST(CStorageTest, TrailingPartialRecordIsIgnoredAndDroppedOnSave) {
  auto content = Records({{u"A", kEntryStream}, {u"B", kEntryStorage}});
  content.resize(300, 0xAB);
  auto array = ContainerWithRootContent(content);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    ASSERT_TRUE(root->valid());
    EXPECT_EQ(root->rootEntry()->Size(), 300);
    ASSERT_EQ(root->EntryCount(), 2);
    EXPECT_EQ(root->EntryAt(0)->Name(), u"A");
    EXPECT_EQ(root->EntryAt(1)->Name(), u"B");
    root->EntryAt(1)->dirty = true;
    EXPECT_EQ(root->Commit(), kQssOk);
    EXPECT_EQ(root->rootEntry()->Size(), 256);
  }
  CQssRef<CRootStorage> reopened(new CRootStorage(array.get()));
  EXPECT_EQ(reopened->rootEntry()->Size(), 256);
  EXPECT_EQ(reopened->EntryCount(), 2);
}

TEST(CStorageTest, EmptyDirectoryFindsNothingAndSavesToNothing) {
  auto array = ContainerWithRootContent(Records({{u"A", kEntryStream}}));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_EQ(root->EntryCount(), 1);
  CQssRef<CStorage> none;
  EXPECT_EQ(root->OpenStorage(u"A", 0, none.Receive()), kQssNotFound);

  CQssRef<CMemoryByteArray> fresh(new CMemoryByteArray());
  ASSERT_EQ(CreateContainer(fresh.get(), 4, 512), kQssOk);
  CQssRef<CRootStorage> empty(new CRootStorage(fresh.get()));
  EXPECT_EQ(empty->EntryCount(), 0);
  EXPECT_EQ(empty->FindEntry(u"A"), nullptr);
  CQssRef<CStream> stream;
  EXPECT_EQ(empty->OpenStream(u"A", 0, stream.Receive()), kQssNotFound);
}

TEST(CStorageTest, TenThousandDirtyEntriesAreSavedInTwoChunks) {
  auto entries = NumberedStreams(u'e', 10000);
  auto array = ContainerWithRootContent(Records(entries));
  {
    CQssRef<WriteCountingRoot> root(new WriteCountingRoot(array.get()));
    ASSERT_EQ(root->EntryCount(), 10000);
    for (std::int32_t i = 0; i < root->EntryCount(); ++i) root->EntryAt(i)->dirty = true;
    EXPECT_TRUE(root->IsDirty());
    EXPECT_EQ(root->Commit(), kQssOk);
    EXPECT_EQ(root->writes, (std::vector<std::int32_t>{8192 * kEntryRecordSize, 1808 * kEntryRecordSize}));
    EXPECT_FALSE(root->EntryAt(9999)->dirty);
    // The root's own record keeps its dirty flag: the header carries it.
  }
  CQssRef<CRootStorage> reopened(new CRootStorage(array.get()));
  ASSERT_EQ(reopened->EntryCount(), 10000);
  EXPECT_EQ(reopened->EntryAt(9999)->Name(), u"e9999");
}

TEST(CStorageTest, LookupFindsFirstDuplicateThenFollowsTheLastHit) {
  auto array = ContainerWithRootContent(Records(
      {{u"X", kEntryStream}, {u"D", kEntryStream}, {u"Y", kEntryStream}, {u"D", kEntryStream}, {u"Z", kEntryStream}}));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_EQ(root->EntryCount(), 5);
  EXPECT_EQ(root->FindEntry(u"D"), root->EntryAt(1));
  EXPECT_EQ(root->FindEntry(u"Y"), root->EntryAt(2));
  // Directly after the hit on Y, its successor (the second D) is tried first.
  EXPECT_EQ(root->FindEntry(u"D"), root->EntryAt(3));
  // A full scan again finds the first.
  EXPECT_EQ(root->FindEntry(u"X"), root->EntryAt(0));
  EXPECT_EQ(root->FindEntry(u"Z"), root->EntryAt(4));
  EXPECT_EQ(root->FindEntry(u"D"), root->EntryAt(1));
  // Names are case-sensitive and compared up to the terminator.
  EXPECT_EQ(root->FindEntry(u"d"), nullptr);
  EXPECT_EQ(root->FindEntry(u"DD"), nullptr);
  EXPECT_EQ(root->FindEntry(u""), nullptr);
}

// Large directories are looked up through a name index; it must keep the
// same answers as a scan: first match, the last hit's successor first, and
// entries added by the writing side found at once.
TEST(CStorageTest, IndexedLookupKeepsTheScanRules) {
  auto entries = NumberedStreams(u'n', 500);
  entries[300].first = u"dup";
  entries[302].first = u"dup";
  auto array = ContainerWithRootContent(Records(entries));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_EQ(root->EntryCount(), 500);
  // Out of order, through the index.
  for (int i : {499, 0, 250, 1, 498, 137}) {
    EXPECT_EQ(root->FindEntry(entries[static_cast<std::size_t>(i)].first.c_str()), root->EntryAt(i)) << i;
  }
  EXPECT_EQ(root->FindEntry(u"dup"), root->EntryAt(300));
  EXPECT_EQ(root->FindEntry(u"n301"), root->EntryAt(301));
  EXPECT_EQ(root->FindEntry(u"dup"), root->EntryAt(302));  // the successor of the last hit
  EXPECT_EQ(root->FindEntry(u"n7"), root->EntryAt(7));
  EXPECT_EQ(root->FindEntry(u"dup"), root->EntryAt(300));  // the first again
  EXPECT_EQ(root->FindEntry(u"n500"), nullptr);
  EXPECT_EQ(root->FindEntry(u"N1"), nullptr);
  EXPECT_EQ(root->FindEntry(u""), nullptr);
  EXPECT_EQ(root->FindEntry(std::u16string(40, u'n').c_str()), nullptr);

  // The writing side adds entries after the index was built: they are found,
  // and a name already present is refused as before.
  root->rootEntry()->readOnly = false;
  CStream* added = nullptr;
  ASSERT_EQ(root->CreateStream(u"late", false, &added), kQssOk);
  CQssRef<CStream> addedRef = CQssRef<CStream>::Attach(added);
  EXPECT_EQ(root->FindEntry(u"n3"), root->EntryAt(3));
  EXPECT_EQ(root->FindEntry(u"late"), root->EntryAt(500));
  CStream* again = nullptr;
  EXPECT_EQ(root->CreateStream(u"n42", false, &again), kQssInvalidRequest);
  EXPECT_EQ(root->CreateStream(u"late", false, &again), kQssInvalidRequest);
  EXPECT_EQ(again, nullptr);
  root->rootEntry()->readOnly = true;
}

TEST(CStorageTest, UnterminatedNameMatchesNothing) {
  auto content = Records({{u"A", kEntryStream}});
  for (int i = 0; i < kEntryNameUnits; ++i) {
    content[2 * i] = 'N';
    content[2 * i + 1] = 0;
  }
  auto array = ContainerWithRootContent(content);
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_EQ(root->EntryCount(), 1);
  const std::u16string longName(40, u'N');
  EXPECT_EQ(root->FindEntry(longName.c_str()), nullptr);
  EXPECT_EQ(root->FindEntry(std::u16string(32, u'N').c_str()), nullptr);
  EXPECT_EQ(root->FindEntry(std::u16string(31, u'N').c_str()), nullptr);
}

TEST(CStorageTest, OpenRespectsKindsAndTheOpenFlag) {
  auto array = ContainerWithRootContent(
      Records({{u"S", kEntryStream}, {u"D", kEntryStorage}, {u"N", 0}, {u"s", kEntryStream}}));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  CQssRef<CStream> stream;
  CQssRef<CStorage> storage;

  EXPECT_EQ(root->OpenStream(u"D", 0, stream.Receive()), kQssNotFound);
  EXPECT_EQ(root->OpenStorage(u"S", 0, storage.Receive()), kQssNotFound);
  EXPECT_EQ(root->OpenStream(u"N", 0, stream.Receive()), kQssNotFound);
  EXPECT_EQ(root->OpenStorage(u"N", 0, storage.Receive()), kQssNotFound);

  ASSERT_EQ(root->OpenStream(u"S", 0, stream.Receive()), kQssOk);
  ASSERT_TRUE(stream);
  EXPECT_TRUE(root->FindEntry(u"S")->open);
  EXPECT_TRUE(root->FindEntry(u"S")->readOnly);
  EXPECT_EQ(root->FindEntry(u"S")->EffectiveFlags(), kEntryStream | kEntryOpenReadOnly);
  CStream* second = reinterpret_cast<CStream*>(0x1);
  EXPECT_EQ(root->OpenStream(u"S", 0, &second), kQssAlreadyOpen);
  EXPECT_EQ(second, nullptr);  // OpenStream clears the caller's pointer first
  // "s" is a different entry.
  CQssRef<CStream> lower;
  EXPECT_EQ(root->OpenStream(u"s", 0, lower.Receive()), kQssOk);

  // Opened by name means read-only: writes are refused, the entry is unchanged.
  std::uint32_t written = 7;
  EXPECT_EQ(stream->Write("abc", 3, &written), kQssReadOnly);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(root->FindEntry(u"S")->Size(), 0);

  stream.Reset();
  EXPECT_FALSE(root->FindEntry(u"S")->open);
  EXPECT_EQ(root->OpenStream(u"S", 0, stream.Receive()), kQssOk);

  ASSERT_EQ(root->OpenStorage(u"D", 0, storage.Receive()), kQssOk);
  CStorage* again = nullptr;
  EXPECT_EQ(root->OpenStorage(u"D", 0, &again), kQssAlreadyOpen);
  storage.Reset();
  EXPECT_EQ(root->OpenStorage(u"D", 0, storage.Receive()), kQssOk);
}

TEST(CStorageTest, ArgumentChecksComeInTheirOrder) {
  auto array = ContainerWithRootContent(Records({{u"D", kEntryStorage}, {u"S", kEntryStream}}));
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  CStorage* untouched = reinterpret_cast<CStorage*>(0x1);

  EXPECT_EQ(root->OpenStorage(nullptr, 0, nullptr), kQssNullName);
  EXPECT_EQ(root->OpenStorage(u"", 0, nullptr), kQssInvalidRequest);  // before the result pointer
  EXPECT_EQ(root->OpenStorage(u"D", 0, nullptr), kQssNullResult);
  EXPECT_EQ(root->OpenStorage(u"missing", 0, &untouched), kQssNotFound);
  EXPECT_EQ(untouched, reinterpret_cast<CStorage*>(0x1));  // OpenStorage leaves it alone
  EXPECT_FALSE(root->FindEntry(u"D")->open);

  CStream* stream = nullptr;
  EXPECT_EQ(root->OpenStream(nullptr, 0, &stream), kQssNullName);
  EXPECT_EQ(root->OpenStream(u"S", 0, nullptr), kQssNullResult);
  EXPECT_FALSE(root->FindEntry(u"S")->open);
}

TEST(CStorageTest, NotAContainerOpensNothingAndWritesNothing) {
  std::vector<std::uint8_t> bytes(2048, 0x5A);
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray(bytes));
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    EXPECT_FALSE(root->valid());
    EXPECT_EQ(root->status(), kQssNotAContainer);
    EXPECT_EQ(root->rootEntry(), nullptr);
    CQssRef<CStream> stream;
    EXPECT_EQ(root->OpenStream(u"S", 0, stream.Receive()), kQssNotFound);
    CQssRef<CStorage> storage;
    EXPECT_EQ(root->OpenStorage(u"S", 0, storage.Receive()), kQssNotFound);
    EXPECT_EQ(root->Commit(), kQssNotAContainer);
    EXPECT_EQ(root->CreateStream(u"S", false, stream.Receive()), kQssReadOnly);
  }
  EXPECT_EQ(array->Bytes(), bytes);
}

}  // namespace

}  // namespace qss

#include "qss/CStorageEntry.h"

#include <gtest/gtest.h>

#include <cstring>

#include "Format/Format.h"

namespace qss {

namespace {

// The accessors and the record codec agree on every field.
TEST(StorageEntryTest, NewEntryAndFieldsAsTheFormatLaysThemOut) {
  CStorageEntry entry;
  EXPECT_EQ(entry.FirstBlock(), -1);
  EXPECT_EQ(entry.Size(), 0);
  EXPECT_FALSE(entry.dirty || entry.open || entry.readOnly);
  EntryRecord empty;
  ASSERT_EQ(EntryRecord::Decode(entry.record, sizeof(entry.record), &empty), kQssOk);
  EXPECT_EQ(empty.firstBlock, -1);
  EXPECT_EQ(empty.flags, 0u);

  ASSERT_TRUE(entry.SetName(u"ab"));
  entry.SetFlags(0x23);
  entry.SetStoredLength(77);
  entry.SetFirstBlock(5);
  entry.SetSize(0x0102030405LL);
  EntryRecord decoded;
  ASSERT_EQ(EntryRecord::Decode(entry.record, sizeof(entry.record), &decoded), kQssOk);
  EXPECT_EQ(decoded.Name(), u"ab");
  EXPECT_EQ(decoded.flags, 0x23u);
  EXPECT_EQ(decoded.storedLength, 77);
  EXPECT_EQ(decoded.firstBlock, 5);
  EXPECT_EQ(decoded.size, 0x0102030405LL);
  EXPECT_EQ(entry.Kind(), 3u);

  decoded.headOffset = 9;
  decoded.EncodeTo(entry.record);
  EXPECT_EQ(entry.HeadOffset(), 9);
  EXPECT_EQ(entry.Size(), 0x0102030405LL);
}

// Content under the compressed flag is stored plain when it did not shrink.
TEST(StorageEntryTest, StoredCompressedNeedsTheFlagAndAShorterImage) {
  CStorageEntry entry;
  entry.SetFlags(kEntryStream);
  entry.SetSize(100);
  entry.SetStoredLength(40);
  EXPECT_FALSE(entry.StoredCompressed());
  entry.SetFlags(kEntryStream | kEntryCompressed);
  EXPECT_TRUE(entry.StoredCompressed());
  entry.SetStoredLength(100);
  EXPECT_FALSE(entry.StoredCompressed());
}

TEST(StorageEntryTest, FieldsMarkDirtyOnlyWhenTheyChange) {
  CStorageEntry entry;
  entry.SetFirstBlock(-1);
  entry.SetSize(0);
  EXPECT_FALSE(entry.dirty);
  entry.SetSize(3);
  EXPECT_TRUE(entry.dirty);
  entry.dirty = false;
  entry.SetSize(3);
  EXPECT_FALSE(entry.dirty);
}

TEST(StorageEntryTest, EffectiveFlagsReplaceStoredRunTimeBits) {
  CStorageEntry entry;
  entry.SetFlags(0x000F0002);  // bits 16-19 set in the file mean nothing
  EXPECT_EQ(entry.EffectiveFlags(), 0x2u);
  entry.open = true;
  EXPECT_EQ(entry.EffectiveFlags(), 0x2u | kEntryOpenWritable);
  entry.readOnly = true;
  EXPECT_EQ(entry.EffectiveFlags(), 0x2u | kEntryOpenReadOnly);
}

TEST(StorageEntryTest, NamesUpToThirtyOneUnits) {
  CStorageEntry entry;
  const std::u16string longest(31, u'n');
  ASSERT_TRUE(entry.SetName(longest));
  EXPECT_EQ(entry.Name(), longest);
  EXPECT_TRUE(entry.NameIsTerminated());
  EXPECT_TRUE(entry.NameEquals(longest.c_str()));
  EntryRecord decoded;
  ASSERT_EQ(EntryRecord::Decode(entry.record, sizeof(entry.record), &decoded), kQssOk);
  EXPECT_EQ(decoded.name[kEntryNameUnits - 1], 0);
  EXPECT_FALSE(entry.SetName(std::u16string(32, u'n')));
  EXPECT_FALSE(entry.SetName(u""));

  std::memset(entry.record + kEntryNameOffset, 'a', 2 * kEntryNameUnits);  // no terminator anywhere in the field
  EXPECT_FALSE(entry.NameIsTerminated());
  const std::u16string all = entry.Name();
  EXPECT_EQ(all.size(), 32u);
  EXPECT_FALSE(entry.NameEquals(all.c_str()));
}

}  // namespace

}  // namespace qss

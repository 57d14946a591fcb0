// The codecs against hand-placed bytes: these tests are the one place that
// spells out the positions, so a codec that drifts from the documented
// layout fails here rather than in a container written by an older build.

#include "Format/Format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace qss {

namespace {

std::vector<std::uint8_t> EncodedHeader(const ContainerHeader& header) {
  std::vector<std::uint8_t> bytes(kContainerHeaderSize, 0xEE);
  header.EncodeTo(bytes.data());
  return bytes;
}

ContainerHeader SoundHeader() {
  ContainerHeader header;
  header.entryWidth = 4;
  header.blockSize = 512;
  header.dataOffset = 512;
  header.tableStart = 1;
  header.root.flags = kEntryStorage;
  header.root.firstBlock = 7;
  header.root.size = 384;
  return header;
}

TEST(FormatTest, HeaderFieldsLieWhereTheLayoutSays) {
  const std::vector<std::uint8_t> bytes = EncodedHeader(SoundHeader());
  EXPECT_EQ(std::memcmp(bytes.data(), "Quorell Structured Storage\x1A\0", 28), 0);
  const std::vector<std::uint8_t> fields(bytes.begin() + 28, bytes.begin() + 64);
  const std::vector<std::uint8_t> expected = {
      0, 0, 0, 0,              // 28 reserved
      4, 0, 0, 0,              // 32 entryWidth
      0, 2, 0, 0,              // 36 blockSize 512
      0, 2, 0, 0,              // 40 dataOffset 512
      0, 0, 0, 0,              // 44 reserved
      1, 0, 0, 0, 0, 0, 0, 0,  // 48 tableStart
      0, 0, 0, 0, 0, 0, 0, 0,  // 56 reserved
  };
  EXPECT_EQ(fields, expected);
  EXPECT_EQ(bytes[64 + 64], kEntryStorage);  // the root record's flags
  EXPECT_EQ(bytes[64 + 80], 7);              // its first block
  EXPECT_EQ(bytes[64 + 88 + 1], 384 >> 8);   // its size
  for (std::size_t i = 192; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(FormatTest, HeaderRoundTrip) {
  const ContainerHeader original = SoundHeader();
  const std::vector<std::uint8_t> bytes = EncodedHeader(original);
  ContainerHeader decoded;
  ContainerHeader::Fault fault = ContainerHeader::Fault::kMagic;
  ASSERT_EQ(ContainerHeader::Decode(bytes.data(), bytes.size(), &decoded, &fault), kQssOk);
  EXPECT_EQ(fault, ContainerHeader::Fault::kNone);
  EXPECT_EQ(decoded.entryWidth, 4);
  EXPECT_EQ(decoded.blockSize, 512);
  EXPECT_EQ(decoded.dataOffset, 512);
  EXPECT_EQ(decoded.tableStart, 1);
  EXPECT_EQ(decoded.root.firstBlock, 7);
  EXPECT_EQ(decoded.root.size, 384);
  EXPECT_EQ(EncodedHeader(decoded), bytes);
  EXPECT_EQ(decoded.BlockPosition(1), 512);
  EXPECT_EQ(decoded.BlockPosition(3), 1536);
  EXPECT_EQ(decoded.EntriesPerTableBlock(), 128);

  // Bytes the format does not interpret do not stop a header from decoding.
  std::vector<std::uint8_t> noisy = bytes;
  noisy[30] = noisy[45] = noisy[60] = noisy[200] = 0x5A;
  EXPECT_EQ(ContainerHeader::Decode(noisy.data(), noisy.size(), &decoded), kQssOk);
  // A table-less container and the smallest legal layout pass.
  ContainerHeader bare = SoundHeader();
  bare.tableStart = -1;
  bare.entryWidth = 8;
  bare.blockSize = 8;  // one entry wide: readable, though it never changes
  bare.dataOffset = kContainerHeaderSize;
  const std::vector<std::uint8_t> bareBytes = EncodedHeader(bare);
  EXPECT_EQ(ContainerHeader::Decode(bareBytes.data(), bareBytes.size(), &decoded), kQssOk);
}

TEST(FormatTest, HeaderRefusals) {
  using Fault = ContainerHeader::Fault;
  const auto refused = [](const std::vector<std::uint8_t>& bytes, std::size_t size) {
    ContainerHeader decoded;
    Fault fault = Fault::kNone;
    EXPECT_EQ(ContainerHeader::Decode(bytes.data(), size, &decoded, &fault), kQssNotAContainer);
    return fault;
  };
  const auto with = [](auto change) {
    ContainerHeader header = SoundHeader();
    change(header);
    return EncodedHeader(header);
  };
  const std::vector<std::uint8_t> sound = EncodedHeader(SoundHeader());

  EXPECT_EQ(refused(sound, kContainerHeaderSize - 1), Fault::kShort);
  std::vector<std::uint8_t> magic = sound;
  magic[27] = 1;
  EXPECT_EQ(refused(magic, magic.size()), Fault::kMagic);
  for (const std::int32_t width : {0, 1, 3, 16, -4})
    EXPECT_EQ(refused(with([&](ContainerHeader& h) { h.entryWidth = width; }), kContainerHeaderSize), Fault::kEntryWidth)
        << width;
  for (const std::int32_t blockSize : {0, -512, 2, 511, 768, INT32_MIN})
    EXPECT_EQ(refused(with([&](ContainerHeader& h) { h.blockSize = blockSize; }), kContainerHeaderSize),
              Fault::kBlockSize)
        << blockSize;
  for (const std::int32_t dataOffset : {-1, 0, 255})
    EXPECT_EQ(refused(with([&](ContainerHeader& h) { h.dataOffset = dataOffset; }), kContainerHeaderSize),
              Fault::kDataOffset)
        << dataOffset;
  for (const std::int64_t tableStart : {std::int64_t{0}, std::int64_t{-2}, INT64_MIN})
    EXPECT_EQ(refused(with([&](ContainerHeader& h) { h.tableStart = tableStart; }), kContainerHeaderSize),
              Fault::kTableStart)
        << tableStart;

  // Past the magic the fields are there for messages even when refused.
  ContainerHeader decoded;
  const std::vector<std::uint8_t> wide = with([](ContainerHeader& h) { h.entryWidth = 3; });
  EXPECT_EQ(ContainerHeader::Decode(wide.data(), wide.size(), &decoded), kQssNotAContainer);
  EXPECT_EQ(decoded.entryWidth, 3);
  EXPECT_EQ(decoded.blockSize, 512);
  EXPECT_EQ(ContainerHeader::Decode(nullptr, 256, &decoded), kQssInvalidArgument);
  EXPECT_EQ(ContainerHeader::Decode(sound.data(), sound.size(), nullptr), kQssInvalidArgument);
}

TEST(FormatTest, EntryRecordKeepsEveryByte) {
  std::vector<std::uint8_t> bytes(kEntryRecordSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  EntryRecord record;
  ASSERT_EQ(EntryRecord::Decode(bytes.data(), bytes.size(), &record), kQssOk);
  std::vector<std::uint8_t> again(kEntryRecordSize, 0);
  record.EncodeTo(again.data());
  EXPECT_EQ(again, bytes);  // reserved bytes included
  EXPECT_EQ(record.flags, 0xD6CFC8C1u);  // bytes 64-67: 0xC1, 0xC8, 0xCF, 0xD6
  EXPECT_FALSE(record.NameIsTerminated());
  EXPECT_EQ(record.Name().size(), static_cast<std::size_t>(kEntryNameUnits));
}

TEST(FormatTest, EntryRecordFieldsLieWhereTheLayoutSays) {
  EntryRecord record;
  record.name[0] = u'A';
  record.name[1] = u'\u00E9';
  record.flags = kEntryStream | kEntryCompressed | 0x30000;
  record.storedLength = 0x11223344;
  record.firstBlock = -1;
  record.size = 0x0102030405060708;
  record.headOffset = 0x1000;
  std::vector<std::uint8_t> bytes(kEntryRecordSize);
  record.EncodeTo(bytes.data());
  EXPECT_EQ(bytes[0], 'A');
  EXPECT_EQ(bytes[2], 0xE9);
  EXPECT_EQ(bytes[4], 0);  // the terminator
  EXPECT_EQ(bytes[64], 0x22);
  EXPECT_EQ(bytes[66], 0x03);
  EXPECT_EQ(bytes[72], 0x44);
  EXPECT_EQ(bytes[75], 0x11);
  for (int i = 80; i < 88; ++i) EXPECT_EQ(bytes[i], 0xFF) << i;
  EXPECT_EQ(bytes[88], 0x08);
  EXPECT_EQ(bytes[95], 0x01);
  EXPECT_EQ(bytes[97], 0x10);

  EntryRecord decoded;
  ASSERT_EQ(EntryRecord::Decode(bytes.data(), bytes.size(), &decoded), kQssOk);
  EXPECT_EQ(decoded.Name(), u"A\u00E9");
  EXPECT_TRUE(decoded.NameIsTerminated());
  EXPECT_EQ(decoded.StoredFlags(), kEntryStream | kEntryCompressed);
  EXPECT_EQ(decoded.Kind(), kEntryStream);
  EXPECT_EQ(decoded.headOffset, 0x1000);

  EXPECT_EQ(EntryRecord::Decode(bytes.data(), kEntryRecordSize - 1, &decoded), kQssInvalidArgument);
  EXPECT_EQ(EntryRecord::Decode(nullptr, kEntryRecordSize, &decoded), kQssInvalidArgument);
  EXPECT_EQ(EntryRecord::Decode(bytes.data(), bytes.size(), nullptr), kQssInvalidArgument);
}

TEST(FormatTest, CompressedImageHeader) {
  CompressedImageHeader header;
  header.contentLength = 3000;
  header.imageLength = 123;
  std::vector<std::uint8_t> bytes(kCompressedImageHeaderSize, 0xEE);
  header.EncodeTo(bytes.data());
  const std::vector<std::uint8_t> expected = {0xB2, 0x9E, 0xA3, 0xFD, 0xB8, 0x0B, 0, 0, 123, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bytes, expected);

  CompressedImageHeader decoded;
  ASSERT_EQ(CompressedImageHeader::Decode(bytes.data(), bytes.size(), &decoded), kQssOk);
  EXPECT_EQ(decoded.contentLength, 3000u);
  EXPECT_EQ(decoded.imageLength, 123u);
  EXPECT_TRUE(decoded.Describes(3000, 123));
  EXPECT_FALSE(decoded.Describes(2999, 123));
  EXPECT_FALSE(decoded.Describes(3000, 124));
  // The reserved word is not checked.
  bytes[12] = 9;
  EXPECT_EQ(CompressedImageHeader::Decode(bytes.data(), bytes.size(), &decoded), kQssOk);
  EXPECT_EQ(decoded.reserved, 9u);

  EXPECT_EQ(CompressedImageHeader::Decode(bytes.data(), kCompressedImageHeaderSize - 1, &decoded), kQssNotAContainer);
  bytes[3] = 0xFC;
  EXPECT_EQ(CompressedImageHeader::Decode(bytes.data(), bytes.size(), &decoded), kQssNotAContainer);
  EXPECT_EQ(CompressedImageHeader::Decode(nullptr, 16, &decoded), kQssInvalidArgument);
}

TEST(FormatTest, TableEntriesOfEveryWidthSignExtend) {
  for (const std::int32_t width : {2, 4, 8}) {
    std::uint8_t bytes[8] = {};
    StoreTableEntry(bytes, width, -1);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], i < width ? 0xFF : 0) << width;
    EXPECT_EQ(LoadTableEntry(bytes, width), -1) << width;
    StoreTableEntry(bytes, width, 0x1234);
    EXPECT_EQ(bytes[0], 0x34);
    EXPECT_EQ(bytes[1], 0x12);
    EXPECT_EQ(LoadTableEntry(bytes, width), 0x1234) << width;
  }
  std::uint8_t narrow[2] = {0x00, 0x80};
  EXPECT_EQ(LoadTableEntry(narrow, 2), -32768);  // a broken link, not a large block
  EXPECT_TRUE(IsEntryWidth(8));
  EXPECT_FALSE(IsEntryWidth(6));
}

}  // namespace

}  // namespace qss

#include "Format/Format.h"

#include <bit>
#include <cstring>

#include "Format/LittleEndian.h"

namespace qss {

bool HasContainerMagic(const std::uint8_t* bytes, std::size_t size) {
  return bytes != nullptr && size >= sizeof(kContainerMagic) &&
         std::memcmp(bytes, kContainerMagic, sizeof(kContainerMagic)) == 0;
}

// ---- EntryRecord ------------------------------------------------------------

QssResult EntryRecord::Decode(const std::uint8_t* bytes, std::size_t size, EntryRecord* out) {
  if (bytes == nullptr || out == nullptr || size < static_cast<std::size_t>(kEntryRecordSize))
    return kQssInvalidArgument;
  for (int i = 0; i < kEntryNameUnits; ++i)
    out->name[i] = static_cast<char16_t>(LoadLittleEndian<std::uint16_t>(bytes + kEntryNameOffset + 2 * i));
  out->flags = LoadLittleEndian<std::uint32_t>(bytes + kEntryFlagsOffset);
  std::memcpy(out->reserved68, bytes + kEntryFlagsOffset + 4, sizeof(out->reserved68));
  out->storedLength = LoadLittleEndian<std::int32_t>(bytes + kEntryStoredLengthOffset);
  std::memcpy(out->reserved76, bytes + kEntryStoredLengthOffset + 4, sizeof(out->reserved76));
  out->firstBlock = LoadLittleEndian<std::int64_t>(bytes + kEntryFirstBlockOffset);
  out->size = LoadLittleEndian<std::int64_t>(bytes + kEntrySizeOffset);
  out->headOffset = LoadLittleEndian<std::int64_t>(bytes + kEntryHeadOffsetOffset);
  std::memcpy(out->reserved104, bytes + kEntryHeadOffsetOffset + 8, sizeof(out->reserved104));
  return kQssOk;
}

void EntryRecord::EncodeTo(std::uint8_t* bytes) const {
  for (int i = 0; i < kEntryNameUnits; ++i)
    StoreLittleEndian<std::uint16_t>(bytes + kEntryNameOffset + 2 * i, name[i]);
  StoreLittleEndian<std::uint32_t>(bytes + kEntryFlagsOffset, flags);
  std::memcpy(bytes + kEntryFlagsOffset + 4, reserved68, sizeof(reserved68));
  StoreLittleEndian<std::int32_t>(bytes + kEntryStoredLengthOffset, storedLength);
  std::memcpy(bytes + kEntryStoredLengthOffset + 4, reserved76, sizeof(reserved76));
  StoreLittleEndian<std::int64_t>(bytes + kEntryFirstBlockOffset, firstBlock);
  StoreLittleEndian<std::int64_t>(bytes + kEntrySizeOffset, size);
  StoreLittleEndian<std::int64_t>(bytes + kEntryHeadOffsetOffset, headOffset);
  std::memcpy(bytes + kEntryHeadOffsetOffset + 8, reserved104, sizeof(reserved104));
}

std::u16string EntryRecord::Name() const {
  std::u16string text;
  for (const char16_t unit : name) {
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

bool EntryRecord::NameIsTerminated() const {
  for (const char16_t unit : name) {
    if (unit == 0) return true;
  }
  return false;
}

// ---- ContainerHeader --------------------------------------------------------

QssResult ContainerHeader::Decode(const std::uint8_t* bytes, std::size_t size, ContainerHeader* out, Fault* fault) {
  Fault ignored = Fault::kNone;
  Fault& found = fault != nullptr ? *fault : ignored;
  found = Fault::kNone;
  if (bytes == nullptr || out == nullptr) return kQssInvalidArgument;
  if (size < static_cast<std::size_t>(kContainerHeaderSize)) {
    found = Fault::kShort;
    return kQssNotAContainer;
  }
  if (!HasContainerMagic(bytes, size)) {
    found = Fault::kMagic;
    return kQssNotAContainer;
  }
  out->entryWidth = LoadLittleEndian<std::int32_t>(bytes + kHeaderEntryWidthOffset);
  out->blockSize = LoadLittleEndian<std::int32_t>(bytes + kHeaderBlockSizeOffset);
  out->dataOffset = LoadLittleEndian<std::int32_t>(bytes + kHeaderDataOffsetOffset);
  out->tableStart = LoadLittleEndian<std::int64_t>(bytes + kHeaderTableStartOffset);
  static_cast<void>(EntryRecord::Decode(bytes + kRootEntryOffset, kEntryRecordSize, &out->root));  // in bounds

  if (!IsEntryWidth(out->entryWidth)) {
    found = Fault::kEntryWidth;
  } else if (out->blockSize <= 0 || !std::has_single_bit(static_cast<std::uint32_t>(out->blockSize)) ||
             out->blockSize < out->entryWidth) {
    found = Fault::kBlockSize;
  } else if (out->dataOffset < kContainerHeaderSize) {
    found = Fault::kDataOffset;
  } else if (out->tableStart != kNoBlock && out->tableStart < 1) {
    found = Fault::kTableStart;
  }
  return found == Fault::kNone ? kQssOk : kQssNotAContainer;
}

ContainerHeader ContainerHeader::ForNewContainer(std::int32_t entryWidth, std::int32_t blockSize,
                                                 std::int32_t dataOffset, std::int64_t tableStart) {
  ContainerHeader layout;
  layout.entryWidth = entryWidth;
  layout.blockSize = blockSize;
  layout.dataOffset = dataOffset;
  layout.tableStart = tableStart;
  layout.root.flags = kEntryStorage;
  return layout;
}

void ContainerHeader::EncodeTo(std::uint8_t* bytes) const {
  std::memset(bytes, 0, kContainerHeaderSize);
  std::memcpy(bytes, kContainerMagic, sizeof(kContainerMagic));
  StoreLittleEndian<std::int32_t>(bytes + kHeaderEntryWidthOffset, entryWidth);
  StoreLittleEndian<std::int32_t>(bytes + kHeaderBlockSizeOffset, blockSize);
  StoreLittleEndian<std::int32_t>(bytes + kHeaderDataOffsetOffset, dataOffset);
  StoreLittleEndian<std::int64_t>(bytes + kHeaderTableStartOffset, tableStart);
  root.EncodeTo(bytes + kRootEntryOffset);
}

// ---- CompressedImageHeader --------------------------------------------------

QssResult CompressedImageHeader::Decode(const std::uint8_t* bytes, std::size_t size, CompressedImageHeader* out) {
  if (bytes == nullptr || out == nullptr) return kQssInvalidArgument;
  if (size < static_cast<std::size_t>(kCompressedImageHeaderSize) ||
      LoadLittleEndian<std::uint32_t>(bytes) != kCompressedImageMagic)
    return kQssNotAContainer;
  out->contentLength = LoadLittleEndian<std::uint32_t>(bytes + 4);
  out->imageLength = LoadLittleEndian<std::uint32_t>(bytes + 8);
  out->reserved = LoadLittleEndian<std::uint32_t>(bytes + 12);
  return kQssOk;
}

void CompressedImageHeader::EncodeTo(std::uint8_t* bytes) const {
  StoreLittleEndian<std::uint32_t>(bytes, kCompressedImageMagic);
  StoreLittleEndian<std::uint32_t>(bytes + 4, contentLength);
  StoreLittleEndian<std::uint32_t>(bytes + 8, imageLength);
  StoreLittleEndian<std::uint32_t>(bytes + 12, reserved);
}

}  // namespace qss

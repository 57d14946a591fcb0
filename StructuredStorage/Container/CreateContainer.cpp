#include "qss/CreateContainer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "Base/LittleEndian.h"
#include "qss/CPhysicalByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CStorageEntry.h"
#include "Container/ContainerFormat.h"

namespace qss {

namespace {
constexpr std::int64_t kTableStart = 1;

template <typename T>
void StoreEntries(std::uint8_t* block, std::int64_t perBlock) {
  // Entry 0 heads the free list 2 -> 3 -> ... -> E-1; entry 1 is the table's
  // own single block.
  for (std::int64_t k = 0; k < perBlock; ++k) {
    std::int64_t value = k + 1;
    if (k == 0) value = perBlock > 2 ? 2 : -1;
    if (k == 1 || k == perBlock - 1) value = -1;
    StoreLittleEndian<T>(block + k * sizeof(T), static_cast<T>(value));
  }
}
}  // namespace

QssResult CreateContainer(CPhysicalByteArray* array, std::int32_t entryWidth, std::int32_t blockSize) {
  const bool widthKnown = entryWidth == 2 || entryWidth == 4 || entryWidth == 8;
  // A table block has to describe itself and at least one more block.
  if (array == nullptr || !widthKnown || blockSize <= 0 ||
      !std::has_single_bit(static_cast<std::uint32_t>(blockSize)) || blockSize < 2 * entryWidth)
    return kQssInvalidArgument;

  // Block 1 starts at the first multiple of the block size clear of the header.
  const std::int32_t dataOffset = std::max(kContainerHeaderSize, blockSize);

  std::vector<std::uint8_t> header(kContainerHeaderSize, 0);
  std::memcpy(header.data(), kContainerMagic, sizeof(kContainerMagic));
  StoreLittleEndian<std::int32_t>(header.data() + kHeaderEntryWidthOffset, entryWidth);
  StoreLittleEndian<std::int32_t>(header.data() + kHeaderBlockSizeOffset, blockSize);
  StoreLittleEndian<std::int32_t>(header.data() + kHeaderDataOffsetOffset, dataOffset);
  StoreLittleEndian<std::int64_t>(header.data() + kHeaderTableStartOffset, kTableStart);
  CStorageEntry root;
  root.SetFlags(kEntryStorage);
  std::memcpy(header.data() + kRootEntryOffset, root.record, kEntryRecordSize);

  std::vector<std::uint8_t> table(static_cast<std::size_t>(blockSize), 0);
  const std::int64_t perBlock = blockSize / entryWidth;
  switch (entryWidth) {
    case 2: StoreEntries<std::int16_t>(table.data(), perBlock); break;
    case 4: StoreEntries<std::int32_t>(table.data(), perBlock); break;
    default: StoreEntries<std::int64_t>(table.data(), perBlock); break;
  }

  // Start from an empty array so that nothing of earlier contents remains.
  if (QssResult result = array->SetSize(0); QssFailed(result)) return result;
  if (QssResult result = array->SetSize(static_cast<std::int64_t>(dataOffset) + blockSize); QssFailed(result))
    return result;
  // A header or table block stored only in part still opens, as a container
  // whose free list runs into zeros (or whose layout is missing): the first
  // allocation past that point would fail or corrupt it. Such a write is a
  // failure, not a success with fewer bytes.
  const auto writeWhole = [array](std::int64_t offset, const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t written = 0;
    const QssResult result = array->WriteAt(offset, bytes, count, &written);
    if (QssFailed(result)) return result;
    return written == count ? kQssOk : kQssWriteFault;
  };
  if (QssResult result = writeWhole(0, header.data(), kContainerHeaderSize); QssFailed(result)) return result;
  return writeWhole(dataOffset, table.data(), static_cast<std::uint32_t>(blockSize));
}

}  // namespace qss

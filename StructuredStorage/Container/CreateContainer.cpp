#include "qss/CreateContainer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "qss/CPhysicalByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "Format/Format.h"

namespace qss {

namespace {
constexpr std::int64_t kTableStart = 1;

void StoreEntries(std::uint8_t* block, std::int32_t entryWidth, std::int64_t perBlock) {
  // Entry 0 heads the free list 2 -> 3 -> ... -> E-1; entry 1 is the table's
  // own single block.
  for (std::int64_t k = 0; k < perBlock; ++k) {
    std::int64_t value = k + 1;
    if (k == 0) value = perBlock > 2 ? 2 : -1;
    if (k == 1 || k == perBlock - 1) value = -1;
    StoreTableEntry(block + k * entryWidth, entryWidth, value);
  }
}
}  // namespace

QssResult CreateContainer(CPhysicalByteArray* array, std::int32_t entryWidth, std::int32_t blockSize) {
  // A table block has to describe itself and at least one more block.
  if (array == nullptr || !IsEntryWidth(entryWidth) || blockSize <= 0 ||
      !std::has_single_bit(static_cast<std::uint32_t>(blockSize)) || blockSize < 2 * entryWidth)
    return kQssInvalidArgument;

  // Block 1 starts at the first multiple of the block size clear of the header.
  const std::int32_t dataOffset = std::max(kContainerHeaderSize, blockSize);

  ContainerHeader layout;
  layout.entryWidth = entryWidth;
  layout.blockSize = blockSize;
  layout.dataOffset = dataOffset;
  layout.tableStart = kTableStart;
  layout.root.flags = kEntryStorage;
  std::vector<std::uint8_t> header(kContainerHeaderSize);
  layout.EncodeTo(header.data());

  std::vector<std::uint8_t> table(static_cast<std::size_t>(blockSize), 0);
  const std::int64_t perBlock = blockSize / entryWidth;
  StoreEntries(table.data(), entryWidth, perBlock);

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

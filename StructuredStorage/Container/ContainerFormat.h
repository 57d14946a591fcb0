// ContainerFormat: the fixed places of the container header.
//
// Header (256 bytes): magic (28 bytes), entryWidth at 32, blockSize at 36,
// dataOffset at 40 (all signed 32-bit), tableStart at 48 (signed 64-bit) and
// the root storage's entry record at 64. Everything else is not interpreted
// and is written as zeros by CreateContainer.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CONTAINERFORMAT_H_
#define STRUCTUREDSTORAGE_CONTAINER_CONTAINERFORMAT_H_

#include <cstdint>

namespace qss {

// "Quorell Structured Storage", 0x1A, 0x00.
inline constexpr std::uint8_t kContainerMagic[28] = {'Q', 'u', 'o', 'r', 'e', 'l', 'l', ' ', 'S', 't',
                                                     'r', 'u', 'c', 't', 'u', 'r', 'e', 'd', ' ', 'S',
                                                     't', 'o', 'r', 'a', 'g', 'e', 0x1A, 0x00};

inline constexpr int kHeaderEntryWidthOffset = 32;
inline constexpr int kHeaderBlockSizeOffset = 36;
inline constexpr int kHeaderDataOffsetOffset = 40;
inline constexpr int kHeaderTableStartOffset = 48;

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_CONTAINER_CONTAINERFORMAT_H_

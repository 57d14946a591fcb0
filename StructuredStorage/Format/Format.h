// Format: the on-disk layout of a container, in one place.
//
// A container is a flat byte array: a 256-byte header, then from dataOffset
// on equal-sized blocks numbered from 1. All integers are little-endian;
// "signed" fields are two's complement. Block -1 means "no block".
//
// CONTAINER HEADER (ContainerHeader, 256 bytes at byte 0)
//
//   Offset  Size  Field        Meaning
//   ------  ----  -----------  ----------------------------------------------
//        0    28  magic        "Quorell Structured Storage", 0x1A, 0x00
//       28     4  (reserved)   not interpreted; written as zeros
//       32     4  entryWidth   signed: bytes of one allocation table entry,
//                              2, 4 or 8
//       36     4  blockSize    signed: bytes of one block, a power of two of
//                              at least entryWidth
//       40     4  dataOffset   signed: byte position of block 1, at least 256
//       44     4  (reserved)   not interpreted; written as zeros
//       48     8  tableStart   signed: first block of the allocation table's
//                              chain; -1 for a container without a stored
//                              table (every block free, nothing can change)
//       56     8  (reserved)   not interpreted; written as zeros
//       64   128  root record  the directory entry record of the root
//                              storage, laid out as below
//      192    64  (reserved)   not interpreted; written as zeros
//
// Block n (n >= 1) starts at dataOffset + (n - 1) * blockSize. The last block
// may be cut short by the end of the byte array.
//
// ALLOCATION TABLE (blocks of the chain from tableStart)
//
//   Entry k, entryWidth bytes, signed: the block after block k in its chain,
//   or -1 at the chain's end. The n-th block of the table's chain holds
//   entries n * (blockSize / entryWidth) onwards. Entry 0 heads the free
//   list, which runs in ascending block order. The table has as many blocks
//   as the whole blocks of the byte array need, and at least one.
//
// DIRECTORY ENTRY RECORD (EntryRecord, 128 bytes; a storage's content is a
// packed array of them, the root's record lives in the header)
//
//   Offset  Size  Field         Meaning
//   ------  ----  ------------  ---------------------------------------------
//        0    64  name          UTF-16 units, ended by a 0 unit (at most 31
//                               units before it)
//       64     4  flags         unsigned: kind (bits 0-1: 1 storage, 2 stream,
//                               3 stream holding a nested container), 0x20
//                               compressed; bits 16-19 are run-time status
//                               and ignored when read
//       68     4  (reserved)    kept as read
//       72     4  storedLength  signed: bytes of a compressed stream's stored
//                               image; equal to size when stored plain
//       76     4  (reserved)    kept as read
//       80     8  firstBlock    signed: first block of the content's chain,
//                               -1 for none
//       88     8  size          signed: length of the content in bytes
//       96     8  headOffset    signed: first readable position of the
//                               content; the chain holds the bytes from
//                               headOffset rounded down to a block on
//      104    24  (reserved)    kept as read
//
// COMPRESSED IMAGE HEADER (CompressedImageHeader, 16 bytes at the start of a
// compressed stream's chain, followed by the content as one LZ4 block)
//
//   Offset  Size  Field          Meaning
//   ------  ----  -------------  --------------------------------------------
//        0     4  magic          0xFDA39EB2
//        4     4  contentLength  unsigned: the content's length (the entry's
//                                size)
//        8     4  imageLength    unsigned: header and block together (the
//                                entry's storedLength)
//       12     4  (reserved)     written as 0, not checked
//
// Every codec below decodes from a buffer whose length it is told and checks
// that length first: Decode never reads past it.

#ifndef STRUCTUREDSTORAGE_FORMAT_FORMAT_H_
#define STRUCTUREDSTORAGE_FORMAT_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "Format/LittleEndian.h"
#include "qss/EntryKinds.h"
#include "qss/ResultCodes.h"

namespace qss {

inline constexpr std::int64_t kNoBlock = -1;

// ---- Container header -----------------------------------------------------

inline constexpr int kContainerHeaderSize = 256;
inline constexpr std::uint8_t kContainerMagic[28] = {'Q', 'u', 'o', 'r', 'e', 'l', 'l', ' ', 'S', 't',
                                                     'r', 'u', 'c', 't', 'u', 'r', 'e', 'd', ' ', 'S',
                                                     't', 'o', 'r', 'a', 'g', 'e', 0x1A, 0x00};
inline constexpr int kHeaderEntryWidthOffset = 32;
inline constexpr int kHeaderBlockSizeOffset = 36;
inline constexpr int kHeaderDataOffsetOffset = 40;
inline constexpr int kHeaderTableStartOffset = 48;
inline constexpr int kRootEntryOffset = 64;  // the root storage's record

// ---- Directory entry record -------------------------------------------------

inline constexpr int kEntryNameOffset = 0;
inline constexpr int kEntryFlagsOffset = 64;
inline constexpr int kEntryStoredLengthOffset = 72;
inline constexpr int kEntryFirstBlockOffset = 80;
inline constexpr int kEntrySizeOffset = 88;
inline constexpr int kEntryHeadOffsetOffset = 96;

// ---- Compressed image -------------------------------------------------------

inline constexpr std::uint32_t kCompressedImageMagic = 0xFDA39EB2u;
inline constexpr int kCompressedImageHeaderSize = 16;
// The longest content one LZ4 block can hold; the image's lengths are
// 32-bit as well.
inline constexpr std::int64_t kMaxCompressedContentLength = 0x7E000000;
// One LZ4 block never expands to more than this many times its own length.
inline constexpr std::int64_t kMaxCompressionRatio = 255;

// Whether bytes (size of them) start with the container magic.
bool HasContainerMagic(const std::uint8_t* bytes, std::size_t size);

// The directory entry record: every field, reserved bytes included, so that
// a record decoded and encoded again is the same 128 bytes.
struct EntryRecord {
  char16_t name[kEntryNameUnits] = {};
  std::uint32_t flags = 0;
  std::uint8_t reserved68[4] = {};
  std::int32_t storedLength = 0;
  std::uint8_t reserved76[4] = {};
  std::int64_t firstBlock = kNoBlock;
  std::int64_t size = 0;
  std::int64_t headOffset = 0;
  std::uint8_t reserved104[24] = {};

  // Any 128 bytes are a record; what they say is judged by whoever uses them.
  // Fewer bytes (or a null pointer): kQssInvalidArgument, *out unchanged.
  static QssResult Decode(const std::uint8_t* bytes, std::size_t size, EntryRecord* out);
  // Writes kEntryRecordSize bytes.
  void EncodeTo(std::uint8_t* bytes) const;

  // The name up to its terminator (all 32 units when there is none).
  std::u16string Name() const;
  bool NameIsTerminated() const;
  // Flags as stored, the run-time status bits cleared.
  std::uint32_t StoredFlags() const { return flags & ~kEntryRunTimeMask; }
  std::uint32_t Kind() const { return flags & kEntryKindMask; }
};

// The fixed fields of the header. Reserved bytes are not interpreted and are
// written as zeros.
struct ContainerHeader {
  std::int32_t entryWidth = 0;
  std::int32_t blockSize = 0;
  std::int32_t dataOffset = 0;
  std::int64_t tableStart = kNoBlock;
  EntryRecord root;

  // The first check a header failed, in the order Decode makes them.
  enum class Fault {
    kNone,
    kShort,        // fewer than 256 bytes
    kMagic,        // the magic differs
    kEntryWidth,   // not 2, 4 or 8
    kBlockSize,    // not a power of two of at least entryWidth
    kDataOffset,   // block 1 would overlap the header
    kTableStart,   // neither -1 nor a block number
  };

  // Checks every layout value before anybody divides by one or sizes
  // something from it. A refusal is kQssNotAContainer (kQssInvalidArgument
  // for a null pointer) with *fault saying which check failed; once the
  // magic matched, *out holds the fields as stored even then, for messages.
  static QssResult Decode(const std::uint8_t* bytes, std::size_t size, ContainerHeader* out,
                          Fault* fault = nullptr);
  // Writes kContainerHeaderSize bytes: magic, fields, root record, zeros.
  void EncodeTo(std::uint8_t* bytes) const;
  // The header of a new container: an empty root storage, nothing else.
  static ContainerHeader ForNewContainer(std::int32_t entryWidth, std::int32_t blockSize, std::int32_t dataOffset,
                                         std::int64_t tableStart);

  std::int64_t EntriesPerTableBlock() const { return blockSize / entryWidth; }
  // Byte position of block (block >= 1, not past what the format addresses).
  std::int64_t BlockPosition(std::int64_t block) const {
    return dataOffset + (block - 1) * static_cast<std::int64_t>(blockSize);
  }
};

// The header of a compressed stream's stored image.
struct CompressedImageHeader {
  std::uint32_t contentLength = 0;
  std::uint32_t imageLength = 0;
  std::uint32_t reserved = 0;

  // Fewer than 16 bytes or another magic: kQssNotAContainer
  // (kQssInvalidArgument for a null pointer).
  static QssResult Decode(const std::uint8_t* bytes, std::size_t size, CompressedImageHeader* out);
  // Writes kCompressedImageHeaderSize bytes.
  void EncodeTo(std::uint8_t* bytes) const;

  // Whether the lengths are those an entry of content size and stored image
  // storedLength must find.
  bool Describes(std::int64_t size, std::int32_t storedLength) const {
    return contentLength == static_cast<std::uint32_t>(size) && imageLength == static_cast<std::uint32_t>(storedLength);
  }
};

// ---- Allocation table entries ------------------------------------------------

// Whether width is an entry width the format knows (2, 4 or 8).
inline constexpr bool IsEntryWidth(std::int64_t width) { return width == 2 || width == 4 || width == 8; }
// Entry value at bytes, entryWidth bytes wide (2, 4 or 8), sign-extended.
// Inline: walks of whole tables load one entry per block.
inline std::int64_t LoadTableEntry(const std::uint8_t* bytes, std::int32_t entryWidth) {
  switch (entryWidth) {
    case 2: return LoadLittleEndian<std::int16_t>(bytes);
    case 4: return LoadLittleEndian<std::int32_t>(bytes);
    default: return LoadLittleEndian<std::int64_t>(bytes);
  }
}
// Stores value into entryWidth bytes (2, 4 or 8), truncated to that width.
inline void StoreTableEntry(std::uint8_t* bytes, std::int32_t entryWidth, std::int64_t value) {
  switch (entryWidth) {
    case 2: StoreLittleEndian<std::int16_t>(bytes, static_cast<std::int16_t>(value)); break;
    case 4: StoreLittleEndian<std::int32_t>(bytes, static_cast<std::int32_t>(value)); break;
    default: StoreLittleEndian<std::int64_t>(bytes, value); break;
  }
}

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_FORMAT_FORMAT_H_

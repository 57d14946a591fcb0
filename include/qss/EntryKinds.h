// EntryKinds: what the flags of a directory entry say, and the size of the
// record that holds them.
//
// These are the values a program sees through CStorageEntry::Flags(); the
// record's full layout is the library's own business.

#ifndef QSS_ENTRYKINDS_H_
#define QSS_ENTRYKINDS_H_

#include <cstdint>

namespace qss {

/// Kind bit: the entry opens with OpenStorage.
inline constexpr std::uint32_t kEntryStorage = 0x1;
/// Kind bit: the entry opens with OpenStream.
inline constexpr std::uint32_t kEntryStream = 0x2;
/// The kind bits. Kind 3 is a stream holding a nested container.
inline constexpr std::uint32_t kEntryKindMask = 0x3;
/// The kind of a stream holding a nested container.
inline constexpr std::uint32_t kEntryNestedContainer = kEntryStorage | kEntryStream;
/// The stream's content may be stored as one LZ4 block (OpenStream attaches a
/// CCompressedStream).
inline constexpr std::uint32_t kEntryCompressed = 0x20;
/// Run-time status, never stored: the entry is open for reading only.
inline constexpr std::uint32_t kEntryOpenReadOnly = 0x10000;
/// Run-time status, never stored: the entry is open for writing.
inline constexpr std::uint32_t kEntryOpenWritable = 0x20000;
/// Bits 16 to 19: run-time status, cleared from what is read.
inline constexpr std::uint32_t kEntryRunTimeMask = 0xF0000;

/// Bytes of one directory entry record.
inline constexpr int kEntryRecordSize = 128;
/// UTF-16 units of the name field, the terminating 0 unit included.
inline constexpr int kEntryNameUnits = 32;

}  // namespace qss

#endif  // QSS_ENTRYKINDS_H_

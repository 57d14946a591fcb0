// Helpers for tests that build containers and inspect allocation tables.

#ifndef STRUCTUREDSTORAGE_TESTING_CONTAINERTESTING_H_
#define STRUCTUREDSTORAGE_TESTING_CONTAINERTESTING_H_

#include <cstdint>
#include <vector>

#include "qss/CQssRef.h"
#include "qss/CPhysicalByteArray.h"
#include "Container/CBlockAllocationTable.h"
#include "Format/Format.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"

namespace qss {

namespace qss_testing {

// A new table opened on array (valid or not: check valid()/status()).
CQssRef<CBlockAllocationTable> OpenTable(CPhysicalByteArray* array);

// The blocks of the chain from start, following the table (at most limit).
std::vector<std::int64_t> ChainOf(CBlockAllocationTable* table, std::int64_t start, std::size_t limit = 100000);
// The free list, from entry 0's successor.
std::vector<std::int64_t> FreeList(CBlockAllocationTable* table);
// Links blocks into a chain ending in -1 (blocks[0] -> blocks[1] -> ...).
void LinkChain(CBlockAllocationTable* table, const std::vector<std::int64_t>& blocks);
// Makes the free list exactly blocks (ascending), anchored at entry 0.
void SetFreeList(CBlockAllocationTable* table, const std::vector<std::int64_t>& blocks);

// A header by hand: magic, the four layout fields, a storage root record.
std::vector<std::uint8_t> MakeHeader(std::int32_t entryWidth, std::int32_t blockSize, std::int32_t dataOffset,
                                     std::int64_t tableStart);
// Stores value as entry index of a table block image.
void PutEntry(std::vector<std::uint8_t>& bytes, std::int64_t position, std::int32_t entryWidth,
              std::int64_t index, std::int64_t value);
std::int64_t GetEntry(const std::vector<std::uint8_t>& bytes, std::int64_t position, std::int32_t entryWidth,
                      std::int64_t index);
// The directory entry record at byte position at of bytes (a test failure,
// and an empty record, when it does not fit), and storing one there.
EntryRecord RecordAt(const std::vector<std::uint8_t>& bytes, std::size_t at);
void PutRecord(std::vector<std::uint8_t>& bytes, std::size_t at, const EntryRecord& record);
// Gives entry's record a head offset, which no setter of the entry changes.
void SetHeadOffset(CStorageEntry* entry, std::int64_t headOffset);
// The root storage's record in the header of bytes, and storing one there.
EntryRecord RootRecordOf(const std::vector<std::uint8_t>& bytes);
void PutRootRecord(std::vector<std::uint8_t>& bytes, const EntryRecord& record);

// Reads stream from its position to its end, in pieces of pieceSize bytes,
// appending to bytes. The first failure ends the reading and is returned;
// bytes keeps what came before it.
QssResult ReadToEnd(CStream* stream, std::vector<std::uint8_t>* bytes, std::size_t pieceSize = 100000);

// Deterministic test content: byte i of stream seed.
std::vector<std::uint8_t> Pattern(std::size_t length, std::uint32_t seed);
// Deterministic content that LZ4 shrinks: short runs of a few letters.
std::vector<std::uint8_t> CompressiblePattern(std::size_t length, std::uint32_t seed);
// Pattern or CompressiblePattern.
std::vector<std::uint8_t> Bytes(std::size_t length, std::uint32_t seed, bool compressible);

}  // namespace qss_testing

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_TESTING_CONTAINERTESTING_H_

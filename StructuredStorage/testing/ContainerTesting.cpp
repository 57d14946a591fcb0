#include "ContainerTesting.h"

#include <gtest/gtest.h>

#include <cstring>

#include "qss/CLockGuard.h"
#include "Format/Format.h"

namespace qss {

namespace qss_testing {

CQssRef<CBlockAllocationTable> OpenTable(CPhysicalByteArray* array) {
  return CQssRef<CBlockAllocationTable>(new CBlockAllocationTable(array));
}

std::vector<std::int64_t> ChainOf(CBlockAllocationTable* table, std::int64_t start, std::size_t limit) {
  CLockGuard guard(table->lock());
  std::vector<std::int64_t> chain;
  for (std::int64_t block = start; block != -1 && chain.size() < limit; block = table->GetNext(block))
    chain.push_back(block);
  return chain;
}

std::vector<std::int64_t> FreeList(CBlockAllocationTable* table) {
  CLockGuard guard(table->lock());
  return ChainOf(table, table->GetNext(0));
}

void LinkChain(CBlockAllocationTable* table, const std::vector<std::int64_t>& blocks) {
  CLockGuard guard(table->lock());
  for (std::size_t i = 0; i < blocks.size(); ++i)
    table->SetNext(blocks[i], i + 1 < blocks.size() ? blocks[i + 1] : -1);
}

void SetFreeList(CBlockAllocationTable* table, const std::vector<std::int64_t>& blocks) {
  CLockGuard guard(table->lock());
  table->SetNext(0, blocks.empty() ? -1 : blocks.front());
  LinkChain(table, blocks);
}

std::vector<std::uint8_t> MakeHeader(std::int32_t entryWidth, std::int32_t blockSize, std::int32_t dataOffset,
                                     std::int64_t tableStart) {
  const ContainerHeader layout = ContainerHeader::ForNewContainer(entryWidth, blockSize, dataOffset, tableStart);
  std::vector<std::uint8_t> header(kContainerHeaderSize);
  layout.EncodeTo(header.data());
  return header;
}

void PutEntry(std::vector<std::uint8_t>& bytes, std::int64_t position, std::int32_t entryWidth,
              std::int64_t index, std::int64_t value) {
  StoreTableEntry(bytes.data() + position + index * entryWidth, entryWidth, value);
}

std::int64_t GetEntry(const std::vector<std::uint8_t>& bytes, std::int64_t position, std::int32_t entryWidth,
                      std::int64_t index) {
  return LoadTableEntry(bytes.data() + position + index * entryWidth, entryWidth);
}

EntryRecord RecordAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  EntryRecord record;
  const QssResult decoded =
      at <= bytes.size() ? EntryRecord::Decode(bytes.data() + at, bytes.size() - at, &record) : kQssInvalidArgument;
  EXPECT_EQ(decoded, kQssOk) << "no record at " << at;
  return record;
}

void PutRecord(std::vector<std::uint8_t>& bytes, std::size_t at, const EntryRecord& record) {
  if (at + kEntryRecordSize > bytes.size()) {
    ADD_FAILURE() << "no room for a record at " << at;
    return;
  }
  record.EncodeTo(bytes.data() + at);
}

void SetHeadOffset(CStorageEntry* entry, std::int64_t headOffset) {
  EntryRecord record;
  ASSERT_EQ(EntryRecord::Decode(entry->record, sizeof(entry->record), &record), kQssOk);
  record.headOffset = headOffset;
  record.EncodeTo(entry->record);
}

EntryRecord RootRecordOf(const std::vector<std::uint8_t>& bytes) { return RecordAt(bytes, kRootEntryOffset); }
void PutRootRecord(std::vector<std::uint8_t>& bytes, const EntryRecord& record) {
  PutRecord(bytes, kRootEntryOffset, record);
}

QssResult ReadToEnd(CStream* stream, std::vector<std::uint8_t>* bytes, std::size_t pieceSize) {
  std::vector<std::uint8_t> piece(pieceSize);
  for (;;) {
    std::uint32_t got = 0;
    const QssResult result = stream->Read(piece.data(), static_cast<std::int32_t>(piece.size()), &got);
    if (QssFailed(result)) return result;
    if (got == 0) return kQssOk;
    bytes->insert(bytes->end(), piece.begin(), piece.begin() + got);
  }
}

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

std::vector<std::uint8_t> CompressiblePattern(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>('a' + (i / 16 + seed) % 4);
  return bytes;
}

std::vector<std::uint8_t> Bytes(std::size_t length, std::uint32_t seed, bool compressible) {
  return compressible ? CompressiblePattern(length, seed) : Pattern(length, seed);
}

}  // namespace qss_testing

}  // namespace qss

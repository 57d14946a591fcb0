// ContainerImage: byte-level access to a container held in one file, for
// tests that damage containers on purpose. Fields are read and written
// through the format module's codecs.

#ifndef TOOLS_QSS_CONTAINERIMAGE_H_
#define TOOLS_QSS_CONTAINERIMAGE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Format/Format.h"
#include "QssTestSupport.h"

namespace qss_test {

using qss::ContainerHeader;
using qss::EntryRecord;
using qss::kEntryNameUnits;
using qss::kEntryRecordSize;
using qss::kQssOk;
using qss::kRootEntryOffset;
using qss::LoadTableEntry;
using qss::StoreTableEntry;

// Byte-level access to a container held in one file.
class ContainerImage {
 public:
  explicit ContainerImage(fs::path base) : base_(std::move(base)), bytes_(ReadFile(base_)) {}

  // The layout fields as stored, also where the header is refused.
  ContainerHeader Header() const {
    ContainerHeader header;
    static_cast<void>(ContainerHeader::Decode(Bytes(), bytes_.size(), &header));
    return header;
  }
  std::int32_t entryWidth() const { return Header().entryWidth; }
  std::int32_t blockSize() const { return Header().blockSize; }
  std::int64_t dataOffset() const { return Header().dataOffset; }
  std::int64_t tableStart() const { return Header().tableStart; }
  std::size_t BlockPosition(std::int64_t block) const {
    return static_cast<std::size_t>(dataOffset() + (block - 1) * blockSize());
  }

  EntryRecord RecordAt(std::size_t at) const {
    EntryRecord record;
    EXPECT_EQ(EntryRecord::Decode(Bytes() + at, bytes_.size() - std::min(at, bytes_.size()), &record), kQssOk);
    return record;
  }
  template <typename Change>
  void ChangeRecord(std::size_t at, Change change) {
    EntryRecord record = RecordAt(at);
    change(record);
    ASSERT_LE(at + kEntryRecordSize, bytes_.size());
    record.EncodeTo(reinterpret_cast<std::uint8_t*>(bytes_.data()) + at);
  }
  EntryRecord RootRecord() const { return RecordAt(kRootEntryOffset); }

  // The record whose name is name; the name must occur once.
  std::size_t Record(const std::u16string& name) const {
    std::string pattern;
    for (const char16_t unit : name + u'\0') {
      pattern.push_back(static_cast<char>(unit & 0xFF));
      pattern.push_back(static_cast<char>(unit >> 8));
    }
    const std::size_t at = bytes_.find(pattern);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(bytes_.find(pattern, at + 1), std::string::npos) << "name not unique";
    return at;
  }
  // units replace the whole name field (zero-filled after them).
  void Rename(const std::u16string& from, const std::vector<char16_t>& units) {
    ChangeRecord(Record(from), [&](EntryRecord& record) {
      for (int i = 0; i < kEntryNameUnits; ++i) record.name[i] = i < static_cast<int>(units.size()) ? units[i] : 0;
    });
  }
  void SetFlags(const std::u16string& name, std::uint32_t flags) {
    ChangeRecord(Record(name), [&](EntryRecord& record) { record.flags = flags; });
  }
  std::int64_t FirstBlock(const std::u16string& name) const { return RecordAt(Record(name)).firstBlock; }
  std::int64_t Size(const std::u16string& name) const { return RecordAt(Record(name)).size; }
  void SetFirstBlock(const std::u16string& name, std::int64_t block) {
    ChangeRecord(Record(name), [&](EntryRecord& record) { record.firstBlock = block; });
  }
  void SetSize(const std::u16string& name, std::int64_t size) {
    ChangeRecord(Record(name), [&](EntryRecord& record) { record.size = size; });
  }

  // Entries of the first table block only; enough for small containers.
  std::int64_t TableEntry(std::int64_t k) const {
    const std::size_t at = BlockPosition(tableStart()) + static_cast<std::size_t>(k * entryWidth());
    return LoadTableEntry(Bytes() + at, entryWidth());
  }
  void SetTableEntry(std::int64_t k, std::int64_t value) {
    const std::size_t at = BlockPosition(tableStart()) + static_cast<std::size_t>(k * entryWidth());
    StoreTableEntry(reinterpret_cast<std::uint8_t*>(bytes_.data()) + at, entryWidth(), value);
  }
  std::int64_t LastBlock(const std::u16string& name) const {
    std::int64_t block = FirstBlock(name);
    while (TableEntry(block) != -1) block = TableEntry(block);
    return block;
  }

  std::string& bytes() { return bytes_; }
  void Save() const { WriteFile(base_, bytes_); }

 private:
  const std::uint8_t* Bytes() const { return reinterpret_cast<const std::uint8_t*>(bytes_.data()); }

  fs::path base_;
  std::string bytes_;
};

}  // namespace qss_test

#endif  // TOOLS_QSS_CONTAINERIMAGE_H_

#include "qss/CStorageEntry.h"

#include <cstring>

#include "qss/CLockGuard.h"
#include "Format/Format.h"
#include "Format/LittleEndian.h"

namespace qss {

namespace {
char16_t NameUnit(const std::uint8_t* record, int index) {
  return static_cast<char16_t>(LoadLittleEndian<std::uint16_t>(record + kEntryNameOffset + 2 * index));
}
}  // namespace

CStorageEntry::CStorageEntry() { EntryRecord().EncodeTo(record); }

std::u16string CStorageEntry::Name() const {
  std::u16string name;
  for (int i = 0; i < kEntryNameUnits; ++i) {
    const char16_t unit = NameUnit(record, i);
    if (unit == 0) break;
    name.push_back(unit);
  }
  return name;
}

bool CStorageEntry::NameIsTerminated() const {
  for (int i = 0; i < kEntryNameUnits; ++i) {
    if (NameUnit(record, i) == 0) return true;
  }
  return false;
}

bool CStorageEntry::NameEquals(const char16_t* name) const {
  if (name == nullptr) return false;
  for (int i = 0; i < kEntryNameUnits; ++i) {
    const char16_t unit = NameUnit(record, i);
    if (unit != name[i]) return false;
    if (unit == 0) return true;
  }
  return false;  // no terminator inside the field: matches nothing
}

std::uint32_t CStorageEntry::Flags() const { return LoadLittleEndian<std::uint32_t>(record + kEntryFlagsOffset); }

bool CStorageEntry::StoredCompressed() const {
  return (Flags() & kEntryCompressed) != 0 && static_cast<std::int64_t>(StoredLength()) != Size();
}

std::uint32_t CStorageEntry::EffectiveFlags() const {
  std::uint32_t flags = Flags() & ~kEntryRunTimeMask;
  if (open) flags |= readOnly ? kEntryOpenReadOnly : kEntryOpenWritable;
  return flags;
}

std::int32_t CStorageEntry::StoredLength() const {
  return LoadLittleEndian<std::int32_t>(record + kEntryStoredLengthOffset);
}
std::int64_t CStorageEntry::FirstBlock() const { return LoadLittleEndian<std::int64_t>(record + kEntryFirstBlockOffset); }
std::int64_t CStorageEntry::Size() const { return LoadLittleEndian<std::int64_t>(record + kEntrySizeOffset); }
std::int64_t CStorageEntry::HeadOffset() const { return LoadLittleEndian<std::int64_t>(record + kEntryHeadOffsetOffset); }

void CStorageEntry::CopyRecordForSave(std::uint8_t* out) {
  CLockGuard guard(recordLock_);
  std::memcpy(out, record, kEntryRecordSize);
  dirty = false;
}

void CStorageEntry::CopyRecord(std::uint8_t* out) {
  CLockGuard guard(recordLock_);
  std::memcpy(out, record, kEntryRecordSize);
}

template <typename T>
void CStorageEntry::SetField(int offset, T value) {
  CLockGuard guard(recordLock_);
  if (LoadLittleEndian<T>(record + offset) == value) return;
  StoreLittleEndian<T>(record + offset, value);
  dirty = true;
}

void CStorageEntry::SetStoredLength(std::int32_t value) { SetField(kEntryStoredLengthOffset, value); }
void CStorageEntry::SetFirstBlock(std::int64_t value) { SetField(kEntryFirstBlockOffset, value); }
void CStorageEntry::SetSize(std::int64_t value) { SetField(kEntrySizeOffset, value); }
void CStorageEntry::SetFlags(std::uint32_t flags) { SetField(kEntryFlagsOffset, flags); }

bool CStorageEntry::SetName(const std::u16string& name) {
  if (name.empty() || name.size() >= static_cast<std::size_t>(kEntryNameUnits)) return false;
  std::uint8_t field[2 * kEntryNameUnits] = {};
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == 0) return false;
    StoreLittleEndian<std::uint16_t>(field + 2 * i, name[i]);
  }
  CLockGuard guard(recordLock_);
  if (std::memcmp(field, record + kEntryNameOffset, sizeof(field)) != 0) {
    std::memcpy(record + kEntryNameOffset, field, sizeof(field));
    dirty = true;
  }
  return true;
}

}  // namespace qss

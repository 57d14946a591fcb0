#include "ContainerAccess.h"

#include <cstring>

#include "Container/CBlockAllocationTable.h"
#include "TextCodec.h"
#include "qss/ResultText.h"

using namespace qss;

namespace qss_tool {

ReadOnlyArray OpenArrayReadOnly(const std::filesystem::path& base) {
  ReadOnlyArray opened;
  opened.array = CQssRef<CMultiFileArray>(new CMultiFileArray(
      base, native_file::kGenericRead, native_file::kShareRead, native_file::kAttributeNormal));
  opened.result = opened.array->Open();
  if (opened.result == kQssNotFound) {
    // The array says only that it found no first segment; the system says
    // why ("No such file or directory", "Permission denied"), which is what
    // the user needs to hear.
    std::unique_ptr<NativeFile> file;
    const QssResult direct = NativeFile::Open(base, native_file::kGenericRead, native_file::kShareRead,
                                              native_file::kOpenExisting, native_file::kAttributeNormal, &file);
    if (QssFailed(direct)) opened.result = direct;
  }
  return opened;
}

OpenedContainer OpenContainerReadOnly(const std::filesystem::path& base) {
  OpenedContainer opened;
  ReadOnlyArray array = OpenArrayReadOnly(base);
  opened.array = array.array;
  if (QssFailed(array.result)) {
    opened.result = array.result;
    opened.failure = "cannot open " + DisplayPath(base);
    if (native_file::IsTooManyOpenFiles(array.result)) {
      std::int32_t segments = 0;
      std::int64_t length = 0;
      while (segments < kMaxSegmentCount &&
             QssSucceeded(NativeFile::QueryLength(CMultiPhysicalByteArray::SegmentName(base, segments + 1), &length)))
        ++segments;
      opened.failure += ": too many files are open for its " + std::to_string(segments) + " segment files";
    }
    return opened;
  }
  // The root directory is loaded while the root storage is built; a damaged
  // header record could make that read run on through a looping chain.
  // Anything else wrong with the header is for the library to report.
  std::int64_t bytes = 0;
  std::uint8_t header[kContainerHeaderSize] = {};
  std::uint32_t got = 0;
  if (QssSucceeded(opened.array->GetSize(&bytes)) &&
      QssSucceeded(opened.array->ReadAt(0, header, kContainerHeaderSize, &got)) && got == kContainerHeaderSize &&
      std::memcmp(header, kContainerMagic, sizeof(kContainerMagic)) == 0) {
    CStorageEntry rootEntry;
    std::memcpy(rootEntry.record, header + kRootEntryOffset, kEntryRecordSize);
    if (QssFailed(CheckEntryFits(rootEntry, false, bytes))) {
      opened.result = kQssNotAContainer;
      opened.failure = "cannot open " + DisplayPath(base) + ": its root directory is larger than the file";
      return opened;
    }
  }
  auto* root = new CRootStorage(opened.array.get());
  if (!root->valid()) {
    opened.result = root->status();
    opened.failure = "cannot open " + DisplayPath(base);
    // A root storage that did not open holds only its array; its creator
    // destroys it directly, and nothing is written.
    delete root;
    return opened;
  }
  opened.root = CQssRef<CRootStorage>(root);
  if (QssFailed(opened.array->GetSize(&opened.bytes))) opened.bytes = 0;
  return opened;
}

bool SplitEntryPath(std::string_view path, std::vector<std::u16string>* components) {
  components->clear();
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) {
      std::u16string component;
      if (!Utf8ToUtf16(path.substr(start, end - start), &component)) return false;
      components->push_back(std::move(component));
    }
    start = end + 1;
  }
  return true;
}

bool ParseEntryPath(std::string_view path, std::vector<std::u16string>* components, std::string* error) {
  if (!SplitEntryPath(path, components)) {
    *error = "PATH is not valid UTF-8";
    return false;
  }
  if (components->size() > static_cast<std::size_t>(kMaxTreeDepth)) {
    *error = "PATH has " + std::to_string(components->size()) + " names; entries lie at most " +
             std::to_string(kMaxTreeDepth) + " levels deep";
    return false;
  }
  return true;
}

std::string JoinEntryPath(const std::vector<std::u16string>& components, std::size_t count) {
  std::string joined;
  for (std::size_t i = 0; i < count && i < components.size(); ++i) {
    if (i > 0) joined.push_back('\\');
    joined += PrintableName(components[i]);
  }
  return joined;
}

int FailToOpenEntry(ToolContext& context, std::string_view command, std::string_view what,
                    const std::vector<std::u16string>& components, std::size_t failedAt, QssResult result) {
  const std::string prefix = std::string(command) + ": ";
  if (result == kQssNotFound && failedAt < components.size()) {
    const std::string parent = failedAt == 0 ? "the root" : "'" + JoinEntryPath(components, failedAt) + "'";
    return FailSaid(context,
                    prefix + QssResultText(result) + " '" + PrintableName(components[failedAt]) + "' in " + parent,
                    result);
  }
  return Fail(context, prefix + "cannot open " + std::string(what) + " '" + JoinEntryPath(components, failedAt + 1) + "'",
              result);
}

const CStorageEntry* FirstEntryNamed(CStorage* storage, const std::u16string& name) {
  for (std::int32_t i = 0; i < storage->EntryCount(); ++i) {
    const CStorageEntry* entry = storage->EntryAt(i);
    if (entry != nullptr && entry->NameEquals(name.c_str())) return entry;
  }
  return nullptr;
}

QssResult CheckEntryFits(const CStorageEntry& entry, bool asStream, std::int64_t containerBytes) {
  const std::int64_t size = entry.Size();
  const std::int64_t stored = entry.StoredLength();
  const bool compressedImage = asStream && (entry.Flags() & kEntryCompressed) != 0 && stored != size;
  if (!compressedImage) {
    // The chain holds the bytes from the head offset on; those before it
    // are not stored, so a large head offset does not make the size lie.
    const std::int64_t head = entry.HeadOffset();
    if (size < 0 || head < 0 || head > size) return kQssNotAContainer;
    return size - head <= containerBytes ? kQssOk : kQssNotAContainer;
  }
  if (stored < 0 || stored > containerBytes) return kQssNotAContainer;
  if (size < 0 || size > kMaxCompressibleSize || size > stored * kMaxLz4Ratio + 64) return kQssNotAContainer;
  return kQssOk;
}

namespace {
// The first entry of that name must fit the container before the library
// sizes anything from it.
QssResult CheckNamedEntryFits(CStorage* parent, const std::u16string& name, bool asStream,
                              std::int64_t containerBytes) {
  const CStorageEntry* entry = FirstEntryNamed(parent, name);
  return entry ? CheckEntryFits(*entry, asStream, containerBytes) : kQssOk;
}
}  // namespace

QssResult OpenChildStorage(CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                           CStorage** child) {
  const QssResult fits = CheckNamedEntryFits(parent, name, false, containerBytes);
  return QssFailed(fits) ? fits : parent->OpenStorage(name.c_str(), 0, child);
}

QssResult OpenChildStream(CStorage* parent, const std::u16string& name, std::int64_t containerBytes,
                          CStream** child) {
  const QssResult fits = CheckNamedEntryFits(parent, name, true, containerBytes);
  return QssFailed(fits) ? fits : parent->OpenStream(name.c_str(), 0, child);
}

QssResult OpenStoragePath(const OpenedContainer& container, const std::vector<std::u16string>& components,
                          std::size_t count, CQssRef<CStorage>* storage, std::size_t* failedAt) {
  CQssRef<CStorage> current(container.root.get());
  for (std::size_t i = 0; i < count; ++i) {
    CStorage* child = nullptr;
    const QssResult result = OpenChildStorage(current.get(), components[i], container.bytes, &child);
    if (QssFailed(result)) {
      *failedAt = i;
      return result;
    }
    current = CQssRef<CStorage>::Attach(child);
  }
  *storage = current;
  return kQssOk;
}

EntryInfo DescribeEntry(const CStorageEntry& entry) {
  EntryInfo info;
  info.name = entry.Name();
  info.nameTerminated = entry.NameIsTerminated();
  info.flags = entry.Flags() & ~kEntryRunTimeMask;
  info.kind = info.flags & kEntryKindMask;
  info.size = entry.Size();
  info.storedLength = entry.StoredLength();
  info.firstBlock = entry.FirstBlock();
  info.headOffset = entry.HeadOffset();
  // The format decides the mode by the lengths: flag 0x20 on content that
  // did not shrink is stored plain.
  info.compressed = (info.flags & kEntryCompressed) != 0 && info.storedLength != info.size;
  return info;
}

std::string EntryJsonMembers(const EntryInfo& info) {
  std::string json = "{\"name\": " + JsonString(Utf16ToUtf8(info.name));
  json += ", \"kind\": " + std::to_string(info.kind);
  json += ", \"flags\": " + std::to_string(info.flags);
  json += ", \"size\": " + std::to_string(info.size);
  json += ", \"storedLength\": " + std::to_string(info.storedLength);
  json += ", \"firstBlock\": " + std::to_string(info.firstBlock);
  json += ", \"headOffset\": " + std::to_string(info.headOffset);
  json += std::string(", \"compressed\": ") + (info.compressed ? "true" : "false");
  return json;
}

}  // namespace qss_tool

#include "ContainerAccess.h"

#include "TextCodec.h"
#include "qss/NativeFile.h"
#include "qss/ResultText.h"

using namespace qss;

namespace qss_tool {

ReadOnlyArray OpenArrayReadOnly(const std::filesystem::path& base) {
  ReadOnlyArray opened;
  opened.result = OpenContainerBytes(base, OpenMode::kReadOnly, &opened.array, &opened.files);
  return opened;
}

OpenedContainer OpenContainerReadOnly(const std::filesystem::path& base) {
  OpenedContainer opened;
  ReadOnlyArray array = OpenArrayReadOnly(base);
  opened.array = array.array;
  opened.files = array.files;
  if (QssFailed(array.result)) {
    opened.result = array.result;
    opened.failure = "cannot open " + DisplayPath(base);
    if (native_file::IsTooManyOpenFiles(array.result)) {
      std::int32_t segments = 0;
      std::int64_t length = 0;
      while (segments < kMaxSegmentCount &&
             QssSucceeded(NativeFile::QueryLength(SegmentFileName(base, segments + 1), &length)))
        ++segments;
      opened.failure += ": too many files are open for its " + std::to_string(segments) + " segment files";
    }
    return opened;
  }
  opened.result = CRootStorage::Open(opened.array.get(), &opened.root);
  if (QssFailed(opened.result)) {
    opened.failure = "cannot open " + DisplayPath(base);
    if (QssFailed(CRootStorage::CheckRootDirectoryFits(opened.array.get())))
      opened.failure += ": its root directory is larger than the file";
    return opened;
  }
  // The commands only read: nothing is saved back, not even the header record.
  opened.root->rootEntry()->readOnly = true;
  if (QssFailed(opened.array->GetSize(&opened.bytes))) opened.bytes = 0;
  return opened;
}

bool SplitEntryPath(std::string_view path, std::vector<std::u16string>* components) {
  components->clear();
  std::u16string converted;
  // The separators are single bytes in UTF-8 and never part of a longer
  // sequence, so the path is valid exactly when every component is.
  if (!Utf8ToUtf16(path, &converted)) return false;
  *components = qss::SplitEntryPath(converted);
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
    // Built by appending: GCC 12 warns falsely about "'" + std::string here.
    std::string parent = "the root";
    if (failedAt > 0) {
      parent.assign(1, '\'');
      parent += JoinEntryPath(components, failedAt);
      parent.push_back('\'');
    }
    return FailSaid(context,
                    prefix + QssResultText(result) + " '" + PrintableName(components[failedAt]) + "' in " + parent,
                    result);
  }
  return Fail(context, prefix + "cannot open " + std::string(what) + " '" + JoinEntryPath(components, failedAt + 1) + "'",
              result);
}

std::string CopyProblem(const StreamCopyReport& report, CStream* stream) {
  switch (report.stage) {
    case StreamCopyReport::Stage::kDone:
      return {};
    case StreamCopyReport::Stage::kBadHeadOffset:
      return "the entry's head offset " + std::to_string(stream->entry()->HeadOffset()) + " lies outside its size " +
             std::to_string(stream->entry()->Size());
    case StreamCopyReport::Stage::kSeek:
      return "seek to the head offset failed";
    case StreamCopyReport::Stage::kRead:
      return "read failed at byte " + std::to_string(report.copied);
    case StreamCopyReport::Stage::kSink:
      return "the output could not be written";
    case StreamCopyReport::Stage::kEndedEarly:
      return "the stream ended after " + std::to_string(report.copied) + " of " + std::to_string(report.expected) +
             " bytes";
  }
  return {};
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
  info.compressed = entry.StoredCompressed();
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

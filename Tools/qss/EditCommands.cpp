#include "EditCommands.h"

#include <functional>
#include <memory>
#include <vector>

#include "ContainerAccess.h"
#include "ContainerRewrite.h"
#include "qss/AlignedBuffer.h"
#include "qss/NativeFile.h"
#include "TextCodec.h"
#include "qss/CContainerFileWriter.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/ContainerEditing.h"
#include "qss/ContainerFile.h"
#include "qss/ContainerInfo.h"
#include "qss/EntryPath.h"

using namespace qss;

namespace qss_tool {

namespace {

// 'text'. Built by appending: "'" + a temporary string makes GCC 12 warn
// about an overlap that cannot happen.
std::string Quoted(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  quoted += text;
  quoted += '\'';
  return quoted;
}

namespace fs = std::filesystem;

constexpr std::uint32_t kPiece = 1 << 20;
constexpr std::size_t kOffPath = static_cast<std::size_t>(-1);

// The next piece of some content; *got 0 at its end.
using PieceReader = std::function<QssResult(char* buffer, std::uint32_t size, std::uint32_t* got)>;

// Stores what read yields into a new stream as pack stores a file: a plain
// stream gets its length first (its blocks then follow each other) and the
// bytes in pieces; a compressed one its whole content in one Write, which
// is what decides its compression.
QssResult WriteContent(CStream* stream, bool compressed, std::int64_t size, const PieceReader& read) {
  if (compressed) {
    std::vector<char> buffer;
    AlignedBuffer piece(kPiece);
    for (;;) {
      std::uint32_t got = 0;
      if (QssResult result = read(piece.data(), kPiece, &got); QssFailed(result)) return result;
      if (got == 0) break;
      buffer.insert(buffer.end(), piece.data(), piece.data() + got);
      if (static_cast<std::int64_t>(buffer.size()) > kMaxCompressibleSize) return kQssInvalidArgument;
    }
    if (buffer.empty()) return kQssOk;
    std::uint32_t written = 0;
    const QssResult result = stream->Write(buffer.data(), static_cast<std::int32_t>(buffer.size()), &written);
    return QssSucceeded(result) && written != buffer.size() ? kQssWriteFault : result;
  }
  if (size > 0) {
    if (QssResult result = stream->SetSize(size); QssFailed(result)) return result;
  }
  AlignedBuffer piece(kPiece);
  std::int64_t total = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (QssResult result = read(piece.data(), kPiece, &got); QssFailed(result)) return result;
    if (got == 0) break;
    std::uint32_t written = 0;
    const QssResult result = stream->Write(piece.data(), static_cast<std::int32_t>(got), &written);
    if (QssFailed(result)) return result;
    if (written != got) return kQssWriteFault;
    total += got;
  }
  // Content that turned out shorter keeps only what was read.
  return total < size ? stream->SetSize(total) : kQssOk;
}

PieceReader FileReader(NativeFile* file) {
  auto offset = std::make_shared<std::int64_t>(0);
  return [file, offset](char* buffer, std::uint32_t size, std::uint32_t* got) {
    const QssResult result = file->ReadAt(*offset, buffer, size, got);
    if (QssSucceeded(result)) *offset += *got;
    return result;
  };
}

PieceReader StreamReader(CStream* stream) {
  return [stream](char* buffer, std::uint32_t size, std::uint32_t* got) {
    return stream->Read(buffer, static_cast<std::int32_t>(size), got);
  };
}

// The file put reads, opened and measured before anything is written.
struct Source {
  std::unique_ptr<NativeFile> file;
  std::int64_t size = 0;
};

int OpenSourceFile(const EditRequest& request, ToolContext& context, Source* source) {
  const std::string prefix = request.command + ": ";
  QssResult result = NativeFile::Open(request.file, native_file::kGenericRead, native_file::kShareRead,
                                      native_file::kOpenExisting, native_file::kAttributeNormal, &source->file);
  if (QssSucceeded(result)) result = source->file->GetSize(&source->size);
  if (QssFailed(result)) return Fail(context, prefix + "cannot read " + DisplayPath(request.file), result);
  if (request.compress && source->size > kMaxCompressibleSize) {
    return Fail(context, prefix + DisplayPath(request.file) + ": " + std::to_string(source->size) +
                             " bytes are more than a compressed stream can hold (2113929216)");
  }
  return kExitOk;
}

// Walks the path in the container as it is and says what stands in the way
// of the change, before anything is written.
int CheckAgainstContainer(const EditRequest& request, ToolContext& context) {
  const std::string prefix = request.command + ": ";
  OpenedContainer container = OpenContainerReadOnly(request.container);
  if (!container.root) return Fail(context, prefix + container.failure, container.result);
  const std::vector<std::u16string>& names = request.names;
  CQssRef<CStorage> current(container.root.get());
  std::int64_t bytes = container.bytes;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    const std::string path = Quoted(JoinEntryPath(names, i + 1));
    const CStorageEntry* entry = FirstEntryNamed(current.get(), names[i]);
    if (entry == nullptr) {
      if (request.kind == EditRequest::Kind::kRemove)
        return FailToOpenEntry(context, request.command, "entry", names, i, kQssNotFound);
      return kExitOk;  // made with the change
    }
    const std::uint32_t kind = entry->Kind();
    if (!last) {
      if (kind == kEntryStream) return Fail(context, prefix + path + " is a stream, not a storage");
      if (kind != kEntryStorage && kind != kKindNestedContainer) return Fail(context, prefix + path + " is not a storage");
      if (kind == kKindNestedContainer && !request.safe) {
        return Fail(context, prefix + path + " is a nested container; changes inside one are made only with --safe, "
                                             "which writes the whole container anew");
      }
      CQssRef<CStorage> child;
      const QssResult result = OpenChildStorage(current.get(), names[i], bytes, &child);
      if (QssFailed(result)) return FailToOpenEntry(context, request.command, "storage", names, i, result);
      current = child;
      bytes = ContainerBytes(current.get());
      continue;
    }
    switch (request.kind) {
      case EditRequest::Kind::kPut:
        if (kind == kEntryStorage || kind == kKindNestedContainer)
          return Fail(context, prefix + path + " is a storage; put writes streams only");
        if (kind != kEntryStream) return Fail(context, prefix + path + " is not a stream");
        break;
      case EditRequest::Kind::kMakeStorage:
        return Fail(context, prefix + path + " already exists");
      case EditRequest::Kind::kRemove:
        if (request.recursive) break;
        if (kind == kKindNestedContainer)
          return Fail(context, prefix + path + " is a nested container; -r removes it with everything in it");
        if (kind == kEntryStorage) {
          CQssRef<CStorage> child;
          const QssResult result = OpenChildStorage(current.get(), names[i], bytes, &child);
          if (QssFailed(result)) return FailToOpenEntry(context, request.command, "storage", names, i, result);
          if (child->EntryCount() > 0 || QssFailed(child->loadStatus()))
            return Fail(context, prefix + path + " is a storage that is not empty; -r removes it with everything in it");
        }
        break;
    }
  }
  return kExitOk;
}

// The change in place; *noRoom when the container's table has no room for
// it (nothing changed then).
int EditInPlace(const EditRequest& request, Source* source, ToolContext& context, bool* noRoom) {
  const std::string prefix = request.command + ": ";
  CQssRef<CRootStorage> root;
  QssResult result = OpenContainerFile(request.container, OpenMode::kReadWrite, &root);
  if (QssFailed(result)) return Fail(context, prefix + "cannot open " + DisplayPath(request.container) + " for writing", result);
  std::size_t failedAt = 0;
  switch (request.kind) {
    case EditRequest::Kind::kPut:
      result = PutStream(root.get(), request.names, request.compress, [&](CStream* stream) {
        return WriteContent(stream, request.compress, source->size, FileReader(source->file.get()));
      }, &failedAt);
      break;
    case EditRequest::Kind::kMakeStorage:
      result = MakeStorage(root.get(), request.names, &failedAt);
      break;
    case EditRequest::Kind::kRemove:
      result = RemoveEntry(root.get(), request.names, request.recursive, &failedAt);
      break;
  }
  if (result == kQssNoRoomInPlace) {
    *noRoom = true;
    return kExitOk;
  }
  if (QssFailed(result)) {
    return Fail(context, prefix + "cannot change '" + JoinEntryPath(request.names, request.names.size()) + "' in " +
                             DisplayPath(request.container) + " (it holds the old state or the new one)",
                result);
  }
  return kExitOk;
}

// Copies a container into a new one with the change made on the way.
class Copier {
 public:
  Copier(const EditRequest& request, Source* source) : request_(request), source_(source) {}

  // Copies the entries of from into to in from's order; level is the index
  // of the name of request.names that lies in from (kOffPath: none).
  bool CopyStorage(CStorage* from, CStorage* to, std::size_t level, int depth) {
    if (depth >= kMaxTreeDepth) return Failed("storages nest deeper than " + std::to_string(kMaxTreeDepth) + " levels", kQssNotAContainer);
    const std::u16string* changed = level == kOffPath ? nullptr : &request_.names[level];
    const bool adds = request_.kind != EditRequest::Kind::kRemove;
    bool done = changed == nullptr;
    const std::int64_t bytes = ContainerBytes(from);
    for (std::int32_t i = 0; i < from->EntryCount(); ++i) {
      const CStorageEntry* entry = from->EntryAt(i);
      const std::u16string name = entry->Name();
      if (!done && name == *changed) {
        done = true;
        if (level + 1 < request_.names.size()) {
          if (!CopyEntry(from, *entry, bytes, to, level + 1, depth)) return false;
        } else if (request_.kind == EditRequest::Kind::kPut) {
          if (!PutNew(to)) return false;
        }
        continue;
      }
      // A new entry goes where pack would have put it.
      if (!done && adds && name > *changed) {
        done = true;
        if (!AddNew(to, level, depth)) return false;
      }
      if (!CopyEntry(from, *entry, bytes, to, kOffPath, depth)) return false;
    }
    if (!done && adds && !AddNew(to, level, depth)) return false;
    return true;
  }

  const std::string& failure() const { return failure_; }
  QssResult failureResult() const { return failureResult_; }

 private:
  bool Failed(const std::string& message, QssResult result) {
    failure_ = message;
    failureResult_ = result;
    return false;
  }
  static std::string Where(const std::u16string& name) { return Quoted(PrintableName(name)); }

  bool PutNew(CStorage* to) {
    const std::u16string& name = request_.names.back();
    CQssRef<CStream> stream;
    QssResult result = to->CreateStream(name.c_str(), request_.compress, stream.Receive());
    if (QssSucceeded(result))
      result = WriteContent(stream.get(), request_.compress, source_->size, FileReader(source_->file.get()));
    return QssSucceeded(result) || Failed("cannot write the stream " + Where(name), result);
  }

  // The missing rest of the path from names[level] on, and at its end the
  // new stream or storage.
  bool AddNew(CStorage* to, std::size_t level, int depth) {
    const std::u16string& name = request_.names[level];
    if (level + 1 == request_.names.size() && request_.kind == EditRequest::Kind::kPut) return PutNew(to);
    CQssRef<CStorage> storage;
    const QssResult result = to->CreateStorage(name.c_str(), storage.Receive());
    if (QssFailed(result)) return Failed("cannot create the storage " + Where(name), result);
    if (level + 1 == request_.names.size()) return true;
    return AddNew(storage.get(), level + 1, depth + 1);
  }

  bool CopyEntry(CStorage* from, const CStorageEntry& entry, std::int64_t bytes, CStorage* to, std::size_t level,
                 int depth) {
    const std::u16string name = entry.Name();
    const std::uint32_t kind = entry.Kind();
    if (kind == kEntryStream) {
      CQssRef<CStream> source;
      QssResult result = OpenChildStream(from, name, bytes, &source);
      if (QssFailed(result)) return Failed("cannot read the stream " + Where(name), result);
      const bool compressed = (entry.Flags() & kEntryCompressed) != 0;
      CQssRef<CStream> copy;
      result = to->CreateStream(name.c_str(), compressed, copy.Receive());
      if (QssSucceeded(result)) result = source->Seek(entry.HeadOffset(), kSeekBegin, nullptr);
      if (QssSucceeded(result))
        result = WriteContent(copy.get(), compressed, entry.Size() - entry.HeadOffset(), StreamReader(source.get()));
      return QssSucceeded(result) || Failed("cannot copy the stream " + Where(name), result);
    }
    if (kind != kEntryStorage && kind != kKindNestedContainer)
      return Failed("the entry " + Where(name) + " of kind " + std::to_string(kind) + " cannot be written anew",
                    kQssInvalidRequest);
    CQssRef<CStorage> source;
    QssResult result = OpenChildStorage(from, name, bytes, &source);
    if (QssFailed(result)) return Failed("cannot open the storage " + Where(name), result);
    CQssRef<CStorage> copy;
    if (kind == kEntryStorage) {
      result = to->CreateStorage(name.c_str(), copy.Receive());
    } else {
      // A nested container keeps its own layout.
      ContainerLayout layout;
      auto* nested = dynamic_cast<CRootStorage*>(source.get());
      result = nested != nullptr ? InspectLayout(nested, &layout) : kQssNotAContainer;
      CRootStorage* created = nullptr;
      if (QssSucceeded(result)) result = to->CreateNestedContainer(name.c_str(), layout.entryWidth, layout.blockSize, &created);
      if (QssSucceeded(result)) copy = CQssRef<CStorage>::Attach(created);
    }
    if (QssFailed(result)) return Failed("cannot create the storage " + Where(name), result);
    return CopyStorage(source.get(), copy.get(), level, depth + 1);
  }

  const EditRequest& request_;
  Source* source_;
  std::string failure_;
  QssResult failureResult_ = kQssOk;
};

// The change made by writing the whole container anew beside it and moving
// that over it, as pack does.
int Rewrite(const EditRequest& request, Source* source, ToolContext& context) {
  const std::string prefix = request.command + ": ";
  const std::string unchanged = prefix + DisplayPath(request.container) + " is unchanged";
  OpenedContainer old = OpenContainerReadOnly(request.container);
  if (!old.root) return Fail(context, prefix + old.failure, old.result);
  ContainerLayout layout;
  if (QssResult result = InspectLayout(old.root.get(), &layout); QssFailed(result))
    return Fail(context, prefix + "cannot read the layout of " + DisplayPath(request.container), result);
  CContainerFileWriter writer(request.container,
                              old.files.segments > 1 && old.files.segmentSize > 0 ? old.files.segmentSize : kDefaultSegmentSize);
  InterruptGuard interrupts(context, request.command, writer, true);
  QssResult result = writer.Start(layout.entryWidth, layout.blockSize);
  if (QssFailed(result)) {
    Fail(context, prefix + "cannot create the new container " + DisplayPath(writer.temporaryPath()), result);
    return Fail(context, unchanged);
  }
  Copier copier(request, source);
  if (!copier.CopyStorage(old.root.get(), writer.root(), 0, 0)) {
    writer.Discard();
    Fail(context, prefix + copier.failure(), copier.failureResult());
    return Fail(context, unchanged);
  }
  // Closed before the new container moves over it.
  old = OpenedContainer();
  result = writer.Seal();
  if (QssFailed(result)) {
    Fail(context, prefix + "cannot complete the new container", result);
    return Fail(context, unchanged);
  }
  return CheckAndReplace(context, request.command, writer, interrupts, unchanged, nullptr, ThreadsPerCore());
}

}  // namespace

int RunEditCommand(EditRequest request, const ParsedCommandLine& parsed, const char* what, ToolContext& context) {
  const std::string& command = request.command;
  request.container = PathFromArgument(parsed.operands[0]);
  request.safe = parsed.Has("safe");
  std::string error;
  if (!ParseEntryPath(parsed.operands[1], &request.names, &error))
    return UsageError(context, command, command + ": " + error);
  if (request.names.empty())
    return UsageError(context, command, command + ": PATH must name " + what + ", not the root");
  return RunEdit(request, context);
}

int RunEdit(const EditRequest& request, ToolContext& context) {
  Source source;
  if (request.kind == EditRequest::Kind::kPut) {
    if (int code = OpenSourceFile(request, context, &source); code != kExitOk) return code;
  }
  if (int code = CheckAgainstContainer(request, context); code != kExitOk) return code;
  if (!request.safe) {
    bool noRoom = false;
    const int code = EditInPlace(request, &source, context, &noRoom);
    if (!noRoom) return code;
    Note(context, request.command + ": the container's allocation table has no room for the change in place; "
                                    "writing the container anew as --safe does");
  }
  return Rewrite(request, &source, context);
}

}  // namespace qss_tool

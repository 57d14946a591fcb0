#include "qss/CContainerFileWriter.h"

#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <utility>

#include "ByteArrays/CMultiFileArray.h"
#include "ByteArrays/CWriteCombiningArray.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CRootStorage.h"
#include "qss/CreateContainer.h"
#include "qss/NativeFile.h"

namespace qss {

namespace {

constexpr const char* kTemporaryMarker = ".qss-tmp-";

// Temporary base files that writers of this process are building. A stray
// temporary carrying this process's own id is left over from an earlier
// process that had the same id, unless a writer here holds it.
std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}
std::set<std::filesystem::path>& Registry() {
  static std::set<std::filesystem::path> paths;
  return paths;
}

bool IsDigit(std::filesystem::path::value_type c) { return c >= '0' && c <= '9'; }

// The process id in a temporary's name after the marker ("1234" or
// "1234.F0002"); false when the rest is not of that form.
bool ParseTemporarySuffix(const std::filesystem::path::string_type& rest, std::uint32_t* processId) {
  std::size_t at = 0;
  std::uint64_t id = 0;
  while (at < rest.size() && IsDigit(rest[at]) && at < 10) {
    id = id * 10 + static_cast<std::uint64_t>(rest[at] - '0');
    ++at;
  }
  if (at == 0 || id > 0xFFFFFFFFu) return false;
  if (at < rest.size()) {
    // ".F" and four digits: a segment.
    if (rest.size() - at != 6 || rest[at] != '.' || rest[at + 1] != 'F') return false;
    for (std::size_t i = at + 2; i < rest.size(); ++i) {
      if (!IsDigit(rest[i])) return false;
    }
  }
  *processId = static_cast<std::uint32_t>(id);
  return true;
}

bool NameExists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool IsFolder(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_directory(std::filesystem::symlink_status(path, ec));
}

}  // namespace

// The writer's segment files: created as new files only, each recorded in
// the writer's list as soon as it exists.
class CContainerFileWriter::TemporaryArray final : public CMultiFileArray {
 public:
  TemporaryArray(std::filesystem::path basePath, std::int64_t segmentSize, std::shared_ptr<TemporaryFileList> files)
      : CMultiFileArray(std::move(basePath), native_file::kGenericRead | native_file::kGenericWrite,
                        // Deletable while open: on Windows an interrupted
                        // writer deletes its files before the handles close.
                        native_file::kShareRead | native_file::kShareDelete, native_file::kAttributeNormal,
                        segmentSize, native_file::kCreateNew),
        files_(std::move(files)) {}

  // The writer deletes exactly the files it created; deleting by name, as
  // the base class would, could take a file of that name someone else made.
  QssResult Remove() override { return kQssOk; }

 protected:
  // Listed before the file exists, so that an interrupt at any moment after
  // its creation finds it; unlisted again when it could not be made.
  QssResult CreateSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) override {
    files_->Add(name);
    const QssResult result = CMultiFileArray::CreateSegment(name, segment);
    if (QssFailed(result)) files_->DropNewest();
    return result;
  }

 private:
  std::shared_ptr<TemporaryFileList> files_;
};

void CContainerFileWriter::TemporaryFileList::Add(const std::filesystem::path& path) {
  auto record = std::make_unique<TemporaryFile>();
  record->path = path;
  record->next = newest.load(std::memory_order_acquire);
  const TemporaryFile* linked = record.get();
  records.push_back(std::move(record));
  newest.store(linked, std::memory_order_release);
}

void CContainerFileWriter::TemporaryFileList::DropNewest() {
  // The record itself stays allocated: a handler may be walking past it.
  const TemporaryFile* dropped = newest.load(std::memory_order_acquire);
  if (dropped != nullptr) newest.store(dropped->next, std::memory_order_release);
}

CContainerFileWriter::CContainerFileWriter(std::filesystem::path destination, std::int64_t segmentSize)
    : destination_(std::move(destination)),
      temporaryPath_(TemporaryPathFor(destination_, native_file::CurrentProcessId())),
      segmentSize_(segmentSize),
      temporaryFiles_(std::make_shared<TemporaryFileList>()) {}

CContainerFileWriter::~CContainerFileWriter() {
  Discard();
  ReleaseRegistration();
}

std::filesystem::path CContainerFileWriter::TemporaryPathFor(const std::filesystem::path& destination,
                                                             std::uint32_t processId) {
  std::filesystem::path name = ".";
  name += destination.filename();
  name += kTemporaryMarker;
  name += std::to_string(processId);
  return destination.parent_path() / name;
}

std::filesystem::path CContainerFileWriter::Folder() const {
  const std::filesystem::path folder = destination_.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

std::filesystem::path CContainerFileWriter::DestinationSegment(std::int32_t n) const {
  return CMultiPhysicalByteArray::SegmentName(destination_, n);
}

std::filesystem::path CContainerFileWriter::TemporarySegment(std::int32_t n) const {
  return CMultiPhysicalByteArray::SegmentName(temporaryPath_, n);
}

void CContainerFileWriter::ReleaseRegistration() {
  if (!registered_) return;
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry().erase(temporaryPath_);
  registered_ = false;
}

void CContainerFileWriter::RemoveStrayTemporaries() const {
  std::filesystem::path prefixPath = ".";
  prefixPath += destination_.filename();
  prefixPath += kTemporaryMarker;
  const std::filesystem::path::string_type& prefix = prefixPath.native();
  const std::uint32_t self = native_file::CurrentProcessId();
  std::error_code ec;
  std::filesystem::directory_iterator it(Folder(), ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::filesystem::path::string_type name = it->path().filename().native();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::uint32_t owner = 0;
    if (!ParseTemporarySuffix(name.substr(prefix.size()), &owner)) continue;
    // This process's own id: this writer holds the registration, so no
    // writer of this process is using the name.
    if (owner != self && native_file::ProcessIsAlive(owner)) continue;
    // Another process may be deleting the same stray; whoever wins is right.
    static_cast<void>(NativeFile::Delete(it->path()));
  }
}

QssResult CContainerFileWriter::Start(std::int32_t entryWidth, std::int32_t blockSize) {
  if (state_ != State::kIdle) return kQssInvalidRequest;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    if (!Registry().insert(temporaryPath_).second) return kQssAlreadyOpen;
    registered_ = true;
  }
  RemoveStrayTemporaries();
  state_ = State::kBuilding;

  array_ = CQssRef<CMultiFileArray>(new TemporaryArray(temporaryPath_, segmentSize_, temporaryFiles_));
  QssResult result = array_->Create();
  // Nothing relies on the temporary before Seal, whose flush reports every
  // failure of a write held back: the table is written at the commit, and
  // small writes and growths go to the files together.
  writeArray_ = CQssRef<CPhysicalByteArray>(new CWriteCombiningArray(array_.get()));
  if (QssSucceeded(result)) result = CRootStorage::Create(writeArray_.get(), entryWidth, blockSize, &root_);
  if (QssFailed(result)) {
    Discard();
    return result;
  }
  root_->table()->SetWriteBehind(true);
  return kQssOk;
}

QssResult CContainerFileWriter::Seal() {
  if (state_ != State::kBuilding) return kQssInvalidRequest;
  // A child still open would write into the files after they are synced,
  // or keep them open past the move.
  if (root_->ReferenceCount() != 1) return kQssAlreadyOpen;
  QssResult result = root_->Commit();
  if (QssFailed(result)) {
    Discard();
    return result;
  }
  // The last reference: the header record is written once more and the
  // table's changed blocks reach the files.
  root_.Reset();
  result = writeArray_->Flush();
  if (QssFailed(result)) {
    Discard();
    return result;
  }
  segmentCount_ = array_->segmentCount();
  if (segmentCount_ < 1 || segmentCount_ > kMaxSegmentCount) {
    Discard();
    return kQssInvalidArgument;
  }
  // Closed now: Windows moves no open file, and reading back must see what
  // the disk holds.
  writeArray_.Reset();
  array_.Reset();
  state_ = State::kSealed;
  return kQssOk;
}

QssResult CContainerFileWriter::Replace() {
  if (state_ != State::kSealed) return kQssInvalidRequest;
  damaged_ = false;
  const std::int32_t count = segmentCount_;
  // A folder at any of the names would stop a move half-way.
  for (std::int32_t n = 1; n <= count; ++n) {
    if (IsFolder(DestinationSegment(n))) {
      Discard();
      return kQssInvalidArgument;
    }
  }
  std::int32_t oldCount = count;
  while (oldCount < kMaxSegmentCount && NameExists(DestinationSegment(oldCount + 1))) {
    ++oldCount;
  }

  bool changed = false;
  const auto fail = [&](QssResult result) {
    damaged_ = changed;
    Discard();
    return result;
  };
  for (std::int32_t n = 2; n <= count; ++n) {
    const QssResult moved = NativeFile::MoveOver(TemporarySegment(n), DestinationSegment(n));
    if (QssFailed(moved)) return fail(moved);
    changed = true;
  }
  // Old segments past the new count go before the base file lands, so that
  // the new container is exact from that moment; the highest first, so that
  // what remains is always an unbroken run of segments.
  for (std::int32_t n = oldCount; n > count; --n) {
    const QssResult deleted = NativeFile::Delete(DestinationSegment(n));
    if (QssFailed(deleted)) return fail(deleted);
    changed = true;
  }
  if (changed) {
    // The segments' moves must be on the disk before the base file's move
    // can be, or a crash could keep the new base with old segments.
    const QssResult synced = NativeFile::SyncFolder(Folder());
    if (QssFailed(synced)) return fail(synced);
  }
  const QssResult moved = NativeFile::MoveOver(temporaryPath_, destination_);
  if (QssFailed(moved)) return fail(moved);
  state_ = State::kReplaced;
  ReleaseRegistration();
  return NativeFile::SyncFolder(Folder());
}

void CContainerFileWriter::DeleteTemporaries() {
  for (const TemporaryFile* file = temporaryFiles_->newest.load(std::memory_order_acquire); file != nullptr;
       file = file->next) {
    // Files already moved into place are gone under this name; one that will
    // not go is a stray the next Start removes.
    static_cast<void>(NativeFile::Delete(file->path));
  }
}

void CContainerFileWriter::Discard() {
  if (state_ == State::kReplaced || state_ == State::kDiscarded) return;
  // Closed before deleted: Windows deletes an open file only at its close.
  root_.Reset();
  writeArray_.Reset();
  array_.Reset();
  DeleteTemporaries();
  if (state_ != State::kIdle) state_ = State::kDiscarded;
  ReleaseRegistration();
}

}  // namespace qss

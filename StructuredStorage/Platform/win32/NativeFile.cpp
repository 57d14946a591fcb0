// NativeFile on Windows: one file handle from CreateFileW. Transfers name
// their offset in an OVERLAPPED record, so no shared file position has to be
// moved first. Failures are the thread's last error, mapped by
// QssResultFromSystemError.

#include "qss/NativeFile.h"
#include "qss/NativeFolder.h"

#include <windows.h>

#include <limits>
#include <new>
#include <string>
#include <string_view>

namespace qss {

namespace {

QssResult ResultFromError(DWORD error) { return QssResultFromSystemError(static_cast<std::int64_t>(error)); }
QssResult LastError() { return ResultFromError(GetLastError()); }

OVERLAPPED At(std::int64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  return position;
}

// A length the system gives in two 32-bit halves.
std::int64_t LengthOf(DWORD high, DWORD low) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

class Win32File final : public NativeFile {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  std::intptr_t Handle() const override { return reinterpret_cast<std::intptr_t>(handle_); }

  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) override {
    if (done) *done = 0;
    if (offset < 0 || offset > std::numeric_limits<std::int64_t>::max() - count) {
      return ResultFromError(ERROR_INVALID_PARAMETER);
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    QssResult result = kQssOk;
    while (total < count) {
      OVERLAPPED position = At(offset + total);
      DWORD n = 0;
      if (!ReadFile(handle_, bytes + total, count - total, &n, &position)) {
        const DWORD error = GetLastError();
        if (error != ERROR_HANDLE_EOF) result = ResultFromError(error);
        break;
      }
      if (n == 0) break;  // end of file
      total += n;
    }
    if (done) *done = total;
    return result;
  }

  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
    if (done) *done = 0;
    if (offset < 0 || offset > std::numeric_limits<std::int64_t>::max() - count) {
      return ResultFromError(ERROR_INVALID_PARAMETER);
    }
    // A write past the end grows the file; the system fills the gap with
    // zero bytes.
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t total = 0;
    QssResult result = kQssOk;
    while (total < count) {
      OVERLAPPED position = At(offset + total);
      DWORD n = 0;
      if (!WriteFile(handle_, bytes + total, count - total, &n, &position)) {
        result = LastError();
        break;
      }
      if (n == 0) {  // the system took nothing and gave no reason
        result = ResultFromError(ERROR_WRITE_FAULT);
        break;
      }
      total += n;
    }
    if (done) *done = total;
    return result;
  }

  QssResult GetSize(std::int64_t* size) override {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(handle_, &length)) return LastError();
    if (size) *size = length.QuadPart;
    return kQssOk;
  }

  QssResult SetSize(std::int64_t size) override {
    if (size < 0) return ResultFromError(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER distance;
    distance.QuadPart = size;
    if (!SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN)) return LastError();
    if (!SetEndOfFile(handle_)) return LastError();
    return kQssOk;
  }

  QssResult Flush() override {
    if (!FlushFileBuffers(handle_)) return LastError();
    return kQssOk;
  }

  QssResult SetTimes(FileTime time) override {
    FILETIME stamp;
    stamp.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
    stamp.dwHighDateTime = static_cast<DWORD>(time >> 32);
    if (!SetFileTime(handle_, &stamp, &stamp, &stamp)) return LastError();
    return kQssOk;
  }

 private:
  HANDLE handle_;
};

// FindFirstFileW takes a pattern; a name with wildcards would measure
// whatever file happens to match it.
bool HasWildcard(const std::filesystem::path& path) {
  return std::wstring_view(path.native()).find_first_of(L"*?") != std::wstring_view::npos;
}

}  // namespace

QssResult NativeFile::Open(const std::filesystem::path& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                           std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes,
                           std::unique_ptr<NativeFile>* file) {
  if (file == nullptr) return kQssInvalidPointer;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open at all.
  HANDLE handle = CreateFileW(path.c_str(), desiredAccess, shareMode, nullptr, creationDisposition,
                              flagsAndAttributes & ~static_cast<std::uint32_t>(FILE_FLAG_BACKUP_SEMANTICS), nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  // Consoles, pipes and devices have no size to address.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return ResultFromError(ERROR_INVALID_PARAMETER);
  }
  *file = std::make_unique<Win32File>(handle);
  return kQssOk;
}

QssResult NativeFile::OpenForReadingNoFollow(const std::filesystem::path& path, std::unique_ptr<NativeFile>* file,
                                             native_file::FoundKind* found) {
  return OpenForReadingNoFollow(path, file, found, nullptr);
}

QssResult NativeFile::OpenForReadingNoFollow(const std::filesystem::path& path, std::unique_ptr<NativeFile>* file,
                                             native_file::FoundKind* found, std::int64_t* length) {
  if (found) *found = native_file::FoundKind::kUnknown;
  if (file == nullptr) return kQssInvalidPointer;
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of its target;
  // FILE_FLAG_BACKUP_SEMANTICS lets a folder open, so that it can be named
  // for what it is.
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  native_file::FoundKind kind = native_file::FoundKind::kRegularFile;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    kind = native_file::FoundKind::kSpecial;
  } else if (!GetFileInformationByHandle(handle, &information)) {
    const QssResult result = LastError();
    CloseHandle(handle);
    return result;
  } else if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    kind = native_file::FoundKind::kLink;
  } else if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    kind = native_file::FoundKind::kFolder;
  }
  if (found) *found = kind;
  if (kind != native_file::FoundKind::kRegularFile) {
    CloseHandle(handle);
    return kQssInvalidArgument;
  }
  if (length) *length = LengthOf(information.nFileSizeHigh, information.nFileSizeLow);
  *file = std::make_unique<Win32File>(handle);
  return kQssOk;
}

QssResult NativeFile::ProbeForReading(const std::filesystem::path& path, native_file::FoundKind* found,
                                      std::int64_t* length) {
  // Only an open tells whether a file may be read here.
  std::unique_ptr<NativeFile> file;
  const QssResult opened = OpenForReadingNoFollow(path, &file, found);
  if (QssFailed(opened)) return opened;
  std::int64_t size = 0;
  const QssResult measured = file->GetSize(&size);
  if (QssSucceeded(measured) && length) *length = size;
  return measured;
}

namespace {

// Names the folder calls take: one name, no separator, not empty, not "."
// or "..". Anything else would name the folder itself or reach beyond it.
bool IsPlainName(const std::filesystem::path& name) {
  const std::wstring& text = name.native();
  return !text.empty() && text != L"." && text != L".." && text.find_first_of(L"\\/:") == std::wstring::npos;
}

}  // namespace

// Windows has no calls relative to an open folder: the folder is its path,
// checked once to be a folder, and each call joins the name to it.
QssResult NativeFolder::Open(const std::filesystem::path& path, std::unique_ptr<NativeFolder>* folder) {
  if (folder == nullptr) return kQssInvalidPointer;
  folder->reset();
  const std::filesystem::path name = path.empty() ? std::filesystem::path(L".") : path;
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ResultFromError(ERROR_DIRECTORY);
  folder->reset(new (std::nothrow) NativeFolder(path, -1));
  return *folder == nullptr ? ResultFromError(ERROR_NOT_ENOUGH_MEMORY) : kQssOk;
}

NativeFolder::~NativeFolder() = default;

QssResult NativeFolder::ProbeForReading(const std::filesystem::path& name, native_file::FoundKind* found,
                                        std::int64_t* length) const {
  if (!IsPlainName(name)) {
    if (found) *found = native_file::FoundKind::kUnknown;
    return kQssInvalidArgument;
  }
  return NativeFile::ProbeForReading(path_ / name, found, length);
}

QssResult NativeFolder::OpenForReadingNoFollow(const std::filesystem::path& name, std::unique_ptr<NativeFile>* file,
                                               native_file::FoundKind* found, std::int64_t* length) const {
  if (!IsPlainName(name)) {
    if (found) *found = native_file::FoundKind::kUnknown;
    return kQssInvalidArgument;
  }
  return NativeFile::OpenForReadingNoFollow(path_ / name, file, found, length);
}

QssResult NativeFile::MoveOver(const std::filesystem::path& source, const std::filesystem::path& target) {
  // MOVEFILE_WRITE_THROUGH returns only once the move is on the disk.
  if (!MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastError();
  }
  return kQssOk;
}

QssResult NativeFile::MoveNoReplace(const std::filesystem::path& source, const std::filesystem::path& target) {
  // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
  if (!MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return LastError();
  return kQssOk;
}

QssResult NativeFile::SyncFolder(const std::filesystem::path&) { return kQssOk; }

QssResult NativeFile::Delete(const std::filesystem::path& path) {
  if (!DeleteFileW(path.c_str())) return LastError();
  return kQssOk;
}

QssResult NativeFile::QueryLength(const std::filesystem::path& path, std::int64_t* length) {
  if (HasWildcard(path)) return ResultFromError(ERROR_INVALID_NAME);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(path.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return LastError();
  FindClose(search);
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ResultFromError(ERROR_ACCESS_DENIED);
  if (length) *length = LengthOf(data.nFileSizeHigh, data.nFileSizeLow);
  return kQssOk;
}

namespace native_file {

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

bool ProcessIsAlive(std::uint32_t processId) {
  if (processId == 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // exists, but is not ours to inspect
  DWORD code = 0;
  const bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

QssResult WriteToHandle(std::intptr_t handle, const void* buffer, std::uint32_t count, std::uint32_t* done) {
  if (done) *done = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t total = 0;
  QssResult result = kQssOk;
  while (total < count) {
    DWORD n = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle), bytes + total, count - total, &n, nullptr)) {
      result = LastError();
      break;
    }
    if (n == 0) {
      result = ResultFromError(ERROR_WRITE_FAULT);
      break;
    }
    total += n;
  }
  if (done) *done = total;
  return result;
}

bool HandleIsRegularFile(std::intptr_t handle) {
  return GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK;
}

// Files opened through CreateFileW are bounded only by the system's handle
// table, far beyond the most segments a container can have.
void RaiseOpenFileLimit() {}

bool IsTooManyOpenFiles(QssResult result) { return result == QssResultFromSystemError(ERROR_TOO_MANY_OPEN_FILES); }

std::string SystemErrorText(std::uint32_t error) {
  wchar_t* words = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
      0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
  if (length == 0 || words == nullptr) return std::string();
  std::wstring_view text(words, length);
  // The system ends its messages with a full stop and a line break.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' || text.back() == L'.')) {
    text.remove_suffix(1);
  }
  std::string utf8;
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                          nullptr);
  if (bytes > 0) {
    utf8.resize(static_cast<std::size_t>(bytes));
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                          nullptr);
  }
  ::LocalFree(words);
  return utf8;
}

}  // namespace native_file

}  // namespace qss

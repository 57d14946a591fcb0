// NativeFile on Windows: a file handle from CreateFileW. Failures are the
// thread's last error, mapped by QssResultFromSystemError.

#include "Platform/NativeFile.h"

#include <windows.h>

#include <string_view>

namespace {

QssResult LastErrorResult() { return QssResultFromSystemError(static_cast<std::int64_t>(GetLastError())); }

FILETIME ToFileTime(native_file::FileTime time) {
  FILETIME fileTime;
  fileTime.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
  fileTime.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return fileTime;
}

class Win32File final : public NativeFile {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) override {
    if (done != nullptr) *done = 0;
    if (offset < 0) return kQssInvalidArgument;
    if (count == 0) return kQssOk;
    if (buffer == nullptr) return kQssInvalidPointer;
    QssResult result = MoveTo(offset);
    if (QssFailed(result)) return result;
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, count, &read, nullptr)) result = LastErrorResult();
    if (done != nullptr) *done = read;
    return result;
  }

  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
    if (done != nullptr) *done = 0;
    if (offset < 0) return kQssInvalidArgument;
    if (count == 0) return kQssOk;
    if (buffer == nullptr) return kQssInvalidPointer;
    // Writing past the end grows the file; the system fills the gap with
    // zero bytes.
    QssResult result = MoveTo(offset);
    if (QssFailed(result)) return result;
    DWORD written = 0;
    if (!WriteFile(handle_, buffer, count, &written, nullptr)) result = LastErrorResult();
    if (done != nullptr) *done = written;
    return result;
  }

  QssResult GetSize(std::int64_t* size) override {
    if (size == nullptr) return kQssInvalidPointer;
    LARGE_INTEGER length;
    if (!GetFileSizeEx(handle_, &length)) return LastErrorResult();
    *size = length.QuadPart;
    return kQssOk;
  }

  QssResult SetSize(std::int64_t size) override {
    if (size < 0) return kQssInvalidArgument;
    QssResult result = MoveTo(size);
    if (QssFailed(result)) return result;
    if (!SetEndOfFile(handle_)) return LastErrorResult();
    return kQssOk;
  }

  QssResult Flush() override {
    if (!FlushFileBuffers(handle_)) return LastErrorResult();
    return kQssOk;
  }

  QssResult SetTimes(native_file::FileTime time) override {
    const FILETIME fileTime = ToFileTime(time);
    if (!SetFileTime(handle_, &fileTime, &fileTime, &fileTime)) return LastErrorResult();
    return kQssOk;
  }

 private:
  QssResult MoveTo(std::int64_t offset) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN)) return LastErrorResult();
    return kQssOk;
  }

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
  HANDLE handle = CreateFileW(path.c_str(), desiredAccess, shareMode, nullptr, creationDisposition,
                              flagsAndAttributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrorResult();
  *file = std::make_unique<Win32File>(handle);
  return kQssOk;
}

QssResult NativeFile::Delete(const std::filesystem::path& path) {
  if (!DeleteFileW(path.c_str())) return LastErrorResult();
  return kQssOk;
}

QssResult NativeFile::QueryLength(const std::filesystem::path& path, std::int64_t* length) {
  if (length == nullptr) return kQssInvalidPointer;
  if (HasWildcard(path)) return QssResultFromSystemError(ERROR_INVALID_NAME);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(path.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return LastErrorResult();
  FindClose(search);
  *length = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return kQssOk;
}

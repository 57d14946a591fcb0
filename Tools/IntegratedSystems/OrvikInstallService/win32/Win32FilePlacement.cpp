// File placement on Windows: DeleteFileW, PathFileExistsW, CreateFileW and
// MoveFileExW. A move at the next restart is recorded by the system
// (MOVEFILE_DELAY_UNTIL_REBOOT), which needs administrator rights.

#include <windows.h>
#include <shlwapi.h>

#include "FilePlacement.h"
#include "win32/Win32Text.h"

namespace {

class Win32OutputFile final : public OutputFile {
 public:
  explicit Win32OutputFile(HANDLE handle) : handle_(handle) {}
  ~Win32OutputFile() override { Close(); }

  bool Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (*written < count) {
      DWORD done = 0;
      if (!WriteFile(handle_, bytes + *written, count - *written, &done, nullptr) || done == 0) return false;
      *written += done;
    }
    return true;
  }

  bool Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    const bool closed = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

class Win32FilePlacement final : public FilePlacement {
 public:
  bool Delete(const std::u16string& path) override { return DeleteFileW(AsWide(path)) != 0; }

  bool Exists(const std::u16string& path) override { return PathFileExistsW(AsWide(path)) != 0; }

  std::unique_ptr<OutputFile> Create(const std::u16string& path) override {
    HANDLE handle = CreateFileW(AsWide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32OutputFile>(handle);
  }

  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override {
    return MoveFileExW(AsWide(from), AsWide(to), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  bool MoveAtNextRestart(const std::u16string& from, const std::u16string& to) override {
    return MoveFileExW(AsWide(from), AsWide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  }
};

}  // namespace

std::unique_ptr<FilePlacement> NewPlatformFilePlacement() { return std::make_unique<Win32FilePlacement>(); }

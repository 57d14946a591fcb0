// The system directory on Windows, as GetSystemDirectoryW reports it.

#include <windows.h>

#include <vector>

#include "SystemDirectory.h"
#include "win32/Win32Text.h"

namespace {

class Win32SystemDirectory final : public SystemDirectory {
 public:
  std::u16string GetPath() override {
    std::vector<wchar_t> buffer(MAX_PATH);
    UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    // A longer answer says how much room it needs, its terminator included.
    if (length >= buffer.size()) {
      buffer.resize(length);
      length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
      if (length >= buffer.size()) length = 0;
    }
    return FromWide(buffer.data(), length);
  }
};

}  // namespace

std::unique_ptr<SystemDirectory> NewPlatformSystemDirectory() { return std::make_unique<Win32SystemDirectory>(); }

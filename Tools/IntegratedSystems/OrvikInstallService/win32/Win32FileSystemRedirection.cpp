// WOW64 file-system redirection on Windows. The two switches are looked up
// at run time: a Windows without WOW64 lacks them, and a 64-bit process has
// nothing redirected (the call then fails). Either way Disable reports that
// nothing was turned off.

#include <windows.h>

#include "FileSystemRedirection.h"

namespace {

using DisableFunction = BOOL(WINAPI*)(PVOID*);
using RevertFunction = BOOL(WINAPI*)(PVOID);

template <typename Function>
Function FindKernelFunction(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  // GetProcAddress hands back a generic function pointer; the cast through
  // void* names the real signature.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
}

class Wow64FileSystemRedirection final : public FileSystemRedirection {
 public:
  Wow64FileSystemRedirection()
      : disable_(FindKernelFunction<DisableFunction>("Wow64DisableWow64FsRedirection")),
        revert_(FindKernelFunction<RevertFunction>("Wow64RevertWow64FsRedirection")) {}

  bool Disable(void** previous) override {
    if (previous) *previous = nullptr;
    if (disable_ == nullptr || revert_ == nullptr || previous == nullptr) return false;
    return disable_(previous) != FALSE;
  }

  void Restore(void* previous) override {
    if (revert_ != nullptr) revert_(previous);
  }

 private:
  DisableFunction disable_;
  RevertFunction revert_;
};

}  // namespace

std::unique_ptr<FileSystemRedirection> NewPlatformFileSystemRedirection() {
  return std::make_unique<Wow64FileSystemRedirection>();
}

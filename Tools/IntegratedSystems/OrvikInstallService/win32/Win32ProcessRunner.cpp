// The process runner on Windows: CreateProcessW with the whole command line,
// no handle inheritance, no console window for the child
// (CREATE_NO_WINDOW) and the system's default error mode
// (CREATE_DEFAULT_ERROR_MODE); the start-up record has only its size set.

#include <windows.h>

#include <vector>

#include "ProcessRunner.h"
#include "win32/Win32Text.h"

namespace {

class Win32RunningProcess final : public RunningProcess {
 public:
  explicit Win32RunningProcess(const PROCESS_INFORMATION& information) : information_(information) {}
  ~Win32RunningProcess() override {
    CloseHandle(information_.hThread);
    CloseHandle(information_.hProcess);
  }
  Win32RunningProcess(const Win32RunningProcess&) = delete;
  Win32RunningProcess& operator=(const Win32RunningProcess&) = delete;

  void Wait() override { WaitForSingleObject(information_.hProcess, INFINITE); }

  bool GetExitCode(std::uint32_t* exitCode) override {
    DWORD code = 0;
    if (!GetExitCodeProcess(information_.hProcess, &code)) return false;
    *exitCode = code;
    return true;
  }

 private:
  PROCESS_INFORMATION information_;
};

class Win32ProcessRunner final : public ProcessRunner {
 public:
  std::u16string GetOwnExecutablePath() override {
    // A path that does not fit is cut and the call answers with the full
    // buffer; try again with more room.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
      std::vector<wchar_t> buffer(size);
      const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
      if (length == 0) return std::u16string();
      if (length < size) return FromWide(buffer.data(), length);
    }
    return std::u16string();
  }

  std::unique_ptr<RunningProcess> Start(const std::u16string& applicationPath, const std::u16string& commandLine,
                                        const std::u16string& workingDirectory) override {
    // CreateProcessW may write into the command line, so it gets a copy.
    std::vector<wchar_t> mutableCommandLine(commandLine.begin(), commandLine.end());
    mutableCommandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    if (!CreateProcessW(AsWide(applicationPath), mutableCommandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr,
                        workingDirectory.empty() ? nullptr : AsWide(workingDirectory), &startup, &information)) {
      lastError_ = GetLastError();
      return nullptr;
    }
    lastError_ = 0;
    return std::make_unique<Win32RunningProcess>(information);
  }

  std::uint32_t LastError() override { return lastError_; }

 private:
  std::uint32_t lastError_ = 0;
};

}  // namespace

std::unique_ptr<ProcessRunner> NewPlatformProcessRunner() { return std::make_unique<Win32ProcessRunner>(); }

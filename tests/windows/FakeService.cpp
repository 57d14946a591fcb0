// Stands in for the service executable in the end-to-end run.
//
// It appends one line, "<its arguments>|<its working directory>", to the log
// file named by ORVIK_E2E_SERVICE_LOG, and acts on its switch the way a
// service executable would: "-install" registers the service "Orvik
// Integrated System" (demand start, this executable), "-remove" deletes it
// when it exists. Exit code 0 when all went well.

#include <windows.h>

#include <string>

namespace {

constexpr wchar_t kServiceName[] = L"Orvik Integrated System";

bool AppendToLog(const std::wstring& line) {
  wchar_t logPath[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"ORVIK_E2E_SERVICE_LOG", logPath, MAX_PATH) == 0) return false;
  HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (log == INVALID_HANDLE_VALUE) return false;
  std::string utf8(line.size() * 4, '\0');
  const int length = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), utf8.data(),
                                         static_cast<int>(utf8.size()), nullptr, nullptr);
  DWORD written = 0;
  const bool ok = WriteFile(log, utf8.data(), static_cast<DWORD>(length), &written, nullptr) != 0;
  CloseHandle(log);
  return ok;
}

bool InstallService() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return false;
  SC_HANDLE service = CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, self, nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return service != nullptr;
}

bool RemoveService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  bool ok = true;
  if (SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE)) {
    ok = DeleteService(service) != 0;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += L' ';
    line += argv[i];
  }
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  line += L'|';
  line += directory;
  line += L"\r\n";
  if (!AppendToLog(line)) return 1;

  const std::wstring action = argc > 1 ? argv[1] : L"";
  if (action == L"-install") return InstallService() ? 0 : 3;
  if (action == L"-remove") return RemoveService() ? 0 : 3;
  return 0;
}

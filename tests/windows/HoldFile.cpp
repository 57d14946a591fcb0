// Keeps a file in use for the end-to-end run: HoldFile FILE READY RELEASE
//
// Opens FILE for reading, sharing reading only (no FILE_SHARE_DELETE, so the
// file can be neither replaced nor renamed over), creates the file READY to
// say so, and holds FILE until the file RELEASE appears, two minutes at most.

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  for (int waited = 0; waited < 1200 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; ++waited) Sleep(100);
  CloseHandle(held);
  return 0;
}

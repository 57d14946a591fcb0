// The console on Windows. On a console, text goes out with WriteConsoleW, so
// any character of a path shows as it is; redirected output gets the text as
// UTF-8 through the C run-time's standard output (text mode: each "\n"
// becomes "\r\n"). The key is read with _getwch, without echo and without
// Enter; when standard input is not a console (a pipe or a file) one byte is
// read instead, so a redirected run ends at the end of its input.

#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "Console.h"
#include "WideText.h"
#include "win32/Win32Text.h"

namespace {

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

class Win32Console final : public Console {
 public:
  void Write(std::u16string_view text) override {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (IsConsole(output)) {
      std::fflush(stdout);
      // A console takes a bounded amount per call; carry on from where it
      // stopped.
      while (!text.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(text.size() < 8192 ? text.size() : 8192);
        if (!WriteConsoleW(output, text.data(), chunk, &written, nullptr) || written == 0) break;
        text.remove_prefix(written);
      }
      return;
    }
    const std::string bytes = Utf16ToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }

  void WaitForKey() override {
    std::fflush(stdout);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (IsConsole(input)) {
      // An extended key (arrows, function keys) arrives as two codes; the
      // second one is taken too so it is not left for the next program.
      const wint_t key = _getwch();
      if (key == 0 || key == 0xE0) _getwch();
      return;
    }
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return;
    unsigned char byte = 0;
    DWORD read = 0;
    ReadFile(input, &byte, 1, &read, nullptr);
  }
};

}  // namespace

std::unique_ptr<Console> NewPlatformConsole() { return std::make_unique<Win32Console>(); }

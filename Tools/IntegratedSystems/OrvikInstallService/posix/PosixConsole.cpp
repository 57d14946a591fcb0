// The console on POSIX: messages go to standard output as UTF-8. An output
// that went away (a closed pipe) does not end the program: SIGPIPE is
// ignored and the lost text with it, so the exit code stays 0. The key wait
// reads one key from a terminal in non-canonical mode without echo and
// without signal keys (Ctrl-C is a key like any other, and the terminal is
// always restored); when standard input is not a terminal it reads one byte,
// and the end of input ends the wait at once, so the program never hangs in
// a pipeline.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "Console.h"
#include "WideText.h"

namespace {

// Reads one byte of standard input; gives up at its end or on an error.
void ReadOneByte() {
  unsigned char byte = 0;
  while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
  }
}

class PosixConsole final : public Console {
 public:
  PosixConsole() { signal(SIGPIPE, SIG_IGN); }

  void Write(std::u16string_view text) override {
    const std::string bytes = Utf16ToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }

  void WaitForKey() override {
    std::fflush(stdout);
    termios saved{};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
      ReadOneByte();
      return;
    }
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    ReadOneByte();
    // Dropping what is still pending swallows the rest of a key that sends
    // several bytes (an arrow key), so it does not reach the shell.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  }
};

}  // namespace

std::unique_ptr<Console> NewPlatformConsole() { return std::make_unique<PosixConsole>(); }

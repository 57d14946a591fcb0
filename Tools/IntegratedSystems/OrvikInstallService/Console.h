// Console: the user's terminal, as far as the installer talks to it.
//
// The installer only writes text to standard output and, at its end, waits
// for one key. Nothing goes to standard error.

#ifndef TOOLS_ORVIKINSTALLSERVICE_CONSOLE_H_
#define TOOLS_ORVIKINSTALLSERVICE_CONSOLE_H_

#include <memory>
#include <string_view>

class Console {
 public:
  virtual ~Console() = default;

  // Writes the text to standard output exactly as given (no newline added)
  // and makes it visible at once.
  virtual void Write(std::u16string_view text) = 0;

  // Waits for a single key press, read without echo and without waiting for
  // Enter; the key is discarded. Where no key can ever come (input is not a
  // terminal and has ended), it returns at once.
  virtual void WaitForKey() = 0;
};

// The console of the platform the program was built for.
std::unique_ptr<Console> NewPlatformConsole();

#endif  // TOOLS_ORVIKINSTALLSERVICE_CONSOLE_H_

// ConsolePrint: the installer's only way to say something.
//
// Formats like printf over UTF-16 text and writes the result to the console
// in one piece. The arguments are typed, so a conversion never reads what
// was not passed:
//   %s          text (a u16string, a u16string_view or a char16_t string)
//   %x %X %u %d a 32-bit number (hexadecimal, unsigned or signed decimal)
//   %%          a percent sign
// with the flags '-' (left-justify) and '0' (pad numbers with zeros), a
// width, and for %s a precision (at most that many characters), so "%08x"
// prints eight lowercase hexadecimal digits. A conversion without a matching
// argument prints nothing; an unknown conversion is copied as written.

#ifndef TOOLS_ORVIKINSTALLSERVICE_CONSOLEPRINT_H_
#define TOOLS_ORVIKINSTALLSERVICE_CONSOLEPRINT_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Console.h"

class ConsoleArgument {
 public:
  ConsoleArgument(std::u16string_view text) : isText_(true), text_(text) {}
  ConsoleArgument(const std::u16string& text) : isText_(true), text_(text) {}
  ConsoleArgument(const char16_t* text) : isText_(true), text_(text ? text : u"(null)") {}
  ConsoleArgument(std::uint32_t number) : number_(number) {}
  ConsoleArgument(std::int32_t number) : number_(static_cast<std::uint32_t>(number)) {}

  bool isText() const { return isText_; }
  std::u16string_view text() const { return text_; }
  std::uint32_t number() const { return number_; }

 private:
  bool isText_ = false;
  std::u16string_view text_;
  std::uint32_t number_ = 0;
};

std::u16string FormatConsoleText(std::u16string_view format, std::span<const ConsoleArgument> arguments);

template <typename... Arguments>
void ConsolePrint(Console& console, std::u16string_view format, const Arguments&... arguments) {
  const std::array<ConsoleArgument, sizeof...(Arguments)> list{ConsoleArgument(arguments)...};
  console.Write(FormatConsoleText(format, list));
}

#endif  // TOOLS_ORVIKINSTALLSERVICE_CONSOLEPRINT_H_

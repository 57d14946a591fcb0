// WindowsCommandLine: turning one command-line string into an argument
// vector the way a Windows program's start-up code does.
//
// The installer builds command lines as single strings; on POSIX a child is
// started from an argument vector, so the string is split by the same rules
// a Windows child would apply to it:
//  - spaces and tabs outside double quotes separate arguments;
//  - a double quote starts or ends a quoted part (which may contain blanks),
//    and inside a quoted part two double quotes give one literal quote;
//  - 2n backslashes before a double quote give n backslashes and the quote
//    acts as above; 2n+1 backslashes before it give n backslashes and a
//    literal quote;
//  - backslashes not followed by a double quote are taken literally.
// So `config "Orvik Integrated System" start=auto` gives three arguments.
// The program name (the first word) follows simpler rules: up to the next
// double quote when it begins with one, else up to the first blank; no
// backslash is special in it.

#ifndef TOOLS_ORVIKINSTALLSERVICE_POSIX_WINDOWSCOMMANDLINE_H_
#define TOOLS_ORVIKINSTALLSERVICE_POSIX_WINDOWSCOMMANDLINE_H_

#include <string>
#include <string_view>
#include <vector>

// The arguments of a command line that holds no program name.
std::vector<std::u16string> SplitCommandLineArguments(std::u16string_view arguments);

// The part of commandLine after the program name. When commandLine begins
// with applicationPath followed by a blank or by nothing, that prefix is the
// program name, even if it holds blanks (the installer does not quote it);
// otherwise the first word is, by the program-name rules.
std::u16string_view ArgumentsAfterProgram(std::u16string_view commandLine, std::u16string_view applicationPath);

#endif  // TOOLS_ORVIKINSTALLSERVICE_POSIX_WINDOWSCOMMANDLINE_H_

// TextCodec: the conversions between entry names, terminal text, JSON and
// file names that qss needs.
//
// Entry names are UTF-16 code units as stored; they may hold unpaired
// surrogates, which no file name and no UTF-8 text can carry. The lossy
// conversion shows them as U+FFFD; the strict checks let callers refuse such
// names instead of changing them silently.

#ifndef TOOLS_QSS_TEXTCODEC_H_
#define TOOLS_QSS_TEXTCODEC_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace qss_tool {

// UTF-16 to UTF-8; every unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// True when text holds no unpaired surrogate.
bool IsWellFormedUtf16(std::u16string_view text);
// Strict UTF-8 to UTF-16: false for any malformed, overlong or surrogate
// sequence (out is then unspecified).
bool Utf8ToUtf16(std::string_view text, std::u16string* out);

// A JSON string literal, quotes included: ", \ and control characters
// escaped, everything else passed through (text is UTF-8).
std::string JsonString(std::string_view text);
// For one-entry-per-line listings: control characters shown as \xNN and a
// backslash doubled, so a name can neither break a line nor fake one.
std::string PrintableName(std::u16string_view name);

// True with a reason when Windows cannot create a file of that name: the
// device names CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9 (in any case,
// with or without an extension, "nul.txt" too), and names ending in a dot
// or a space, which Windows strips. Every platform has it, so that it is
// tested everywhere; FileNameFromEntryName asks it on Windows only.
bool IsReservedWindowsName(std::u16string_view name, std::string* reason);

// The file name an entry name becomes, or false with a reason when the name
// cannot be a file name: empty, "." or "..", a '/' or NUL unit (on Windows
// also '\' or ':', or a reserved name), or an unpaired surrogate.
bool FileNameFromEntryName(std::u16string_view name, std::filesystem::path* fileName, std::string* reason);
// The entry name a file name becomes, or false when the file name is not
// valid UTF-8 (on systems whose file names are bytes).
bool EntryNameFromFileName(const std::filesystem::path& fileName, std::u16string* name);
// A file name for messages (UTF-8 where the system allows it).
std::string DisplayPath(const std::filesystem::path& path);
// The path a command-line argument names. Arguments are UTF-8 (on Windows the
// program converts its wide command line); a path built straight from a
// char string would be read in the ANSI code page there.
std::filesystem::path PathFromArgument(const std::string& argument);

}  // namespace qss_tool

#endif  // TOOLS_QSS_TEXTCODEC_H_

// WideText: the installer's text type and its conversions.
//
// Every text of the installer (paths, product codes, console messages) is
// UTF-16, held in std::u16string like the container library's entry names.
// The operating system is met in its own encoding: UTF-8 on POSIX, 16-bit
// wchar_t on Windows.

#ifndef TOOLS_ORVIKINSTALLSERVICE_WIDETEXT_H_
#define TOOLS_ORVIKINSTALLSERVICE_WIDETEXT_H_

#include <filesystem>
#include <string>
#include <string_view>

// Malformed input (a stray continuation byte, a truncated sequence, an
// overlong form, an encoded surrogate) becomes U+FFFD, one per bad sequence.
std::u16string Utf8ToUtf16(std::string_view text);
// An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// The text before the first NUL character (all of it when there is none):
// fixed-size buffers filled by the platform carry their text that way.
std::u16string TextBeforeNul(std::u16string_view text);

// A path for the file-system library, in the platform's encoding.
std::filesystem::path ToNativePath(std::u16string_view path);

#endif  // TOOLS_ORVIKINSTALLSERVICE_WIDETEXT_H_

// Win32Text: the installer's UTF-16 text as the wide strings of the Windows
// API. char16_t and wchar_t are both 16-bit UTF-16 units on Windows, so the
// conversion is a view of the same characters, never a copy.

#ifndef TOOLS_ORVIKINSTALLSERVICE_WIN32_WIN32TEXT_H_
#define TOOLS_ORVIKINSTALLSERVICE_WIN32_WIN32TEXT_H_

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the Windows API uses 16-bit wide characters");

inline const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* AsWide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const wchar_t* AsWide(const std::u16string& text) { return AsWide(text.c_str()); }

inline std::u16string FromWide(const wchar_t* text, std::size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

#endif  // TOOLS_ORVIKINSTALLSERVICE_WIN32_WIN32TEXT_H_

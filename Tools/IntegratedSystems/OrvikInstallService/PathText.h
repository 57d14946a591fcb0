// PathText: the two path manipulations the installer does on text.
//
// Both work on the platform's separator: a backslash on Windows, a slash
// elsewhere. They never touch the file system.

#ifndef TOOLS_ORVIKINSTALLSERVICE_PATHTEXT_H_
#define TOOLS_ORVIKINSTALLSERVICE_PATHTEXT_H_

#include <string>
#include <string_view>

#ifdef _WIN32
inline constexpr char16_t kPathSeparator = u'\\';
#else
inline constexpr char16_t kPathSeparator = u'/';
#endif

// Joins directory and name with exactly one separator between them. An empty
// directory yields the name alone.
std::u16string AppendPathComponent(std::u16string_view directory, std::u16string_view name);

// The path without its last component: "/a/b/prog" gives "/a/b", "/prog"
// gives "/" (a root keeps its separator), and a bare name gives "".
std::u16string RemoveLastPathComponent(std::u16string_view path);

#endif  // TOOLS_ORVIKINSTALLSERVICE_PATHTEXT_H_

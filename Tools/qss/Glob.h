// Glob: the patterns of --include and --exclude, matched against an entry's
// path with '/' between names.
//
//   *      any run of characters within one name (no '/')
//   ?      one character other than '/'
//   [...]  one character of the set: "a-z" ranges, '!' or '^' first to
//          negate, ']' first to include it; never '/'
//   **     any run of characters, '/' included; "**/" also matches nothing,
//          so "**/x" matches "x" as well as "a/b/x"
//
// A character is a Unicode code point, not a byte. An unterminated '['
// stands for itself.

#ifndef TOOLS_QSS_GLOB_H_
#define TOOLS_QSS_GLOB_H_

#include <string>
#include <string_view>
#include <vector>

namespace qss_tool {

class Glob {
 public:
  // pattern is UTF-8; false (and no pattern) when it is not valid UTF-8.
  bool Compile(std::string_view pattern);
  bool Matches(std::u16string_view path) const;

 private:
  enum class Kind { kLiteral, kAny, kSet, kStar, kAnyDepth, kAnyFolders };
  struct Token {
    Kind kind = Kind::kLiteral;
    char32_t literal = 0;
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges;
  };
  static bool InSet(const Token& token, char32_t c);
  std::vector<Token> tokens_;
};

// The filter of --include and --exclude. A pattern without '/' is matched
// against an entry's own name at any depth ("*.log"); one with '/' against
// its whole path from the container's root ("Drivers/**/*.sys").
class PathFilter {
 public:
  // False with *error naming a pattern that is not valid UTF-8.
  bool Add(std::string_view pattern, bool include, std::string* error);
  bool HasIncludes() const { return !includes_.empty(); }
  // No pattern at all: nothing is excluded and everything included.
  bool empty() const { return includes_.empty() && excludes_.empty(); }
  bool Excluded(std::u16string_view path, std::u16string_view name) const;
  bool Included(std::u16string_view path, std::u16string_view name) const;

 private:
  struct Pattern {
    Glob glob;
    bool wholePath = false;
  };
  static bool AnyMatches(const std::vector<Pattern>& patterns, std::u16string_view path, std::u16string_view name);
  std::vector<Pattern> includes_;
  std::vector<Pattern> excludes_;
};

}  // namespace qss_tool

#endif  // TOOLS_QSS_GLOB_H_

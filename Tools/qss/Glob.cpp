#include "Glob.h"

#include "TextCodec.h"

namespace qss_tool {

namespace {

std::u32string CodePoints(std::u16string_view text) {
  std::u32string points;
  points.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      points.push_back(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      points.push_back(unit);  // an unpaired surrogate stands for itself
    }
  }
  return points;
}

}  // namespace

bool Glob::Compile(std::string_view pattern) {
  tokens_.clear();
  std::u16string units;
  if (!Utf8ToUtf16(pattern, &units)) return false;
  const std::u32string p = CodePoints(units);
  for (std::size_t i = 0; i < p.size(); ++i) {
    Token token;
    if (p[i] == U'*') {
      if (i + 1 < p.size() && p[i + 1] == U'*') {
        ++i;
        // "**/" at the start or after a '/' spans whole folders or none.
        const bool atNameStart = i == 1 || p[i - 2] == U'/';
        if (atNameStart && i + 1 < p.size() && p[i + 1] == U'/') {
          ++i;
          token.kind = Kind::kAnyFolders;
        } else {
          token.kind = Kind::kAnyDepth;
        }
      } else {
        token.kind = Kind::kStar;
      }
    } else if (p[i] == U'?') {
      token.kind = Kind::kAny;
    } else if (p[i] == U'[') {
      std::size_t j = i + 1;
      Token set;
      set.kind = Kind::kSet;
      if (j < p.size() && (p[j] == U'!' || p[j] == U'^')) {
        set.negated = true;
        ++j;
      }
      const std::size_t first = j;
      bool closed = false;
      while (j < p.size()) {
        if (p[j] == U']' && j > first) {
          closed = true;
          break;
        }
        if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U']') {
          set.ranges.emplace_back(p[j], p[j + 2]);
          j += 3;
        } else {
          set.ranges.emplace_back(p[j], p[j]);
          ++j;
        }
      }
      if (closed) {
        token = std::move(set);
        i = j;
      } else {
        token.literal = U'[';
      }
    } else {
      token.literal = p[i];
    }
    tokens_.push_back(std::move(token));
  }
  return true;
}

bool Glob::InSet(const Token& token, char32_t c) {
  bool found = false;
  for (const auto& [low, high] : token.ranges) {
    if (c >= low && c <= high) found = true;
  }
  return found != token.negated;
}

// matched[i][j]: tokens from i on match the text from j on. Filled from the
// end, so the cost is tokens times characters whatever the pattern, where
// backtracking could take exponential time on a row of stars.
bool Glob::Matches(std::u16string_view path) const {
  const std::u32string s = CodePoints(path);
  const std::size_t n = s.size();
  std::vector<char> next(n + 1, 0);
  std::vector<char> current(n + 1, 0);
  next[n] = 1;  // no tokens left match the empty rest
  for (std::size_t i = tokens_.size(); i-- > 0;) {
    const Token& token = tokens_[i];
    current[n] = (token.kind == Kind::kStar || token.kind == Kind::kAnyDepth || token.kind == Kind::kAnyFolders) &&
                 next[n];
    // For "**/": a '/' at or after j ends a run of whole folders.
    bool folderEndAhead = false;
    for (std::size_t j = n; j-- > 0;) {
      const char32_t c = s[j];
      switch (token.kind) {
        case Kind::kLiteral: current[j] = c == token.literal && next[j + 1]; break;
        case Kind::kAny: current[j] = c != U'/' && next[j + 1]; break;
        case Kind::kSet: current[j] = c != U'/' && InSet(token, c) && next[j + 1]; break;
        case Kind::kStar: current[j] = next[j] || (c != U'/' && current[j + 1]); break;
        case Kind::kAnyDepth: current[j] = next[j] || current[j + 1]; break;
        case Kind::kAnyFolders:
          if (c == U'/' && next[j + 1]) folderEndAhead = true;
          current[j] = next[j] || folderEndAhead;
          break;
      }
    }
    std::swap(current, next);
  }
  return next[0] != 0;
}

bool PathFilter::Add(std::string_view pattern, bool include, std::string* error) {
  Pattern compiled;
  if (!compiled.glob.Compile(pattern)) {
    *error = std::string(include ? "--include" : "--exclude") + " pattern is not valid UTF-8";
    return false;
  }
  compiled.wholePath = pattern.find('/') != std::string_view::npos;
  (include ? includes_ : excludes_).push_back(std::move(compiled));
  return true;
}

bool PathFilter::AnyMatches(const std::vector<Pattern>& patterns, std::u16string_view path,
                            std::u16string_view name) {
  for (const Pattern& pattern : patterns) {
    if (pattern.glob.Matches(pattern.wholePath ? path : name)) return true;
  }
  return false;
}

bool PathFilter::Excluded(std::u16string_view path, std::u16string_view name) const {
  return AnyMatches(excludes_, path, name);
}

bool PathFilter::Included(std::u16string_view path, std::u16string_view name) const {
  return includes_.empty() || AnyMatches(includes_, path, name);
}

}  // namespace qss_tool

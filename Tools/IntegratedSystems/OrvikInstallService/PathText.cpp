#include "PathText.h"

namespace {

// Where the root of path ends: after "X:\" on Windows, after "/" elsewhere.
std::size_t RootLength(std::u16string_view path) {
#ifdef _WIN32
  if (path.size() >= 3 && path[1] == u':' && path[2] == kPathSeparator) return 3;
#endif
  if (!path.empty() && path[0] == kPathSeparator) return 1;
  return 0;
}

}  // namespace

std::u16string AppendPathComponent(std::u16string_view directory, std::u16string_view name) {
  while (!name.empty() && name.front() == kPathSeparator) name.remove_prefix(1);
  std::u16string joined(directory);
  if (!joined.empty() && joined.back() != kPathSeparator) joined.push_back(kPathSeparator);
  joined.append(name);
  return joined;
}

std::u16string RemoveLastPathComponent(std::u16string_view path) {
  const std::size_t root = RootLength(path);
  const std::size_t last = path.find_last_of(kPathSeparator);
  if (last == std::u16string_view::npos) return std::u16string();
  if (last < root) return std::u16string(path.substr(0, root));
  return std::u16string(path.substr(0, last));
}

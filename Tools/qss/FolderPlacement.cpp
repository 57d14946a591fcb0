#include "FolderPlacement.h"

#include <memory>

#include "ReplacingFile.h"
#include "TextCodec.h"
#include "ToolContext.h"
#include "qss/NativeFile.h"

using namespace qss;

namespace qss_tool {

namespace fs = std::filesystem;

namespace {

// Moves a complete file over an existing one, on the disk first, so that a
// crash right after cannot trade the existing file for an empty one.
QssResult ReplaceWith(const fs::path& from, const fs::path& to) {
  std::unique_ptr<NativeFile> file;
  QssResult result =
      NativeFile::Open(from, native_file::kGenericRead | native_file::kGenericWrite, native_file::kShareRead,
                       native_file::kOpenExisting, native_file::kAttributeNormal, &file);
  if (QssSucceeded(result)) result = file->Flush();
  file.reset();  // Windows moves no open file
  return QssSucceeded(result) ? NativeFile::MoveOver(from, to) : result;
}

void MergeInto(const fs::path& from, const fs::path& into, ExistingFiles existing, FolderPlacement* placement) {
  std::error_code ec;
  // Listed first: the walk does not meet its own moves.
  const std::vector<fs::directory_entry> items(fs::directory_iterator(from, ec), fs::directory_iterator());
  if (ec) placement->problems.push_back("cannot read " + DisplayPath(from) + ": " + ec.message());
  for (const fs::directory_entry& item : items) {
    const fs::path to = into / item.path().filename();
    const QssResult moved = NativeFile::MoveNoReplace(item.path(), to);
    if (QssSucceeded(moved)) continue;
    const fs::file_status there = fs::symlink_status(to, ec);
    const bool isFolder = item.is_directory(ec) && !item.is_symlink(ec);
    const bool fileOverFile = !isFolder && fs::is_regular_file(there);
    if (isFolder && fs::is_directory(there)) {
      MergeInto(item.path(), to, existing, placement);
    } else if (fileOverFile && existing == ExistingFiles::kOverwrite) {
      const QssResult replaced = ReplaceWith(item.path(), to);
      if (QssFailed(replaced)) {
        placement->problems.push_back("cannot replace " + DisplayPath(to) + ": " + DescribeResult(replaced));
      }
    } else if (fileOverFile && existing == ExistingFiles::kKeep) {
      ++placement->kept;
    } else if (fileOverFile) {
      placement->problems.push_back(NotReplaced(to));
    } else if (fs::exists(there)) {
      placement->problems.push_back("something else stands at " + DisplayPath(to) + "; not replaced");
    } else {
      placement->problems.push_back("cannot move " + DisplayPath(to) + " into place: " + DescribeResult(moved));
    }
  }
}

}  // namespace

std::string NotReplaced(const fs::path& target) {
  return DisplayPath(target) + " exists; not replaced (--overwrite replaces, --keep skips)";
}

namespace {

// The owner of a temporary name (".NAME.qss-tmp-PID", "...-PID-N"), or 0.
std::uint32_t TemporaryOwner(const fs::path::string_type& name) {
  static const fs::path::string_type marker = fs::path(".qss-tmp-").native();
  const std::size_t at = name.rfind(marker);
  if (name.empty() || name[0] != '.' || at == std::string::npos || at == 0) return 0;
  std::uint64_t owner = 0;
  std::size_t i = at + marker.size();
  const std::size_t digits = i;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && owner <= 0xFFFFFFFFu; ++i)
    owner = owner * 10 + static_cast<std::uint64_t>(name[i] - '0');
  if (i == digits || owner > 0xFFFFFFFFu) return 0;
  if (i < name.size()) {  // an attempt's number, and nothing after it
    if (name[i] != '-' || i + 1 == name.size()) return 0;
    for (++i; i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9') return 0;
    }
  }
  return static_cast<std::uint32_t>(owner);
}

}  // namespace

void RemoveStrayTemporaries(const fs::path& folder) {
  const std::uint32_t self = native_file::CurrentProcessId();
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::uint32_t owner = TemporaryOwner(it->path().filename().native());
    if (owner == 0 || owner == self || native_file::ProcessIsAlive(owner)) continue;
    std::error_code removed;
    const fs::file_status status = it->symlink_status(removed);
    if (fs::is_directory(status)) {
      fs::remove_all(it->path(), removed);
    } else if (fs::is_regular_file(status)) {
      fs::remove(it->path(), removed);
    }
  }
}

std::error_code MakeFolderBesidePlace(const fs::path& place, fs::path* built) {
  std::error_code ec;
  for (int attempt = 1; attempt <= ReplacingFile::kNameAttempts; ++attempt) {
    const fs::path candidate = ReplacingFile::TemporaryName(place, attempt);
    if (fs::create_directory(candidate, ec)) {
      *built = candidate;
      return {};
    }
    if (ec) return ec;
  }
  return std::make_error_code(std::errc::file_exists);
}

FolderPlacement MoveFolderIntoPlace(const fs::path& built, const fs::path& place, ExistingFiles existing) {
  FolderPlacement placement;
  const QssResult moved = NativeFile::MoveNoReplace(built, place);
  if (QssSucceeded(moved)) return placement;
  std::error_code ec;
  const fs::file_status there = fs::symlink_status(place, ec);
  if (fs::is_directory(there)) {
    MergeInto(built, place, existing, &placement);
  } else if (fs::exists(there)) {
    placement.problems.push_back("something that is not a folder came to stand at " + DisplayPath(place) +
                                 "; its content was not unpacked");
  } else {
    placement.problems.push_back("cannot move the folder into place: " + DescribeResult(moved) +
                                 "; its content was not unpacked");
  }
  fs::remove_all(built, ec);
  return placement;
}

}  // namespace qss_tool

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

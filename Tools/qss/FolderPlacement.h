// FolderPlacement: a new folder built under a temporary name beside its
// place, and moved into place whole once its content is complete.
//
// Nobody sees a file of such a folder at its final name before the folder
// is done, so its files are written straight to their names. Where the
// final move fails because something came to stand at the place since it
// was looked at (or, where names fold case, an earlier folder took it),
// the content joins what stands there entry by entry, under the same rules
// as any existing file.

#ifndef TOOLS_QSS_FOLDERPLACEMENT_H_
#define TOOLS_QSS_FOLDERPLACEMENT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace qss_tool {

// What to do about an existing file that stands where a new one goes.
enum class ExistingFiles { kRefuse, kOverwrite, kKeep };

// What is said of an existing file that ExistingFiles::kRefuse leaves alone.
std::string NotReplaced(const std::filesystem::path& target);

// Makes a new, empty folder under a free temporary name beside place
// (ReplacingFile's names) and sets *built to it.
std::error_code MakeFolderBesidePlace(const std::filesystem::path& place, std::filesystem::path* built);

// Deletes what an unpack that did not finish (killed, or interrupted twice)
// left in folder under temporary names: folders and files named
// ".NAME.qss-tmp-PID" or ".NAME.qss-tmp-PID-N" of a process that no longer
// runs. What this process or a running one owns stays.
void RemoveStrayTemporaries(const std::filesystem::path& folder);

// What moving a built folder into place came to.
struct FolderPlacement {
  // Existing files left as they were under ExistingFiles::kKeep.
  std::int64_t kept = 0;
  // A line for each entry that could not be placed (its content is gone).
  std::vector<std::string> problems;
};

// Moves built to place, joining a folder that stands there; whatever cannot
// be placed is deleted with built.
FolderPlacement MoveFolderIntoPlace(const std::filesystem::path& built, const std::filesystem::path& place,
                                    ExistingFiles existing);

}  // namespace qss_tool

#endif  // TOOLS_QSS_FOLDERPLACEMENT_H_

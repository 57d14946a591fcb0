// ReplacingFile: one file written under a temporary name beside its target
// and moved over the target only when it is complete.
//
// The temporary is created as a new file, never opened through a name that
// exists, so a link or a second name of another file standing at the target
// (or at the temporary's name) is never written through; the final move
// replaces whatever stands at the target as a name. Until Commit the target
// is untouched, and a ReplacingFile that is not committed deletes its
// temporary.

#ifndef TOOLS_QSS_REPLACINGFILE_H_
#define TOOLS_QSS_REPLACINGFILE_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "qss/ResultCodes.h"
#include "qss/NativeFile.h"

namespace qss_tool {

class ReplacingFile {
 public:
  explicit ReplacingFile(std::filesystem::path target);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Creates the temporary file.
  qss::QssResult Create();
  // Creates the target itself as a new file, for a target whose folder is
  // still under a temporary name of its own: nobody sees the name before
  // the folder moves into place. Fails where anything stands at the target;
  // Commit then only closes the file, and an uncommitted one is deleted.
  qss::QssResult CreateAtTarget();
  const std::filesystem::path& target() const { return target_; }

  // ".NAME.qss-tmp-PID", then "...-2" and on for later attempts (from 1):
  // the hidden name, beside target, that a file or folder is built under.
  static std::filesystem::path TemporaryName(const std::filesystem::path& target, int attempt);
  // Attempts at a free temporary name; a name of another unpack's leftover
  // or of a file in the container itself can be taken.
  static constexpr int kNameAttempts = 100;
  qss::QssResult Append(const char* data, std::size_t size);
  // The temporary's descriptor or HANDLE, for writes at its own position
  // (-1 before Create). Not to be mixed with Append on one file.
  std::intptr_t nativeHandle() const { return file_ ? file_->Handle() : -1; }
  // Moves the file over the target. replacing first writes it to the disk,
  // so that a crash right after cannot trade an existing file for an empty
  // one. Unless replacing or mayReplace, the move fails, and the temporary
  // goes, when a file stands at the target (one that appeared since it was
  // looked for, or was never looked for).
  qss::QssResult Commit(bool replacing, bool mayReplace);
  // Deletes the temporary; the target stays as it was.
  void Abandon();

 private:
  qss::QssResult Open(const std::filesystem::path& path);

  std::filesystem::path target_;
  std::filesystem::path temporaryPath_;
  std::unique_ptr<qss::NativeFile> file_;
  std::int64_t written_ = 0;
  // A file made by CreateAtTarget stands at target_, not yet committed.
  bool atTarget_ = false;
};

}  // namespace qss_tool

#endif  // TOOLS_QSS_REPLACINGFILE_H_

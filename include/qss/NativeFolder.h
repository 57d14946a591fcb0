// NativeFolder: a folder held open, so that many files in it are looked at
// and opened by their names alone.

#ifndef QSS_NATIVEFOLDER_H_
#define QSS_NATIVEFOLDER_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <utility>

#include "qss/Export.h"
#include "qss/NativeFile.h"
#include "qss/ResultCodes.h"

namespace qss {

/// A folder held open for looking at and opening the files in it by name.
/// A path names each folder above the file again, and the system walks
/// them all on every look and every open; for a folder of thousands of
/// small files that walk costs as much as the rest of the open. On POSIX the
/// calls go relative to the open folder; where the system has no such
/// calls (Windows), the folder keeps its path and the calls join the name to
/// it, with the same results as NativeFile's.
///
/// A name is one file name, without separators. On POSIX the folder stays
/// the one that was opened even when its path is moved or replaced
/// meanwhile; on Windows the path decides at each call.
///
/// Threads: any number of threads may use one folder at once.
class QSS_EXPORT NativeFolder {
 public:
  /// Opens the folder at path; *folder holds it on success and is empty on
  /// failure.
  static QssResult Open(const std::filesystem::path& path, std::unique_ptr<NativeFolder>* folder);
  ~NativeFolder();
  NativeFolder(const NativeFolder&) = delete;
  NativeFolder& operator=(const NativeFolder&) = delete;

  /// The path the folder was opened at.
  const std::filesystem::path& path() const { return path_; }

  /// NativeFile::ProbeForReading of the file name in this folder.
  QssResult ProbeForReading(const std::filesystem::path& name, native_file::FoundKind* found,
                            std::int64_t* length) const;
  /// NativeFile::OpenForReadingNoFollow of the file name in this folder.
  QssResult OpenForReadingNoFollow(const std::filesystem::path& name, std::unique_ptr<NativeFile>* file,
                                   native_file::FoundKind* found, std::int64_t* length) const;

 private:
  NativeFolder(std::filesystem::path path, std::intptr_t handle) : path_(std::move(path)), handle_(handle) {}

  std::filesystem::path path_;
  // The folder's descriptor on POSIX; unused (-1) where calls join paths.
  std::intptr_t handle_;
};

}  // namespace qss

#endif  // QSS_NATIVEFOLDER_H_

// Opening and creating containers: every way in that can fail says so in its
// result and hands the root storage out through a CQssRef, so a caller never
// holds (or has to dispose of) a root storage that did not open.

#ifndef QSS_CONTAINERFILE_H_
#define QSS_CONTAINERFILE_H_

#include <cstdint>
#include <filesystem>

#include "qss/CQssRef.h"
#include "qss/Export.h"
#include "qss/ResultCodes.h"
#include "qss/Segments.h"

namespace qss {

class CPhysicalByteArray;
class CRootStorage;

/// How OpenContainerFile opens the files.
enum class OpenMode {
  /// Read access with read sharing: nothing is ever written, not even the
  /// header record the root storage writes back at its last release.
  kReadOnly,
  /// Read and write access, read sharing: changes are committed in place.
  kReadWrite,
};

/// Opens the container at path: the file itself, followed by its segments
/// path.F0002, path.F0003, ... where they exist. On success *root holds the
/// root storage; on failure *root is empty. A path where no file exists gives
/// the system's not-found code (QssResultFromSystemError of ENOENT, or of
/// ERROR_FILE_NOT_FOUND on Windows); files that are no container give
/// kQssNotAContainer or kQssTruncated. A null root is kQssNullResult.
QSS_EXPORT QssResult OpenContainerFile(const std::filesystem::path& path, OpenMode mode, CQssRef<CRootStorage>* root);

/// How a container's bytes are spread over its files.
struct ContainerFiles {
  /// Segment files found: 1 for a container in a single file.
  std::int32_t segments = 0;
  /// Bytes of every segment but the last.
  std::int64_t segmentSize = 0;
};

/// Opens the files of the container at path, found as OpenContainerFile
/// finds them, as one byte array, without reading anything of it: for
/// callers that look at the bytes themselves (a checker, or one that opens
/// the root with CRootStorage::Open to learn more about a refusal). On
/// success *array holds the byte array (it may be used from several threads
/// at once: every call runs under its lock) and *files, when given, says how
/// it is segmented; on failure *array is empty. Missing files give the
/// system's not-found code as OpenContainerFile does; a file that exists but
/// does not open gives the system's reason. A null array is kQssNullResult.
QSS_EXPORT QssResult OpenContainerBytes(const std::filesystem::path& path, OpenMode mode,
                                        CQssRef<CPhysicalByteArray>* array, ContainerFiles* files = nullptr);

/// The name of segment n (n >= 1) of the container at path: path itself for
/// segment 1, path with ".F" and four digits appended for the others (see
/// Segments.h).
QSS_EXPORT std::filesystem::path SegmentFileName(const std::filesystem::path& path, std::int32_t n);

/// Creates a new, empty container at path (see CreateContainer for entryWidth
/// and blockSize), writing segments of segmentSize bytes, and opens it for
/// writing. Existing files of that name and its segments are replaced at
/// once, so this is for scratch containers: to replace a container that
/// readers may still need, build it with CContainerFileWriter instead. The
/// container is complete on the disk once the root is committed (or released).
QSS_EXPORT QssResult CreateContainerFile(const std::filesystem::path& path, std::int32_t entryWidth,
                                         std::int32_t blockSize, std::int64_t segmentSize,
                                         CQssRef<CRootStorage>* root);

/// Raises this process's limit of open files as far as the system allows, for
/// containers of many segment files. Call it once at program start, before
/// other threads exist.
QSS_EXPORT void RaiseOpenFileLimit();

}  // namespace qss

#endif  // QSS_CONTAINERFILE_H_

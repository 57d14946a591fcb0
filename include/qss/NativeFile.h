// NativeFile: the operating system's file services, as the byte arrays and
// the tools need them. This is the only place that knows how a file is
// opened, read, written, sized, time-stamped, deleted and measured; nothing
// else in the library or its tools includes a platform header.

#ifndef QSS_NATIVEFILE_H_
#define QSS_NATIVEFILE_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "qss/CPhysicalByteArray.h"  // ReadPiece
#include "qss/Export.h"
#include "qss/FileTime.h"
#include "qss/ResultCodes.h"

namespace qss {

/// Settings and process-wide services of the file layer.
///
/// Access, share and disposition values use the Windows numbers, so that a
/// byte array can store and pass on the settings it was built with. On POSIX
/// the share mode is accepted and not enforced.
///
/// Every function here may be called from any thread at any time, except
/// RaiseOpenFileLimit (see there).
namespace native_file {

/// Access: the file may be read.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
/// Access: the file may be written.
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;

/// Sharing: others may open the file for reading meanwhile.
inline constexpr std::uint32_t kShareRead = 0x1u;
/// Sharing: others may open the file for writing meanwhile.
inline constexpr std::uint32_t kShareWrite = 0x2u;
/// Sharing: others may delete or rename the file meanwhile.
inline constexpr std::uint32_t kShareDelete = 0x4u;

/// Disposition: create the file; fail when the name exists (a link included).
inline constexpr std::uint32_t kCreateNew = 1;
/// Disposition: create the file, or truncate an existing one.
inline constexpr std::uint32_t kCreateAlways = 2;
/// Disposition: open the file; fail when it does not exist.
inline constexpr std::uint32_t kOpenExisting = 3;

/// Attributes of an ordinary file.
inline constexpr std::uint32_t kAttributeNormal = 0x80u;

/// The time stamp type of the files (see qss::FileTime).
using FileTime = qss::FileTime;

/// What NativeFile::OpenForReadingNoFollow found at a path.
enum class FoundKind {
  /// The open failed before the kind was learned (missing, no permission, ...).
  kUnknown,
  /// A regular file.
  kRegularFile,
  /// A folder.
  kFolder,
  /// A symbolic link (on Windows any reparse point).
  kLink,
  /// A FIFO, socket or device.
  kSpecial,
};

/// Writes count bytes to an open file at its current position and moves the
/// position on: the descriptor (POSIX) or HANDLE (Windows) of a file the
/// caller opened and keeps. *done receives the bytes written, also on
/// failure.
QSS_EXPORT QssResult WriteToHandle(std::intptr_t handle, const void* buffer, std::uint32_t count,
                                   std::uint32_t* done);
/// Whether handle is an open regular file (not a terminal, pipe or device),
/// the only kind the kernel copies of CopyStreamToFile are tried on.
QSS_EXPORT bool HandleIsRegularFile(std::intptr_t handle);

/// The calling process's id.
QSS_EXPORT std::uint32_t CurrentProcessId();
/// False only when no process of that id exists any more. A process that
/// cannot be inspected for lack of permission counts as alive, so that a
/// caller cleaning up after dead processes never takes a living one's files.
QSS_EXPORT bool ProcessIsAlive(std::uint32_t processId);

/// Raises the process's limit of open files as far as the system lets it
/// (POSIX: the soft limit to the hard one), for containers of many segment
/// files. Call it once at program start, before any other thread exists.
QSS_EXPORT void RaiseOpenFileLimit();
/// Whether result says the process or the system has too many files open.
QSS_EXPORT bool IsTooManyOpenFiles(QssResult result);
/// The operating system's own words for one of its error numbers (errno, or
/// GetLastError on Windows), in UTF-8; empty when it has none.
QSS_EXPORT std::string SystemErrorText(std::uint32_t error);

}  // namespace native_file

/// One open file, closed when the object is destroyed; the caller owns it
/// through the std::unique_ptr the opening call fills.
///
/// Every failure is reported as QssResultFromSystemError(the platform's error
/// number): GetLastError() on Windows, errno elsewhere.
///
/// Threads: the static functions may be called from any thread at any time.
/// One NativeFile may serve several threads at once for ReadAt, WriteAt,
/// GetSize and Flush (transfers name their position and move no shared file
/// position); SetSize and SetTimes must not overlap any other call on the
/// same object (on Windows they move the file position). The library's byte
/// arrays serialise every call under their lock anyway.
class QSS_EXPORT NativeFile {
 public:
  virtual ~NativeFile() = default;

  /// The descriptor (POSIX) or HANDLE (Windows); it stays owned by this
  /// object.
  virtual std::intptr_t Handle() const = 0;

  /// Reads up to count bytes at offset; *done receives the bytes read (fewer
  /// at the end of the file).
  virtual QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
  /// Writes count bytes at offset, growing the file when the write runs past
  /// its end (a gap reads as zero bytes); *done receives the bytes written.
  virtual QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
  /// Reads the pieces, as many at once as the platform can submit together
  /// (a chain of scattered blocks costs one system call per block
  /// otherwise). *done receives the bytes read, counted from the first piece
  /// on: a piece cut short (the end of the file) adds what it got and ends
  /// the count, a failed one ends it and is the result.
  virtual QssResult ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* done);
  /// Moves count bytes at offset of this file to target (see
  /// native_file::WriteToHandle) without passing them through this process,
  /// where the system can: one copy in the kernel instead of a read and a
  /// write. *done receives the bytes moved. *refused is set when the system
  /// will not do it for these two files (another file system, no such call,
  /// a target opened for appending); nothing more has moved then, and the
  /// caller copies the rest itself.
  virtual QssResult CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target, std::uint32_t* done,
                                 bool* refused);
  /// The other way: count bytes of source (see native_file::WriteToHandle,
  /// but open for reading) from sourceOffset on, written into this file at
  /// offset; its position is left alone. *done falls short of count where
  /// source ends. *refused as for CopyToHandle.
  virtual QssResult CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source,
                                   std::int64_t sourceOffset, std::uint32_t* done, bool* refused);
  /// The file's length in bytes.
  virtual QssResult GetSize(std::int64_t* size) = 0;
  /// Truncates or extends the file to exactly size bytes.
  virtual QssResult SetSize(std::int64_t size) = 0;
  /// Makes what was written durable on the device.
  virtual QssResult Flush() = 0;
  /// Sets the creation (where the platform keeps one), last-access and
  /// last-write times alike.
  virtual QssResult SetTimes(FileTime time) = 0;
  /// Moves the pieces' bytes (their buffers are not used), one after the
  /// other, to target as CopyToHandle moves one range, where the system can
  /// do it in fewer calls than one per piece. *done receives the bytes
  /// moved. *refused as for CopyToHandle (also when a piece lies past the
  /// end of the file): the caller moves the rest, from where *done ends.
  virtual QssResult CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                                       std::uint32_t* done, bool* refused);

  /// Opens or creates a file with the native_file access, share and
  /// disposition values given. flagsAndAttributes is passed on where the
  /// platform knows it. On success *file holds the open file; on failure it
  /// is empty.
  static QssResult Open(const std::filesystem::path& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                        std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes,
                        std::unique_ptr<NativeFile>* file);
  /// Opens an existing regular file for reading only, for a caller that
  /// reads files it was pointed at but must not be led elsewhere: a final
  /// symbolic link (on Windows a reparse point) is not followed and the open
  /// never waits (a FIFO without a writer would block it for ever). Anything
  /// but a regular file is refused (kQssInvalidArgument for a link, a folder
  /// or a special file). *found, when given, tells what stood at path.
  static QssResult OpenForReadingNoFollow(const std::filesystem::path& path, std::unique_ptr<NativeFile>* file,
                                          native_file::FoundKind* found);
  /// As above; *length, when given, receives the file's size as the open
  /// found it, which spares a reader that stops there a read to find the end.
  static QssResult OpenForReadingNoFollow(const std::filesystem::path& path, std::unique_ptr<NativeFile>* file,
                                          native_file::FoundKind* found, std::int64_t* length);
  /// What OpenForReadingNoFollow would say of path, and the file's size in
  /// *length, learned without opening the file where the system can tell
  /// (POSIX asks for its status and, unless every user may read the file,
  /// whether it may be read): for a scan that reports unreadable files
  /// before anything is done with them and opens each file later, once. An
  /// access list or security policy that denies more than the file's mode
  /// shows is only met by the open.
  static QssResult ProbeForReading(const std::filesystem::path& path, native_file::FoundKind* found,
                                   std::int64_t* length);
  /// Deletes the file at path.
  static QssResult Delete(const std::filesystem::path& path);
  /// Puts source in the place of target in one step: whoever opens target
  /// finds either the old file or the complete new one, never neither and
  /// never a mixture. An existing target (a link, or one name of a file with
  /// several) is replaced as a name, never written through. Both must lie in
  /// the same folder. The move reaches the disk with the folder's entries
  /// (see SyncFolder). On Windows a target that another program holds open
  /// cannot be replaced: the call fails and both files stay as they were.
  static QssResult MoveOver(const std::filesystem::path& source, const std::filesystem::path& target);
  /// Gives source the name target only when no file stands at target: an
  /// existing one (a link included) fails the move and stays as it is, in
  /// one step, without the gap between a look and a move. Same folder and
  /// durability as MoveOver.
  static QssResult MoveNoReplace(const std::filesystem::path& source, const std::filesystem::path& target);
  /// Makes the entries of folder (files created, moved or deleted in it)
  /// durable, so that they survive a crash of the system. Nothing to do on
  /// Windows, whose moves are written through when they are made.
  static QssResult SyncFolder(const std::filesystem::path& folder);
  /// The size of a file, learned without opening it.
  static QssResult QueryLength(const std::filesystem::path& path, std::int64_t* length);
};

}  // namespace qss

#endif  // QSS_NATIVEFILE_H_

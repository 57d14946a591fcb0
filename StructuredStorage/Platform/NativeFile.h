// NativeFile: the operating system's file services, as the byte arrays need
// them. This is the only place that knows how a file is opened, read,
// written, sized, time-stamped, deleted and measured; the library above it
// never includes a platform header.
//
// Access, share and disposition values use the Windows numbers, so that the
// byte arrays can store and pass the settings they were built with. On POSIX
// the share mode is accepted and not enforced.
//
// Every failure is reported as QssResultFromSystemError(the platform's error
// number): GetLastError() on Windows, errno elsewhere.

#ifndef STRUCTUREDSTORAGE_PLATFORM_NATIVEFILE_H_
#define STRUCTUREDSTORAGE_PLATFORM_NATIVEFILE_H_

#include <cstdint>
#include <filesystem>
#include <memory>

#include "Base/ResultCodes.h"

namespace native_file {

inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;

inline constexpr std::uint32_t kShareRead = 0x1u;
inline constexpr std::uint32_t kShareWrite = 0x2u;
inline constexpr std::uint32_t kShareDelete = 0x4u;

inline constexpr std::uint32_t kCreateAlways = 2;  // create, or truncate an existing file
inline constexpr std::uint32_t kOpenExisting = 3;  // fail when the file does not exist

inline constexpr std::uint32_t kAttributeNormal = 0x80u;

// A file time: 100-nanosecond ticks since 1601-01-01 UTC (a Windows FILETIME
// read as one 64-bit number). 0 means "no time".
using FileTime = std::uint64_t;

}  // namespace native_file

// One open file. Closing happens in the destructor.
class NativeFile {
 public:
  virtual ~NativeFile() = default;

  // Reads up to count bytes at offset; *done receives the bytes read (fewer at
  // the end of the file).
  virtual QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
  // Writes count bytes at offset, growing the file when the write runs past
  // its end (a gap reads as zero bytes).
  virtual QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
  virtual QssResult GetSize(std::int64_t* size) = 0;
  // Truncates or extends the file to exactly size bytes.
  virtual QssResult SetSize(std::int64_t size) = 0;
  virtual QssResult Flush() = 0;
  // Sets the creation (where the platform keeps one), last-access and
  // last-write times alike.
  virtual QssResult SetTimes(native_file::FileTime time) = 0;

  // Opens or creates a file. flagsAndAttributes is passed on where the
  // platform knows it.
  static QssResult Open(const std::filesystem::path& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                        std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes,
                        std::unique_ptr<NativeFile>* file);
  static QssResult Delete(const std::filesystem::path& path);
  // The size of a file, learned without opening it.
  static QssResult QueryLength(const std::filesystem::path& path, std::int64_t* length);
};

#endif  // STRUCTUREDSTORAGE_PLATFORM_NATIVEFILE_H_

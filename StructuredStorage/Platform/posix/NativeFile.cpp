// NativeFile on POSIX: one file descriptor, positioned transfers with
// pread/pwrite, so that no shared file position has to be moved.

#include "qss/NativeFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstddef>
#include <limits>

namespace qss {

namespace {

QssResult LastError() { return QssResultFromSystemError(errno); }

// The distance between the Windows file-time epoch (1601-01-01) and the Unix
// epoch (1970-01-01), in 100-nanosecond ticks.
constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;

timespec ToTimespec(FileTime time) {
  // A file time above INT64_MAX lies thousands of centuries ahead; clamp it.
  const std::int64_t ticks =
      time > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
          ? std::numeric_limits<std::int64_t>::max()
          : static_cast<std::int64_t>(time);
  const std::int64_t sinceUnixEpoch = ticks - kUnixEpochInFileTime;  // cannot overflow: both are >= 0
  std::int64_t seconds = sinceUnixEpoch / kTicksPerSecond;
  std::int64_t remainder = sinceUnixEpoch % kTicksPerSecond;
  if (remainder < 0) {  // times before 1970: keep the nanoseconds positive
    remainder += kTicksPerSecond;
    --seconds;
  }
  timespec result{};
  result.tv_sec = static_cast<time_t>(seconds);
  result.tv_nsec = static_cast<long>(remainder * 100);
  return result;
}

int OpenFlags(std::uint32_t desiredAccess, std::uint32_t creationDisposition, int* flags) {
  const bool reads = (desiredAccess & native_file::kGenericRead) != 0;
  const bool writes = (desiredAccess & native_file::kGenericWrite) != 0;
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it has no
  // effect on the regular files that are all Open accepts.
  int result = O_CLOEXEC | O_NONBLOCK;
  if (reads && writes) {
    result |= O_RDWR;
  } else if (writes) {
    result |= O_WRONLY;
  } else {
    result |= O_RDONLY;
  }
  switch (creationDisposition) {
    case 1:  // create new: fail when the file exists
      result |= O_CREAT | O_EXCL;
      break;
    case native_file::kCreateAlways:
      result |= O_CREAT | O_TRUNC;
      break;
    case native_file::kOpenExisting:
      break;
    case 4:  // open always: create when missing
      result |= O_CREAT;
      break;
    case 5:  // truncate existing
      result |= O_TRUNC;
      break;
    default:
      return EINVAL;
  }
  *flags = result;
  return 0;
}

class PosixFile final : public NativeFile {
 public:
  // A transfer's bytes must lie at non-negative positions a 64-bit offset can name.
  static bool RangeIsValid(std::int64_t offset, std::uint32_t count) {
    return offset >= 0 && offset <= std::numeric_limits<std::int64_t>::max() - count;
  }

  explicit PosixFile(int descriptor) : descriptor_(descriptor) {}
  ~PosixFile() override { ::close(descriptor_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) override {
    if (done) *done = 0;
    if (!RangeIsValid(offset, count)) return QssResultFromSystemError(EINVAL);
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    QssResult result = kQssOk;
    while (total < count) {
      const ssize_t n = ::pread(descriptor_, bytes + total, count - total, static_cast<off_t>(offset + total));
      if (n < 0) {
        if (errno == EINTR) continue;
        result = LastError();
        break;
      }
      if (n == 0) break;  // end of file
      total += static_cast<std::uint32_t>(n);
    }
    if (done) *done = total;
    return result;
  }

  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
    if (done) *done = 0;
    if (!RangeIsValid(offset, count)) return QssResultFromSystemError(EINVAL);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t total = 0;
    QssResult result = kQssOk;
    while (total < count) {
      const ssize_t n = ::pwrite(descriptor_, bytes + total, count - total, static_cast<off_t>(offset + total));
      if (n < 0) {
        if (errno == EINTR) continue;
        result = LastError();
        break;
      }
      if (n == 0) {  // the system took nothing and gave no reason
        result = QssResultFromSystemError(EIO);
        break;
      }
      total += static_cast<std::uint32_t>(n);
    }
    if (done) *done = total;
    return result;
  }

  QssResult GetSize(std::int64_t* size) override {
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) return LastError();
    if (size) *size = static_cast<std::int64_t>(status.st_size);
    return kQssOk;
  }

  QssResult SetSize(std::int64_t size) override {
    if (size < 0) return QssResultFromSystemError(EINVAL);
    while (::ftruncate(descriptor_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return LastError();
    }
    return kQssOk;
  }

  QssResult Flush() override {
    if (::fsync(descriptor_) != 0) return LastError();
    return kQssOk;
  }

  QssResult SetTimes(FileTime time) override {
    const timespec stamp = ToTimespec(time);
    const timespec times[2] = {stamp, stamp};  // last access, last write; POSIX keeps no creation time
    if (::futimens(descriptor_, times) != 0) return LastError();
    return kQssOk;
  }

 private:
  int descriptor_;
};

}  // namespace

QssResult NativeFile::Open(const std::filesystem::path& path, std::uint32_t desiredAccess, std::uint32_t /*shareMode*/,
                           std::uint32_t creationDisposition, std::uint32_t /*flagsAndAttributes*/,
                           std::unique_ptr<NativeFile>* file) {
  if (file == nullptr) return kQssInvalidPointer;
  int flags = 0;
  if (const int error = OpenFlags(desiredAccess, creationDisposition, &flags)) return QssResultFromSystemError(error);
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return LastError();
  // A directory opens for reading here, but it is not a file that holds bytes.
  struct stat status {};
  int error = 0;
  if (::fstat(descriptor, &status) != 0) {
    error = errno;
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(status.st_mode)) {
    error = EINVAL;  // devices, pipes and sockets have no size to address
  }
  if (error != 0) {
    ::close(descriptor);
    return QssResultFromSystemError(error);
  }
  *file = std::make_unique<PosixFile>(descriptor);
  return kQssOk;
}

QssResult NativeFile::OpenForReadingNoFollow(const std::filesystem::path& path, std::unique_ptr<NativeFile>* file,
                                             native_file::FoundKind* found) {
  native_file::FoundKind kind = native_file::FoundKind::kUnknown;
  if (found) *found = kind;
  if (file == nullptr) return kQssInvalidPointer;
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    const int error = errno;
    // O_NOFOLLOW reports a final link as ELOOP (EMLINK on some systems);
    // ELOOP can also mean a loop further up the path, so look.
    struct stat status {};
    if ((error == ELOOP || error == EMLINK) && ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
      if (found) *found = native_file::FoundKind::kLink;
      return kQssInvalidArgument;
    }
    return QssResultFromSystemError(error);
  }
  struct stat status {};
  QssResult result = kQssOk;
  if (::fstat(descriptor, &status) != 0) {
    result = LastError();
  } else if (S_ISREG(status.st_mode)) {
    kind = native_file::FoundKind::kRegularFile;
  } else {
    kind = S_ISDIR(status.st_mode) ? native_file::FoundKind::kFolder : native_file::FoundKind::kSpecial;
    result = kQssInvalidArgument;
  }
  if (found) *found = kind;
  if (QssFailed(result)) {
    ::close(descriptor);
    return result;
  }
  // O_NONBLOCK only kept the open from waiting; reads of a regular file
  // ignore it, but nothing downstream should inherit the surprise.
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags >= 0) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  *file = std::make_unique<PosixFile>(descriptor);
  return kQssOk;
}

QssResult NativeFile::MoveOver(const std::filesystem::path& source, const std::filesystem::path& target) {
  if (::rename(source.c_str(), target.c_str()) != 0) return LastError();
  return kQssOk;
}

QssResult NativeFile::SyncFolder(const std::filesystem::path& folder) {
  const std::filesystem::path name = folder.empty() ? std::filesystem::path(".") : folder;
  int descriptor;
  do {
    descriptor = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return LastError();
  QssResult result = kQssOk;
  if (::fsync(descriptor) != 0) {
    // Some file systems cannot sync a folder and say so; their entries are
    // as durable as they will ever get.
    if (errno != EINVAL && errno != ENOTSUP) result = LastError();
  }
  ::close(descriptor);
  return result;
}

QssResult NativeFile::Delete(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0) return LastError();
  return kQssOk;
}

QssResult NativeFile::QueryLength(const std::filesystem::path& path, std::int64_t* length) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return LastError();
  if (S_ISDIR(status.st_mode)) return QssResultFromSystemError(EISDIR);
  if (length) *length = static_cast<std::int64_t>(status.st_size);
  return kQssOk;
}

namespace native_file {

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

bool ProcessIsAlive(std::uint32_t processId) {
  if (processId == 0 || processId > static_cast<std::uint32_t>(std::numeric_limits<pid_t>::max())) return false;
  if (::kill(static_cast<pid_t>(processId), 0) == 0) return true;
  return errno == EPERM;  // it exists, and belongs to someone else
}

void RaiseOpenFileLimit() {
  rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  // A refusal leaves the limit as it was; opening will say so if it matters.
  static_cast<void>(::setrlimit(RLIMIT_NOFILE, &limit));
}

bool IsTooManyOpenFiles(QssResult result) {
  return result == QssResultFromSystemError(EMFILE) || result == QssResultFromSystemError(ENFILE);
}

std::string SystemErrorText(std::uint32_t error) {
  char text[256] = {};
  // The GNU strerror_r may return a static string instead of filling text.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* words = ::strerror_r(static_cast<int>(error), text, sizeof(text));
  return words ? std::string(words) : std::string();
#else
  if (::strerror_r(static_cast<int>(error), text, sizeof(text)) != 0) return std::string();
  return std::string(text);
#endif
}

}  // namespace native_file

}  // namespace qss

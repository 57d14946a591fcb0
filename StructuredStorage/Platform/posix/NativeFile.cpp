// NativeFile on POSIX: one file descriptor, positioned transfers with
// pread/pwrite, so that no shared file position has to be moved. On Linux,
// scattered reads go to the kernel together through an io_uring of the
// calling thread, and copies to another file stay in the kernel
// (copy_file_range, else sendfile); scattered pieces go to another file
// from a read-only mapping, one writev per batch.

#include "qss/NativeFile.h"
#include "qss/NativeFolder.h"

#if defined(__linux__)
#include "Platform/posix/MappedPieceWriter.h"
#endif

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstddef>
#include <limits>
#include <new>
#include <vector>

#if defined(__linux__)
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#define QSS_HAVE_IO_URING 1
#endif

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


#if defined(QSS_HAVE_IO_URING)

// A small io_uring of one thread, for reads of many pieces in one system
// call. Made on first use; a system that refuses rings (an old kernel, a
// sandbox) is asked once per thread, and the reads go one by one instead.
class ReadRing {
 public:
  static constexpr unsigned kEntries = 128;

  // The calling thread's ring, or null when the system has none.
  static ReadRing* ForThisThread() {
    thread_local ReadRing ring;
    return ring.fd_ >= 0 ? &ring : nullptr;
  }

  ReadRing(const ReadRing&) = delete;
  ReadRing& operator=(const ReadRing&) = delete;

  // Reads count (at most kEntries) pieces of descriptor; results[i] gets
  // what the kernel said of piece i (bytes, or -errno). False when the ring
  // failed as a whole (nothing is known of the pieces).
  bool Read(int descriptor, const ReadPiece* pieces, unsigned count, int* results) {
    unsigned tail = *sqTail_;
    for (unsigned i = 0; i < count; ++i) {
      const unsigned index = tail & *sqMask_;
      io_uring_sqe* entry = &sqes_[index];
      std::memset(entry, 0, sizeof(*entry));
      entry->opcode = IORING_OP_READ;
      entry->fd = descriptor;
      entry->off = static_cast<std::uint64_t>(pieces[i].offset);
      entry->addr = reinterpret_cast<std::uint64_t>(pieces[i].buffer);
      entry->len = pieces[i].length;
      entry->user_data = i;
      sqArray_[index] = index;
      ++tail;
      results[i] = -EIO;
    }
    __atomic_store_n(sqTail_, tail, __ATOMIC_RELEASE);
    unsigned submitted = 0;
    unsigned reaped = 0;
    while (reaped < count) {
      const unsigned toSubmit = count - submitted;
      const long entered = ::syscall(__NR_io_uring_enter, fd_, toSubmit, 1u, IORING_ENTER_GETEVENTS, nullptr, 0);
      if (entered < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EBUSY) continue;
        // Entries not taken must not be submitted by a later call.
        Reset(submitted, reaped);
        return false;
      }
      submitted += static_cast<unsigned>(entered);
      unsigned head = *cqHead_;
      const unsigned end = __atomic_load_n(cqTail_, __ATOMIC_ACQUIRE);
      for (; head != end; ++head) {
        const io_uring_cqe& done = cqes_[head & *cqMask_];
        if (done.user_data < count) results[done.user_data] = done.res;
        ++reaped;
      }
      __atomic_store_n(cqHead_, head, __ATOMIC_RELEASE);
    }
    return true;
  }

 private:
  ReadRing() {
    io_uring_params params{};
    const long fd = ::syscall(__NR_io_uring_setup, kEntries, &params);
    if (fd < 0) return;
    fd_ = static_cast<int>(fd);
    sqLength_ = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    cqLength_ = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    const bool single = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
    if (single) sqLength_ = cqLength_ = std::max(sqLength_, cqLength_);
    sq_ = ::mmap(nullptr, sqLength_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, IORING_OFF_SQ_RING);
    if (sq_ == MAP_FAILED) {
      Close();
      return;
    }
    cq_ = single ? sq_
                 : ::mmap(nullptr, cqLength_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
                          IORING_OFF_CQ_RING);
    if (cq_ == MAP_FAILED) {
      Close();
      return;
    }
    sqesLength_ = params.sq_entries * sizeof(io_uring_sqe);
    void* sqes = ::mmap(nullptr, sqesLength_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
                        IORING_OFF_SQES);
    if (sqes == MAP_FAILED) {
      Close();
      return;
    }
    sqes_ = static_cast<io_uring_sqe*>(sqes);
    auto* sq = static_cast<char*>(sq_);
    auto* cq = static_cast<char*>(cq_);
    sqTail_ = reinterpret_cast<unsigned*>(sq + params.sq_off.tail);
    sqMask_ = reinterpret_cast<unsigned*>(sq + params.sq_off.ring_mask);
    sqArray_ = reinterpret_cast<unsigned*>(sq + params.sq_off.array);
    cqHead_ = reinterpret_cast<unsigned*>(cq + params.cq_off.head);
    cqTail_ = reinterpret_cast<unsigned*>(cq + params.cq_off.tail);
    cqMask_ = reinterpret_cast<unsigned*>(cq + params.cq_off.ring_mask);
    cqes_ = reinterpret_cast<io_uring_cqe*>(cq + params.cq_off.cqes);
    if (params.sq_entries < kEntries) Close();
  }

  ~ReadRing() { Close(); }

  // After a failed enter the ring is given up and this thread reads piece
  // by piece from now on. Reads already submitted still land in the
  // caller's buffers, so they are waited for first.
  void Reset(unsigned submitted, unsigned reaped) {
    for (int attempt = 0; reaped < submitted && attempt < 1000; ++attempt) {
      const long entered = ::syscall(__NR_io_uring_enter, fd_, 0u, 1u, IORING_ENTER_GETEVENTS, nullptr, 0);
      if (entered < 0 && errno != EINTR && errno != EAGAIN && errno != EBUSY) break;
      unsigned head = *cqHead_;
      const unsigned end = __atomic_load_n(cqTail_, __ATOMIC_ACQUIRE);
      for (; head != end; ++head) ++reaped;
      __atomic_store_n(cqHead_, head, __ATOMIC_RELEASE);
    }
    Close();
  }

  void Close() {
    if (sqes_ != nullptr) ::munmap(sqes_, sqesLength_);
    if (cq_ != nullptr && cq_ != MAP_FAILED && cq_ != sq_) ::munmap(cq_, cqLength_);
    if (sq_ != nullptr && sq_ != MAP_FAILED) ::munmap(sq_, sqLength_);
    if (fd_ >= 0) ::close(fd_);
    sqes_ = nullptr;
    sq_ = cq_ = nullptr;
    fd_ = -1;
  }

  int fd_ = -1;
  void* sq_ = nullptr;
  void* cq_ = nullptr;
  std::size_t sqLength_ = 0;
  std::size_t cqLength_ = 0;
  std::size_t sqesLength_ = 0;
  io_uring_sqe* sqes_ = nullptr;
  unsigned* sqTail_ = nullptr;
  unsigned* sqMask_ = nullptr;
  unsigned* sqArray_ = nullptr;
  unsigned* cqHead_ = nullptr;
  unsigned* cqTail_ = nullptr;
  unsigned* cqMask_ = nullptr;
  io_uring_cqe* cqes_ = nullptr;
};

#endif  // QSS_HAVE_IO_URING

// Errors by which the system declines a copy between two particular files
// rather than failing it.
bool CopyDeclined(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF ||
         error == ETXTBSY || error == EPERM;
}

class PosixFile final : public NativeFile {
 public:
  static constexpr std::size_t kFewestMappedPieces = 16;

  // A transfer's bytes must lie at non-negative positions a 64-bit offset can name.
  static bool RangeIsValid(std::int64_t offset, std::uint32_t count) {
    return offset >= 0 && offset <= std::numeric_limits<std::int64_t>::max() - count;
  }

  explicit PosixFile(int descriptor)
      : descriptor_(descriptor)
#if defined(__linux__)
        ,
        mapped_(descriptor)
#endif
  {
  }
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

  std::intptr_t Handle() const override { return descriptor_; }

  QssResult ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* done) override {
#if defined(QSS_HAVE_IO_URING)
    // A few pieces are not worth the ring's bookkeeping.
    ReadRing* ring = count >= 4 ? ReadRing::ForThisThread() : nullptr;
    if (ring == nullptr) return NativeFile::ReadPieces(pieces, count, done);
    if (done) *done = 0;
    std::uint32_t total = 0;
    int results[ReadRing::kEntries];
    for (std::size_t first = 0; first < count; first += ReadRing::kEntries) {
      const auto batch = static_cast<unsigned>(std::min<std::size_t>(ReadRing::kEntries, count - first));
      for (unsigned i = 0; i < batch; ++i) {
        if (!RangeIsValid(pieces[first + i].offset, pieces[first + i].length)) return QssResultFromSystemError(EINVAL);
      }
      if (!ring->Read(descriptor_, pieces + first, batch, results)) {
        std::uint32_t rest = 0;
        const QssResult result = NativeFile::ReadPieces(pieces + first, count - first, &rest);
        if (done) *done = total + rest;
        return result;
      }
      for (unsigned i = 0; i < batch; ++i) {
        const ReadPiece& piece = pieces[first + i];
        const int got = results[i];
        if (got >= 0 && static_cast<std::uint32_t>(got) == piece.length) {
          total += piece.length;
          continue;
        }
        // A piece the ring did not read whole (a signal, the end of the
        // file, an error) is read again the plain way, whose answer counts.
        std::uint32_t again = 0;
        const QssResult result = ReadAt(piece.offset, piece.buffer, piece.length, &again);
        total += again;
        if (QssFailed(result) || again < piece.length) {
          if (done) *done = total;
          return result;
        }
      }
    }
    if (done) *done = total;
    return kQssOk;
#else
    return NativeFile::ReadPieces(pieces, count, done);
#endif
  }

  QssResult CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target, std::uint32_t* done,
                         bool* refused) override {
    if (done) *done = 0;
    if (refused) *refused = false;
    if (!RangeIsValid(offset, count)) return QssResultFromSystemError(EINVAL);
#if defined(__linux__)
    const int out = static_cast<int>(target);
    std::uint32_t total = 0;
    bool useSendfile = false;
    while (total < count) {
      off_t from = static_cast<off_t>(offset + total);
      const ssize_t n = useSendfile ? ::sendfile(out, descriptor_, &from, count - total)
                                    : ::copy_file_range(descriptor_, &from, out, nullptr, count - total, 0);
      if (n < 0) {
        const int error = errno;
        if (error == EINTR) continue;
        if (total == 0 && CopyDeclined(error)) {
          if (!useSendfile) {
            useSendfile = true;
            continue;
          }
          if (refused) *refused = true;
          return kQssOk;
        }
        if (done) *done = total;
        return QssResultFromSystemError(error);
      }
      if (n == 0) break;  // the end of this file
      total += static_cast<std::uint32_t>(n);
    }
    if (done) *done = total;
    return kQssOk;
#else
    return NativeFile::CopyToHandle(offset, count, target, done, refused);
#endif
  }

  QssResult CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target, std::uint32_t* done,
                               bool* refused) override {
#if defined(__linux__)
    // The mapped pages count toward the process's resident size: a few
    // pieces, which save only a system call or two, are not worth that.
    if (count < kFewestMappedPieces) return NativeFile::CopyPiecesToHandle(pieces, count, target, done, refused);
    for (std::size_t i = 0; i < count; ++i) {
      if (!RangeIsValid(pieces[i].offset, pieces[i].length)) {
        if (done) *done = 0;
        if (refused) *refused = false;
        return QssResultFromSystemError(EINVAL);
      }
    }
    std::uint32_t moved = 0;
    bool declined = false;
    const QssResult result = mapped_.Write(pieces, count, static_cast<int>(target), &moved, &declined);
    if (done) *done = moved;
    if (refused) *refused = declined;
    return result;
#else
    return NativeFile::CopyPiecesToHandle(pieces, count, target, done, refused);
#endif
  }

  QssResult CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source, std::int64_t sourceOffset,
                           std::uint32_t* done, bool* refused) override {
    if (done) *done = 0;
    if (refused) *refused = false;
    if (!RangeIsValid(offset, count) || !RangeIsValid(sourceOffset, count)) return QssResultFromSystemError(EINVAL);
#if defined(__linux__)
    const int in = static_cast<int>(source);
    std::uint32_t total = 0;
    while (total < count) {
      off_t from = static_cast<off_t>(sourceOffset + total);
      off_t to = static_cast<off_t>(offset + total);
      const ssize_t n = ::copy_file_range(in, &from, descriptor_, &to, count - total, 0);
      if (n < 0) {
        const int error = errno;
        if (error == EINTR) continue;
        if (total == 0 && CopyDeclined(error)) {
          if (refused) *refused = true;
          return kQssOk;
        }
        if (done) *done = total;
        return QssResultFromSystemError(error);
      }
      if (n == 0) break;  // the end of source
      total += static_cast<std::uint32_t>(n);
    }
    if (done) *done = total;
    return kQssOk;
#else
    return NativeFile::CopyFromHandle(offset, count, source, sourceOffset, done, refused);
#endif
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
#if defined(__linux__)
  MappedPieceWriter mapped_;
#endif
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
  // A file the open created (O_EXCL) is a new regular file. Anything else
  // may be a directory, which opens for reading here but holds no bytes.
  if ((flags & O_EXCL) == 0) {
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
  }
  *file = std::make_unique<PosixFile>(descriptor);
  return kQssOk;
}

QssResult NativeFile::OpenForReadingNoFollow(const std::filesystem::path& path, std::unique_ptr<NativeFile>* file,
                                             native_file::FoundKind* found) {
  return OpenForReadingNoFollow(path, file, found, nullptr);
}

namespace {

// OpenForReadingNoFollow of name, relative to the folder descriptor folder
// (AT_FDCWD: the working folder).
QssResult OpenForReadingNoFollowAt(int folder, const char* name, std::unique_ptr<NativeFile>* file,
                                   native_file::FoundKind* found, std::int64_t* length) {
  native_file::FoundKind kind = native_file::FoundKind::kUnknown;
  if (found) *found = kind;
  if (file == nullptr) return kQssInvalidPointer;
  int descriptor;
  do {
    descriptor = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    const int error = errno;
    // O_NOFOLLOW reports a final link as ELOOP (EMLINK on some systems);
    // ELOOP can also mean a loop further up the path, so look.
    struct stat status {};
    if ((error == ELOOP || error == EMLINK) && ::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode)) {
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
  // O_NONBLOCK stays, as on every file Open opens: it only kept the open
  // from waiting, and reads and copies of a regular file ignore it.
  if (length) *length = static_cast<std::int64_t>(status.st_size);
  *file = std::make_unique<PosixFile>(descriptor);
  return kQssOk;
}

// ProbeForReading of name, relative to the folder descriptor folder.
QssResult ProbeForReadingAt(int folder, const char* name, native_file::FoundKind* found, std::int64_t* length) {
  if (found) *found = native_file::FoundKind::kUnknown;
  struct stat status {};
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  const native_file::FoundKind kind = S_ISREG(status.st_mode)   ? native_file::FoundKind::kRegularFile
                                      : S_ISLNK(status.st_mode) ? native_file::FoundKind::kLink
                                      : S_ISDIR(status.st_mode) ? native_file::FoundKind::kFolder
                                                                : native_file::FoundKind::kSpecial;
  if (found) *found = kind;
  if (kind != native_file::FoundKind::kRegularFile) return kQssInvalidArgument;
  // The effective ids decide, as they decide an open. A file every user may
  // read spares the question; an access list or security policy that denies
  // more still fails the open later, only not before anything is written.
  if ((status.st_mode & S_IROTH) == 0 && ::faccessat(folder, name, R_OK, AT_EACCESS) != 0) return LastError();
  if (length) *length = static_cast<std::int64_t>(status.st_size);
  return kQssOk;
}

// A descriptor of the folder at path (the working folder when empty), or
// -1 with errno set.
int OpenFolderDescriptor(const std::filesystem::path& path) {
  const std::filesystem::path name = path.empty() ? std::filesystem::path(".") : path;
  int descriptor;
  do {
    descriptor = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// Names the folder calls take: one name, no separator, not empty, not "."
// or "..". Anything else would name the folder itself or reach beyond it.
bool IsPlainName(const std::filesystem::path& name) {
  const std::string& text = name.native();
  return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos;
}

}  // namespace

QssResult NativeFile::OpenForReadingNoFollow(const std::filesystem::path& path, std::unique_ptr<NativeFile>* file,
                                             native_file::FoundKind* found, std::int64_t* length) {
  return OpenForReadingNoFollowAt(AT_FDCWD, path.c_str(), file, found, length);
}

QssResult NativeFile::ProbeForReading(const std::filesystem::path& path, native_file::FoundKind* found,
                                      std::int64_t* length) {
  return ProbeForReadingAt(AT_FDCWD, path.c_str(), found, length);
}

QssResult NativeFolder::Open(const std::filesystem::path& path, std::unique_ptr<NativeFolder>* folder) {
  if (folder == nullptr) return kQssInvalidPointer;
  folder->reset();
  const int descriptor = OpenFolderDescriptor(path);
  if (descriptor < 0) return LastError();
  folder->reset(new (std::nothrow) NativeFolder(path, descriptor));
  if (*folder == nullptr) {
    ::close(descriptor);
    return QssResultFromSystemError(ENOMEM);
  }
  return kQssOk;
}

NativeFolder::~NativeFolder() { ::close(static_cast<int>(handle_)); }

QssResult NativeFolder::ProbeForReading(const std::filesystem::path& name, native_file::FoundKind* found,
                                        std::int64_t* length) const {
  if (!IsPlainName(name)) {
    if (found) *found = native_file::FoundKind::kUnknown;
    return kQssInvalidArgument;
  }
  return ProbeForReadingAt(static_cast<int>(handle_), name.c_str(), found, length);
}

QssResult NativeFolder::OpenForReadingNoFollow(const std::filesystem::path& name, std::unique_ptr<NativeFile>* file,
                                               native_file::FoundKind* found, std::int64_t* length) const {
  if (!IsPlainName(name)) {
    if (found) *found = native_file::FoundKind::kUnknown;
    return kQssInvalidArgument;
  }
  return OpenForReadingNoFollowAt(static_cast<int>(handle_), name.c_str(), file, found, length);
}

QssResult NativeFile::MoveOver(const std::filesystem::path& source, const std::filesystem::path& target) {
  if (::rename(source.c_str(), target.c_str()) != 0) return LastError();
  return kQssOk;
}

QssResult NativeFile::MoveNoReplace(const std::filesystem::path& source, const std::filesystem::path& target) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return kQssOk;
  // Only a file system that cannot do it is worth the other way.
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return LastError();
#endif
  // A second name fails where one exists; the first then goes.
  if (::link(source.c_str(), target.c_str()) == 0) {
    if (::unlink(source.c_str()) != 0) return LastError();
    return kQssOk;
  }
  if (errno == EEXIST) return LastError();
  // A file system without second names: look, then move.
  struct stat status {};
  if (::lstat(target.c_str(), &status) == 0) return QssResultFromSystemError(EEXIST);
  if (::rename(source.c_str(), target.c_str()) != 0) return LastError();
  return kQssOk;
}

QssResult NativeFile::SyncFolder(const std::filesystem::path& folder) {
  const int descriptor = OpenFolderDescriptor(folder);
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

QssResult WriteToHandle(std::intptr_t handle, const void* buffer, std::uint32_t count, std::uint32_t* done) {
  if (done) *done = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t total = 0;
  QssResult result = kQssOk;
  while (total < count) {
    const ssize_t n = ::write(static_cast<int>(handle), bytes + total, count - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      result = LastError();
      break;
    }
    if (n == 0) {
      result = QssResultFromSystemError(EIO);
      break;
    }
    total += static_cast<std::uint32_t>(n);
  }
  if (done) *done = total;
  return result;
}

bool HandleIsRegularFile(std::intptr_t handle) {
  struct stat status {};
  return ::fstat(static_cast<int>(handle), &status) == 0 && S_ISREG(status.st_mode);
}

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

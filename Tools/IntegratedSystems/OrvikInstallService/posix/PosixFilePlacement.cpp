// File placement on POSIX. The extracted file is created with mode 0755 so
// that it can be run, and only as a new file: a name that exists at the
// moment of creation (a file, a link, anything) makes the creation fail and
// is left as it is. Replacing moves use rename(2), which fails for example
// when the target is a directory. There is no facility to move a file at the
// next restart: MoveAtNextRestart does nothing and reports false, and the
// extracted file stays at its temporary name.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include "FilePlacement.h"
#include "WideText.h"

namespace {

constexpr mode_t kExecutableMode = 0755;

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  ~PosixOutputFile() override { Close(); }

  bool Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    if (fd_ < 0) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (*written < count) {
      const ssize_t done = write(fd_, bytes + *written, count - *written);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return false;
      *written += static_cast<std::uint32_t>(done);
    }
    return true;
  }

  bool Close() override {
    if (fd_ < 0) return true;
    const int result = close(fd_);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_;
};

class PosixFilePlacement final : public FilePlacement {
 public:
  bool Delete(const std::u16string& path) override {
    const std::string name = Utf16ToUtf8(path);
    struct stat info {};
    // Like the Windows call, this deletes files only, never a directory.
    if (lstat(name.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
    return unlink(name.c_str()) == 0;
  }

  bool Exists(const std::u16string& path) override {
    struct stat info {};
    return stat(Utf16ToUtf8(path).c_str(), &info) == 0;
  }

  std::unique_ptr<OutputFile> Create(const std::u16string& path) override {
    const std::string name = Utf16ToUtf8(path);
    // The caller deleted the name just before: whatever stands there now was
    // put there by someone else who can write the folder, and may be a link
    // to a file of their choice. Writing through it (as root), making its
    // target executable and running it under the final name must not happen,
    // so only a file this call makes itself is ever opened.
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kExecutableMode);
    if (fd < 0) return nullptr;
    // The umask may have taken bits off the mode given to open.
    fchmod(fd, kExecutableMode);
    std::unique_ptr<OutputFile> file(new (std::nothrow) PosixOutputFile(fd));
    if (!file) {
      // Nobody will write the file: it goes, rather than stand as a stray
      // empty executable.
      close(fd);
      unlink(name.c_str());
    }
    return file;
  }

  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override {
    return std::rename(Utf16ToUtf8(from).c_str(), Utf16ToUtf8(to).c_str()) == 0;
  }

  bool MoveAtNextRestart(const std::u16string&, const std::u16string&) override { return false; }
};

}  // namespace

std::unique_ptr<FilePlacement> NewPlatformFilePlacement() { return std::make_unique<PosixFilePlacement>(); }

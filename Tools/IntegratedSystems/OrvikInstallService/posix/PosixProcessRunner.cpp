#include "posix/PosixProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "WideText.h"
#include "posix/WindowsCommandLine.h"

extern char** environ;

namespace {

constexpr char kNullDevice[] = "/dev/null";

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
#define ORVIK_HAVE_SPAWN_CHDIR 1
#endif
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define ORVIK_HAVE_SPAWN_CLOSEFROM 1
#endif

// The child keeps only the three standard descriptors; everything else the
// installer holds open (the package files, for one) is closed, as for a
// Windows child started without handle inheritance.
constexpr int kFirstClosedFd = STDERR_FILENO + 1;

// The argument vector in the form exec wants; the strings stay owned here.
class ArgumentVector {
 public:
  explicit ArgumentVector(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

class PosixRunningProcess final : public RunningProcess {
 public:
  explicit PosixRunningProcess(pid_t pid) : pid_(pid) {}

  void Wait() override {
    if (reaped_) return;
    int status = 0;
    pid_t result;
    do {
      result = waitpid(pid_, &status, 0);
    } while (result < 0 && errno == EINTR);
    if (result != pid_) return;
    reaped_ = true;
    if (WIFEXITED(status)) {
      exitCode_ = static_cast<std::uint32_t>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      exitCode_ = 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    }
  }

  bool GetExitCode(std::uint32_t* exitCode) override {
    if (!reaped_) return false;
    *exitCode = exitCode_;
    return true;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
  std::uint32_t exitCode_ = 0;
};

#ifdef ORVIK_HAVE_SPAWN_CHDIR
int SpawnWithChdir(const std::string& program, char* const* argv, const std::string& directory, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  if (int error = posix_spawn_file_actions_init(&actions)) return error;
  int error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, kNullDevice, O_RDONLY, 0);
  if (!error) error = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, kNullDevice, O_WRONLY, 0);
  if (!error) error = posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, kNullDevice, O_WRONLY, 0);
#ifdef ORVIK_HAVE_SPAWN_CLOSEFROM
  if (!error) error = posix_spawn_file_actions_addclosefrom_np(&actions, kFirstClosedFd);
#endif
  if (!error && !directory.empty()) error = posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawnattr_t attributes;
  if (!error) error = posix_spawnattr_init(&attributes);
  if (error) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  error = posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (!error) error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  if (!error) error = posix_spawn(pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}
#endif

// Child side of the fork: only async-signal-safe calls until exec. A failure
// is sent to the parent as the errno through the pipe.
[[noreturn]] void RunChild(const char* program, char* const* argv, const char* directory, int reportFd,
                          int fdLimit) {
  const int null = open(kNullDevice, O_RDWR);
  int error = 0;
  if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0) {
    error = errno;
  } else {
    // The report pipe closes itself at exec.
    for (int fd = kFirstClosedFd; fd < fdLimit; ++fd) {
      if (fd != reportFd) close(fd);
    }
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &standard, nullptr);
    if (*directory && chdir(directory) != 0) {
      error = errno;
    } else {
      execve(program, argv, environ);
      error = errno;
    }
  }
  while (write(reportFd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  _exit(127);
}

int ForkExecWithChdir(const std::string& program, char* const* argv, const std::string& directory, pid_t* pid) {
  const long openMax = sysconf(_SC_OPEN_MAX);
  const int fdLimit = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    close(report[0]);
    close(report[1]);
    return error;
  }
  if (child == 0) {
    close(report[0]);
    RunChild(program.c_str(), argv, directory.c_str(), report[1], fdLimit);
  }
  close(report[1]);
  // The pipe closes without data when exec succeeds (close-on-exec).
  int error = 0;
  ssize_t got;
  do {
    got = read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return error != 0 ? error : ECHILD;
  }
  *pid = child;
  return 0;
}

}  // namespace

std::u16string PosixProcessRunner::GetOwnExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::u16string();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return Utf8ToUtf16(buffer);
    }
    if (buffer.size() >= (1u << 20)) return std::u16string();
    buffer.resize(buffer.size() * 2);
  }
}

std::unique_ptr<RunningProcess> PosixProcessRunner::Start(const std::u16string& applicationPath,
                                                          const std::u16string& commandLine,
                                                          const std::u16string& workingDirectory) {
  const std::string program = Utf16ToUtf8(applicationPath);
  std::vector<std::string> words{program};
  for (const std::u16string& argument : SplitCommandLineArguments(ArgumentsAfterProgram(commandLine, applicationPath))) {
    words.push_back(Utf16ToUtf8(argument));
  }
  ArgumentVector argv(std::move(words));
  const std::string directory = Utf16ToUtf8(workingDirectory);

  pid_t pid = -1;
  int error;
#ifdef ORVIK_HAVE_SPAWN_CHDIR
  if (method_ == Method::kBest) {
    error = SpawnWithChdir(program, argv.get(), directory, &pid);
  } else {
    error = ForkExecWithChdir(program, argv.get(), directory, &pid);
  }
#else
  error = ForkExecWithChdir(program, argv.get(), directory, &pid);
#endif
  if (error != 0) {
    lastError_ = static_cast<std::uint32_t>(error);
    return nullptr;
  }
  return std::make_unique<PosixRunningProcess>(pid);
}

std::unique_ptr<ProcessRunner> NewPlatformProcessRunner() { return std::make_unique<PosixProcessRunner>(); }

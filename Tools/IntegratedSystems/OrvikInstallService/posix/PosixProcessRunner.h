// PosixProcessRunner: starting programs on POSIX.
//
// The application path is the program to run; the command line, split by
// the Windows rules (see WindowsCommandLine.h), gives its arguments, and the
// program sees the application path as its own name. The child starts in the
// working directory given, with this program's environment, with standard
// input, output and error on /dev/null: the counterpart of a child without a
// console window, whose output never mixes with the installer's messages.
// A child that cannot be started reports the errno of the failure (2 for a
// missing program or working directory). SIGPIPE, which the installer's
// console ignores, is back at its default in the child. The exit code of a child ended by a
// signal is 128 + the signal number, as shells report it.
//
// Starting uses posix_spawn, with the working directory set by
// posix_spawn_file_actions_addchdir_np where the C library has it, and
// fork, chdir and exec otherwise.

#ifndef TOOLS_ORVIKINSTALLSERVICE_POSIX_POSIXPROCESSRUNNER_H_
#define TOOLS_ORVIKINSTALLSERVICE_POSIX_POSIXPROCESSRUNNER_H_

#include "ProcessRunner.h"

class PosixProcessRunner final : public ProcessRunner {
 public:
  enum class Method { kBest, kForkExec };

  explicit PosixProcessRunner(Method method = Method::kBest) : method_(method) {}

  std::u16string GetOwnExecutablePath() override;
  std::unique_ptr<RunningProcess> Start(const std::u16string& applicationPath, const std::u16string& commandLine,
                                        const std::u16string& workingDirectory) override;
  std::uint32_t LastError() override { return lastError_; }

 private:
  Method method_;
  std::uint32_t lastError_ = 0;
};

#endif  // TOOLS_ORVIKINSTALLSERVICE_POSIX_POSIXPROCESSRUNNER_H_

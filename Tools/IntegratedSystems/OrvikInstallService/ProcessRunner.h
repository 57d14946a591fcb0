// ProcessRunner: starting other programs and waiting for them.

#ifndef TOOLS_ORVIKINSTALLSERVICE_PROCESSRUNNER_H_
#define TOOLS_ORVIKINSTALLSERVICE_PROCESSRUNNER_H_

#include <cstdint>
#include <memory>
#include <string>

// A started child. The destructor gives up the handles; it neither waits for
// nor stops the child.
class RunningProcess {
 public:
  virtual ~RunningProcess() = default;

  // Blocks until the child has ended; there is no time limit.
  virtual void Wait() = 0;

  // After Wait: stores the child's exit code and returns true; returns false
  // and leaves *exitCode alone when it cannot be read.
  virtual bool GetExitCode(std::uint32_t* exitCode) = 0;
};

class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;

  // The full path of this program's own executable; empty when unknown.
  virtual std::u16string GetOwnExecutablePath() = 0;

  // Starts the program at applicationPath with the whole commandLine (which
  // begins with the program as the child should see it), in
  // workingDirectory (empty: the current directory), without a console
  // window of its own and with this program's environment. Null when the
  // child could not be started; LastError then tells why.
  virtual std::unique_ptr<RunningProcess> Start(const std::u16string& applicationPath,
                                                const std::u16string& commandLine,
                                                const std::u16string& workingDirectory) = 0;

  // The platform's error code of the last failed Start (2: file not found).
  virtual std::uint32_t LastError() = 0;
};

// The process runner of the platform the program was built for.
std::unique_ptr<ProcessRunner> NewPlatformProcessRunner();

#endif  // TOOLS_ORVIKINSTALLSERVICE_PROCESSRUNNER_H_

#include "ServiceRegistration.h"

#include "ConsolePrint.h"
#include "PathText.h"

std::uint32_t RunProcess(InstallerServices& services, const std::u16string& applicationPath,
                         const std::u16string& arguments) {
  std::u16string commandLine = applicationPath;
  if (!arguments.empty()) {
    commandLine.push_back(u' ');
    commandLine.append(arguments);
  }
  std::uint32_t exitCode = kProcessNotStarted;
  const std::u16string workingDirectory = RemoveLastPathComponent(services.processes.GetOwnExecutablePath());

  std::unique_ptr<RunningProcess> process =
      services.processes.Start(applicationPath, commandLine, workingDirectory);
  if (process) {
    ConsolePrint(services.console, u"Running process: %s\n", commandLine);
    process->Wait();
    process->GetExitCode(&exitCode);
  } else {
    ConsolePrint(services.console, u"Process %s failed with error %08x\n", commandLine,
                 services.processes.LastError());
  }
  return exitCode;
}

void RegisterService(InstallerServices& services, const std::u16string& serviceExecutablePath) {
  ConsolePrint(services.console, u"\n");
  RunProcess(services, serviceExecutablePath, u"-remove");
  RunProcess(services, serviceExecutablePath, u"-install");
  RunProcess(services, kServiceControlTool, kServiceControlArguments);
}

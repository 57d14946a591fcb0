// FakeInstallerServices: recording stand-ins for every platform service, so
// a test can run any step of the installer and compare what it printed and
// asked for.

#ifndef TOOLS_ORVIKINSTALLSERVICE_TESTING_FAKEINSTALLERSERVICES_H_
#define TOOLS_ORVIKINSTALLSERVICE_TESTING_FAKEINSTALLERSERVICES_H_

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "InstallerServices.h"
#include "PathText.h"

// The fake system directory, and a file in it joined as the platform joins.
inline constexpr char16_t kFakeSystemDirectory[] = u"/sys32";
std::u16string FakeSystemFile(std::u16string_view name);
std::string FakeSystemFileText(std::u16string_view name);

// Every Write is one entry, in UTF-8, so a test sees each ConsolePrint call.
class FakeConsole final : public Console {
 public:
  void Write(std::u16string_view text) override;
  void WaitForKey() override { ++keyWaits; }

  std::vector<std::string> writes;
  int keyWaits = 0;
  // The write that would become writes[*throwAtWrite] throws std::bad_alloc
  // instead, once.
  std::optional<std::size_t> throwAtWrite;
};

class FakeInstallerDatabase final : public InstallerDatabase {
 public:
  std::uint32_t EnumRelatedProducts(const char16_t* upgradeCode, std::uint32_t reserved, std::uint32_t index,
                                    char16_t* productCode) override;
  std::int32_t GetComponentPath(const char16_t* productCode, const char16_t* componentId, char16_t* path,
                                std::uint32_t* pathChars) override;

  std::vector<std::u16string> products;
  // The enumeration fails with this error at this index and beyond.
  std::optional<std::uint32_t> failAtIndex;
  std::map<std::u16string, std::u16string> componentPaths;
  // The enumeration throws std::bad_alloc at this index and beyond.
  std::optional<std::uint32_t> throwAtIndex;
  // Asking for these products' component paths throws std::bad_alloc.
  std::set<std::u16string> throwingProducts;

  std::vector<std::u16string> upgradeCodesAsked;
  std::vector<std::u16string> productsQueried;
  std::vector<std::u16string> componentsQueried;
  std::vector<std::uint32_t> bufferSizesGiven;
};

class FakeSystemDirectory final : public SystemDirectory {
 public:
  std::u16string GetPath() override { return path; }
  std::u16string path = kFakeSystemDirectory;
};

class FakeRedirection final : public FileSystemRedirection {
 public:
  bool Disable(void** previous) override;
  void Restore(void* previous) override;

  bool canDisable = true;
  bool disabled = false;
  int disables = 0;
  int restores = 0;
};

// An in-memory file system. Every operation is logged, in UTF-8, as
// "delete PATH", "create PATH", "move FROM TO", "move-at-restart FROM TO".
class FakeFilePlacement final : public FilePlacement {
 public:
  bool Delete(const std::u16string& path) override;
  bool Exists(const std::u16string& path) override;
  std::unique_ptr<OutputFile> Create(const std::u16string& path) override;
  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override;
  bool MoveAtNextRestart(const std::u16string& from, const std::u16string& to) override;

  std::map<std::u16string, std::string> files;
  std::set<std::u16string> directories;
  std::set<std::u16string> undeletable;
  std::set<std::u16string> uncreatable;
  bool moveReplacingFails = false;
  // A write fails once the file would grow past this many bytes; the bytes
  // that still fit are written.
  std::optional<std::size_t> writeLimit;
  bool closeFails = false;
  // An operation logged as the key throws std::bad_alloc (after it is
  // logged) from its Nth occurrence in the log on; 1 means every time.
  std::map<std::string, int> throwFrom;

  std::vector<std::string> log;
  // Paths of files that are open for writing right now.
  std::set<std::u16string> openFiles;

 private:
  void Log(std::string entry);
};

class FakeProcessRunner final : public ProcessRunner {
 public:
  struct Run {
    std::u16string application;
    std::u16string commandLine;
    std::u16string workingDirectory;
    bool waited = false;
  };

  std::u16string GetOwnExecutablePath() override { return ownPath; }
  std::unique_ptr<RunningProcess> Start(const std::u16string& applicationPath, const std::u16string& commandLine,
                                        const std::u16string& workingDirectory) override;
  std::uint32_t LastError() override { return lastError; }

  // This program, in the folder "/opt/installer".
  std::u16string ownPath = AppendPathComponent(u"/opt/installer", u"OrvikInstallService");
  // Programs that fail to start, with the error each reports.
  std::map<std::u16string, std::uint32_t> startErrors;
  std::map<std::u16string, std::uint32_t> exitCodes;
  std::uint32_t lastError = 0;
  std::deque<Run> runs;  // a deque keeps each Run in place for its process
};

// All fakes together, and the bundle the installer's steps take.
struct FakeInstaller {
  FakeInstaller() = default;
  // A copy's services would still be the original's.
  FakeInstaller(const FakeInstaller&) = delete;
  FakeInstaller& operator=(const FakeInstaller&) = delete;

  FakeConsole console;
  FakeInstallerDatabase database;
  FakeSystemDirectory systemDirectory;
  FakeRedirection redirection;
  FakeFilePlacement files;
  FakeProcessRunner processes;
  InstallerServices services{console, database, systemDirectory, redirection, files, processes};
};

#endif  // TOOLS_ORVIKINSTALLSERVICE_TESTING_FAKEINSTALLERSERVICES_H_

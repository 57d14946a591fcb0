#include "FakeInstallerServices.h"

#include <algorithm>
#include <new>

#include "WideText.h"

std::u16string FakeSystemFile(std::u16string_view name) { return AppendPathComponent(kFakeSystemDirectory, name); }

std::string FakeSystemFileText(std::u16string_view name) { return Utf16ToUtf8(FakeSystemFile(name)); }

void FakeConsole::Write(std::u16string_view text) {
  if (throwAtWrite && writes.size() == *throwAtWrite) {
    throwAtWrite.reset();
    throw std::bad_alloc();
  }
  writes.push_back(Utf16ToUtf8(text));
}

std::uint32_t FakeInstallerDatabase::EnumRelatedProducts(const char16_t* upgradeCode, std::uint32_t,
                                                         std::uint32_t index, char16_t* productCode) {
  upgradeCodesAsked.emplace_back(upgradeCode);
  if (throwAtIndex && index >= *throwAtIndex) throw std::bad_alloc();
  if (failAtIndex && index >= *failAtIndex) return 1627;  // a function failure, not the end of the list
  if (index >= products.size()) return kEnumNoMoreItems;
  const std::u16string& code = products[index];
  const std::size_t length = std::min<std::size_t>(code.size(), kProductCodeChars);
  code.copy(productCode, length);
  productCode[length] = u'\0';
  return kEnumSuccess;
}

std::int32_t FakeInstallerDatabase::GetComponentPath(const char16_t* productCode, const char16_t* componentId,
                                                     char16_t* path, std::uint32_t* pathChars) {
  productsQueried.emplace_back(productCode);
  componentsQueried.emplace_back(componentId);
  bufferSizesGiven.push_back(*pathChars);
  if (throwingProducts.count(productCode)) throw std::bad_alloc();
  const auto found = componentPaths.find(productCode);
  if (found == componentPaths.end()) return kInstallStateUnknown;
  if (found->second.size() + 1 > *pathChars) return kInstallStateMoreData;
  found->second.copy(path, found->second.size());
  path[found->second.size()] = u'\0';
  return kInstallStateLocal;
}

bool FakeRedirection::Disable(void** previous) {
  ++disables;
  if (!canDisable) return false;
  disabled = true;
  *previous = this;
  return true;
}

void FakeRedirection::Restore(void* previous) {
  ++restores;
  if (previous == this) disabled = false;
}

namespace {

class FakeOutputFile final : public OutputFile {
 public:
  FakeOutputFile(FakeFilePlacement& owner, std::u16string path) : owner_(owner), path_(std::move(path)) {
    owner_.openFiles.insert(path_);
  }
  ~FakeOutputFile() override { Close(); }

  bool Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    std::string& content = owner_.files[path_];
    std::size_t fits = count;
    if (owner_.writeLimit) fits = content.size() >= *owner_.writeLimit ? 0 : std::min<std::size_t>(count, *owner_.writeLimit - content.size());
    content.append(static_cast<const char*>(data), fits);
    *written = static_cast<std::uint32_t>(fits);
    return fits == count;
  }

  bool Close() override {
    if (closed_) return true;
    closed_ = true;
    owner_.openFiles.erase(path_);
    return !owner_.closeFails;
  }

 private:
  FakeFilePlacement& owner_;
  std::u16string path_;
  bool closed_ = false;
};

}  // namespace

void FakeFilePlacement::Log(std::string entry) {
  log.push_back(std::move(entry));
  const auto rule = throwFrom.find(log.back());
  if (rule != throwFrom.end() && std::count(log.begin(), log.end(), log.back()) >= rule->second) {
    throw std::bad_alloc();
  }
}

bool FakeFilePlacement::Delete(const std::u16string& path) {
  Log("delete " + Utf16ToUtf8(path));
  if (undeletable.count(path) || !files.count(path)) return false;
  files.erase(path);
  return true;
}

bool FakeFilePlacement::Exists(const std::u16string& path) { return files.count(path) || directories.count(path); }

std::unique_ptr<OutputFile> FakeFilePlacement::Create(const std::u16string& path) {
  Log("create " + Utf16ToUtf8(path));
  if (uncreatable.count(path) || directories.count(path)) return nullptr;
  files[path].clear();
  return std::make_unique<FakeOutputFile>(*this, path);
}

bool FakeFilePlacement::MoveReplacing(const std::u16string& from, const std::u16string& to) {
  Log("move " + Utf16ToUtf8(from) + " " + Utf16ToUtf8(to));
  if (moveReplacingFails || !files.count(from) || directories.count(to)) return false;
  files[to] = std::move(files[from]);
  files.erase(from);
  return true;
}

bool FakeFilePlacement::MoveAtNextRestart(const std::u16string& from, const std::u16string& to) {
  Log("move-at-restart " + Utf16ToUtf8(from) + " " + Utf16ToUtf8(to));
  return true;
}

namespace {

class FakeRunningProcess final : public RunningProcess {
 public:
  FakeRunningProcess(FakeProcessRunner::Run& run, std::uint32_t exitCode) : run_(run), exitCode_(exitCode) {}
  void Wait() override { run_.waited = true; }
  bool GetExitCode(std::uint32_t* exitCode) override {
    if (!run_.waited) return false;
    *exitCode = exitCode_;
    return true;
  }

 private:
  FakeProcessRunner::Run& run_;
  std::uint32_t exitCode_;
};

}  // namespace

std::unique_ptr<RunningProcess> FakeProcessRunner::Start(const std::u16string& applicationPath,
                                                         const std::u16string& commandLine,
                                                         const std::u16string& workingDirectory) {
  runs.push_back({applicationPath, commandLine, workingDirectory});
  if (const auto error = startErrors.find(applicationPath); error != startErrors.end()) {
    lastError = error->second;
    return nullptr;
  }
  const auto exit = exitCodes.find(applicationPath);
  return std::make_unique<FakeRunningProcess>(runs.back(), exit == exitCodes.end() ? 0 : exit->second);
}

#include "ServiceExtraction.h"

#include <memory>
#include <vector>

#include "ConsolePrint.h"
#include "qss/CQssRef.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/EntryPath.h"
#include "PackageContainer.h"
#include "PathText.h"
#include "ServiceRegistration.h"
#include "ServiceStreamPaths.h"
#include "StreamCopy.h"

using namespace qss;

namespace {

// The package paths are exact: split at every backslash, and an empty name
// (a leading, trailing or doubled backslash) stays, naming nothing. A slash
// is part of a name.
std::vector<std::u16string> PackagePathNames(const std::u16string& path) {
  std::vector<std::u16string> names;
  std::size_t start = 0;
  for (;;) {
    const std::size_t separator = path.find(u'\\', start);
    names.push_back(path.substr(start, separator == std::u16string::npos ? std::u16string::npos : separator - start));
    if (separator == std::u16string::npos) return names;
    start = separator + 1;
  }
}

}  // namespace

bool ExtractStream(InstallerServices& services, std::u16string path, CStorage& storage,
                   const std::u16string& outputPath) {
  CQssRef<CStream> stream;
  if (QssFailed(OpenStreamPath(&storage, PackagePathNames(path), &stream))) return false;
  return CopyStreamToNewFile(services.files, *stream, outputPath);
}

namespace {

// A package the library cannot even open in memory (a field that asks for
// more than there is, say) holds no container, like one that is not a
// container at all.
std::unique_ptr<PackageContainer> OpenPackage(const std::u16string& packagePath) {
  try {
    auto package = std::make_unique<PackageContainer>(packagePath);
    if (package->valid()) return package;
  } catch (...) {
  }
  return nullptr;
}

// One attempt. One that throws yields nothing, like a path that cannot be
// followed; the copy has already taken back any file it made.
bool TryExtractStream(InstallerServices& services, const std::u16string& path, CStorage& storage,
                      const std::u16string& outputPath) {
  try {
    return ExtractStream(services, path, storage, outputPath);
  } catch (...) {
    return false;
  }
}

// Redirection is turned back on however the extraction ends.
class RedirectionOff {
 public:
  explicit RedirectionOff(FileSystemRedirection& redirection)
      : redirection_(redirection), disabled_(redirection.Disable(&previous_)) {}
  ~RedirectionOff() {
    if (!disabled_) return;
    try {
      redirection_.Restore(previous_);
    } catch (...) {
    }
  }
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

 private:
  FileSystemRedirection& redirection_;
  void* previous_ = nullptr;
  bool disabled_;
};

}  // namespace

bool ExtractService(InstallerServices& services, const std::u16string& packagePath) {
  ConsolePrint(services.console, u"Opening firmware file %s\n", packagePath);
  const std::unique_ptr<PackageContainer> package = OpenPackage(packagePath);

  const std::u16string systemDirectory = services.systemDirectory.GetPath();
  const RedirectionOff redirectionOff(services.redirection);
  const std::u16string temporaryPath = AppendPathComponent(systemDirectory, kTemporaryServiceFileName);
  const std::u16string finalPath = AppendPathComponent(systemDirectory, kServiceFileName);

  ConsolePrint(services.console, u"\nExtracting service into file %s\n", temporaryPath);
  services.files.Delete(temporaryPath);

  // Only an attempt that completed counts: a leftover file at the temporary
  // path (one that could not be deleted, or a directory) is never taken for
  // an extracted executable.
  bool extracted = false;
  for (const std::u16string& streamPath : g_serviceStreamPaths) {
    if (package && TryExtractStream(services, streamPath, package->root(), temporaryPath)) {
      extracted = true;
      break;
    }
  }

  if (extracted) {
    if (!services.files.MoveReplacing(temporaryPath, finalPath)) {
      ConsolePrint(services.console,
                   u"Couldn't rename extracted file to %s\nFile will be replaced after rebooting\n", finalPath);
      services.files.MoveAtNextRestart(temporaryPath, finalPath);
    }
    RegisterService(services, finalPath);
  } else {
    ConsolePrint(services.console, u"Couldn't extract service from %s\n", packagePath);
  }
  return extracted;
}

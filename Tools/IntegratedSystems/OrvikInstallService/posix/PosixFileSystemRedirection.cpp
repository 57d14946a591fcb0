// POSIX has no file-system redirection: there is nothing to turn off.

#include "FileSystemRedirection.h"

namespace {

class NoFileSystemRedirection final : public FileSystemRedirection {
 public:
  bool Disable(void** previous) override {
    if (previous) *previous = nullptr;
    return false;
  }
  void Restore(void*) override {}
};

}  // namespace

std::unique_ptr<FileSystemRedirection> NewPlatformFileSystemRedirection() {
  return std::make_unique<NoFileSystemRedirection>();
}

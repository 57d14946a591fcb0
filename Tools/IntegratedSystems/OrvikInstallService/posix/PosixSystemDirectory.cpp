#include "posix/PosixSystemDirectory.h"

#include <cstdlib>

#include "SystemDirectory.h"
#include "WideText.h"

namespace {

class PosixSystemDirectory final : public SystemDirectory {
 public:
  std::u16string GetPath() override {
    const char* configured = std::getenv(kSystemDirectoryVariable);
    std::u16string path = Utf8ToUtf16(configured && *configured ? configured : kDefaultSystemDirectory);
    while (path.size() > 1 && path.back() == u'/') path.pop_back();
    return path;
  }
};

}  // namespace

std::unique_ptr<SystemDirectory> NewPlatformSystemDirectory() { return std::make_unique<PosixSystemDirectory>(); }

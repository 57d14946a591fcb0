// The installer database on Windows: Windows Installer (msi.dll).

#include <windows.h>
#include <msi.h>

#include "InstallerDatabase.h"
#include "win32/Win32Text.h"

namespace {

class WindowsInstallerDatabase final : public InstallerDatabase {
 public:
  std::uint32_t EnumRelatedProducts(const char16_t* upgradeCode, std::uint32_t reserved, std::uint32_t index,
                                    char16_t* productCode) override {
    return MsiEnumRelatedProductsW(AsWide(upgradeCode), reserved, index, AsWide(productCode));
  }

  std::int32_t GetComponentPath(const char16_t* productCode, const char16_t* componentId, char16_t* path,
                                std::uint32_t* pathChars) override {
    DWORD chars = *pathChars;
    const INSTALLSTATE state = MsiGetComponentPathW(AsWide(productCode), AsWide(componentId), AsWide(path), &chars);
    *pathChars = chars;
    // A path that did not fit was cut short, and what is left of it might
    // name another file; give back no path at all instead.
    if (state == INSTALLSTATE_MOREDATA && *pathChars > 0) path[0] = u'\0';
    return state;
  }
};

}  // namespace

std::unique_ptr<InstallerDatabase> NewPlatformInstallerDatabase() {
  return std::make_unique<WindowsInstallerDatabase>();
}

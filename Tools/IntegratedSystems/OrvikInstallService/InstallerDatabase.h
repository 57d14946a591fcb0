// InstallerDatabase: the platform's record of installed products.
//
// The installer asks it two things: which products belong to an upgrade
// family, and where a product installed one of its components. The calls
// keep the shape of the platform's own (fixed buffers, status numbers), so a
// platform implementation passes them straight through.

#ifndef TOOLS_ORVIKINSTALLSERVICE_INSTALLERDATABASE_H_
#define TOOLS_ORVIKINSTALLSERVICE_INSTALLERDATABASE_H_

#include <cstdint>
#include <memory>

// A product code is a GUID in braces: 38 characters.
inline constexpr std::uint32_t kProductCodeChars = 38;
inline constexpr std::uint32_t kProductCodeBufferChars = kProductCodeChars + 1;

// Results of EnumRelatedProducts.
inline constexpr std::uint32_t kEnumSuccess = 0;
inline constexpr std::uint32_t kEnumNoMoreItems = 259;

// Install states returned by GetComponentPath.
inline constexpr std::int32_t kInstallStateMoreData = -3;
inline constexpr std::int32_t kInstallStateUnknown = -1;
inline constexpr std::int32_t kInstallStateLocal = 3;

class InstallerDatabase {
 public:
  virtual ~InstallerDatabase() = default;

  // Stores the code of the product at position index (0, 1, 2, ...) of the
  // products related to upgradeCode into productCode, which has room for
  // kProductCodeBufferChars characters, ended by a NUL. kEnumSuccess when
  // there is one; any other value means there is none at that index (the
  // end of the list, or an error).
  virtual std::uint32_t EnumRelatedProducts(const char16_t* upgradeCode, std::uint32_t reserved,
                                            std::uint32_t index, char16_t* productCode) = 0;

  // Writes the installed path of componentId for productCode into path,
  // which has room for *pathChars characters, the NUL included. Returns the
  // component's install state; when the component is unknown, or its path
  // does not fit, path holds text that names no file (normally "").
  virtual std::int32_t GetComponentPath(const char16_t* productCode, const char16_t* componentId,
                                        char16_t* path, std::uint32_t* pathChars) = 0;
};

// The installer database of the platform the program was built for.
std::unique_ptr<InstallerDatabase> NewPlatformInstallerDatabase();

#endif  // TOOLS_ORVIKINSTALLSERVICE_INSTALLERDATABASE_H_

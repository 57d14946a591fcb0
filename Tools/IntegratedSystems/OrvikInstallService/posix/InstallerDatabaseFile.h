// InstallerDatabaseFile: the installer database on POSIX, a text file.
//
// The file is named by the environment variable ORVIK_INSTALLER_DB, or is
// /etc/orvik/installer.db when that is unset or empty. It is UTF-8 text, one
// record a line, fields separated by one TAB; blank lines and lines starting
// with '#' are ignored, and a line ending in CR LF is read as if it ended in
// LF:
//
//   related<TAB>{UPGRADE-CODE}<TAB>{PRODUCT-CODE}
//       a product related to an upgrade code; products are enumerated in
//       the order of these lines
//   component<TAB>{PRODUCT-CODE}<TAB>{COMPONENT-ID}<TAB>PATH
//       where a product installed a component; PATH is the rest of the line
//
// Codes are compared without regard to ASCII letter case. Every field must
// be non-empty, a product code must fit the enumeration buffer (at most 38
// characters); any other line is malformed and skipped. A path that does not
// fit the caller's buffer is not cut short (a shortened path could name a
// different file): the answer is an empty path and the state "more data".
// A missing or unreadable file is an empty database: no related products.

#ifndef TOOLS_ORVIKINSTALLSERVICE_POSIX_INSTALLERDATABASEFILE_H_
#define TOOLS_ORVIKINSTALLSERVICE_POSIX_INSTALLERDATABASEFILE_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "InstallerDatabase.h"

inline constexpr char kInstallerDatabaseVariable[] = "ORVIK_INSTALLER_DB";
inline constexpr char kDefaultInstallerDatabase[] = "/etc/orvik/installer.db";

struct InstallerDatabaseRecords {
  struct Related {
    std::u16string upgradeCode;
    std::u16string productCode;
  };
  struct Component {
    std::u16string productCode;
    std::u16string componentId;
    std::u16string path;
  };
  std::vector<Related> related;
  std::vector<Component> components;
};

InstallerDatabaseRecords ParseInstallerDatabase(std::string_view text);

class InstallerDatabaseFile final : public InstallerDatabase {
 public:
  // The file is read once, at the first query.
  explicit InstallerDatabaseFile(std::filesystem::path file);

  std::uint32_t EnumRelatedProducts(const char16_t* upgradeCode, std::uint32_t reserved, std::uint32_t index,
                                    char16_t* productCode) override;
  std::int32_t GetComponentPath(const char16_t* productCode, const char16_t* componentId, char16_t* path,
                                std::uint32_t* pathChars) override;

 private:
  const InstallerDatabaseRecords& Records();

  std::filesystem::path file_;
  std::optional<InstallerDatabaseRecords> records_;
};

#endif  // TOOLS_ORVIKINSTALLSERVICE_POSIX_INSTALLERDATABASEFILE_H_

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
// When several component lines name the same product and component, the
// first one counts.
//
// A missing or unreadable file is an empty database: no related products.
// So is anything but a regular file (a FIFO would block the run for ever, a
// device could deliver bytes without end) and a file larger than
// kMaxInstallerDatabaseBytes, which is refused whole rather than read in
// part, because a cut last line could name another file.

#ifndef TOOLS_ORVIKINSTALLSERVICE_POSIX_INSTALLERDATABASEFILE_H_
#define TOOLS_ORVIKINSTALLSERVICE_POSIX_INSTALLERDATABASEFILE_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "InstallerDatabase.h"

inline constexpr char kInstallerDatabaseVariable[] = "ORVIK_INSTALLER_DB";
inline constexpr char kDefaultInstallerDatabase[] = "/etc/orvik/installer.db";
// A real database holds a line or two per installed product; 64 MiB is far
// beyond any, and bounds the time and memory a hostile file can cost.
inline constexpr std::int64_t kMaxInstallerDatabaseBytes = std::int64_t{64} << 20;

// The parsed file, indexed for the two questions the installer asks. Codes
// are kept folded to upper case, so that one lookup matches every spelling.
struct InstallerDatabaseRecords {
  // Upgrade code -> the codes of its related products, in line order.
  std::unordered_map<std::u16string, std::vector<std::u16string>> related;
  // (product code, component id) -> the path of the first line naming them.
  std::map<std::pair<std::u16string, std::u16string>, std::u16string> componentPaths;
};

InstallerDatabaseRecords ParseInstallerDatabase(std::string_view text);

// The bytes of the database file, or nothing when it is missing, is not a
// regular file, cannot be read or is larger than kMaxInstallerDatabaseBytes.
// Never blocks on the file.
std::optional<std::string> ReadInstallerDatabaseText(const std::filesystem::path& file);

class InstallerDatabaseFile final : public InstallerDatabase {
 public:
  // The file is read and parsed once, at the first query; every later query
  // is answered from memory.
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

#include "posix/InstallerDatabaseFile.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "WideText.h"

namespace {

std::vector<std::string_view> SplitFields(std::string_view line, std::size_t maxFields) {
  std::vector<std::string_view> fields;
  while (fields.size() + 1 < maxFields) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) break;
    fields.push_back(line.substr(0, tab));
    line.remove_prefix(tab + 1);
  }
  fields.push_back(line);
  return fields;
}

char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool SameCode(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool AllNonEmpty(const std::vector<std::string_view>& fields) {
  for (std::string_view field : fields) {
    if (field.empty()) return false;
  }
  return true;
}

void ParseLine(std::string_view line, InstallerDatabaseRecords& records) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty() || line.front() == '#') return;
  const std::vector<std::string_view> fields = SplitFields(line, 4);
  if (fields[0] == "related") {
    // Exactly three fields: a fourth would have been split off.
    if (fields.size() != 3 || !AllNonEmpty(fields) || fields[2].find('\t') != std::string_view::npos) return;
    std::u16string productCode = Utf8ToUtf16(fields[2]);
    if (productCode.size() > kProductCodeChars || productCode.find(u'\0') != std::u16string::npos) return;
    records.related.push_back({Utf8ToUtf16(fields[1]), std::move(productCode)});
  } else if (fields[0] == "component") {
    if (fields.size() != 4 || !AllNonEmpty(fields)) return;
    std::u16string path = Utf8ToUtf16(fields[3]);
    if (path.find(u'\0') != std::u16string::npos) return;
    records.components.push_back({Utf8ToUtf16(fields[1]), Utf8ToUtf16(fields[2]), std::move(path)});
  }
}

}  // namespace

InstallerDatabaseRecords ParseInstallerDatabase(std::string_view text) {
  InstallerDatabaseRecords records;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    ParseLine(text.substr(0, end), records);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return records;
}

InstallerDatabaseFile::InstallerDatabaseFile(std::filesystem::path file) : file_(std::move(file)) {}

const InstallerDatabaseRecords& InstallerDatabaseFile::Records() {
  if (!records_) {
    // A file that cannot be opened or read gives no text, so no records.
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    records_ = ParseInstallerDatabase(text.str());
  }
  return *records_;
}

std::uint32_t InstallerDatabaseFile::EnumRelatedProducts(const char16_t* upgradeCode, std::uint32_t,
                                                         std::uint32_t index, char16_t* productCode) {
  if (!upgradeCode || !productCode) return kEnumNoMoreItems;
  std::uint32_t found = 0;
  for (const auto& related : Records().related) {
    if (!SameCode(related.upgradeCode, upgradeCode)) continue;
    if (found++ != index) continue;
    related.productCode.copy(productCode, related.productCode.size());
    productCode[related.productCode.size()] = u'\0';
    return kEnumSuccess;
  }
  return kEnumNoMoreItems;
}

std::int32_t InstallerDatabaseFile::GetComponentPath(const char16_t* productCode, const char16_t* componentId,
                                                     char16_t* path, std::uint32_t* pathChars) {
  if (!productCode || !componentId || !path || !pathChars) return kInstallStateUnknown;
  const std::uint32_t room = *pathChars;
  if (room > 0) path[0] = u'\0';
  for (const auto& component : Records().components) {
    if (!SameCode(component.productCode, productCode) || !SameCode(component.componentId, componentId)) continue;
    const std::size_t length = component.path.size();
    *pathChars = static_cast<std::uint32_t>(length);
    if (length + 1 > room) return kInstallStateMoreData;
    component.path.copy(path, length);
    path[length] = u'\0';
    return kInstallStateLocal;
  }
  *pathChars = 0;
  return kInstallStateUnknown;
}

std::unique_ptr<InstallerDatabase> NewPlatformInstallerDatabase() {
  const char* configured = std::getenv(kInstallerDatabaseVariable);
  return std::make_unique<InstallerDatabaseFile>(configured && *configured ? configured : kDefaultInstallerDatabase);
}

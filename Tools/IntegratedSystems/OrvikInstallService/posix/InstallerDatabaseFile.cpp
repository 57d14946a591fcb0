#include "posix/InstallerDatabaseFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

std::u16string FoldCase(std::u16string_view code) {
  std::u16string folded(code);
  for (char16_t& c : folded) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return folded;
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
    records.related[FoldCase(Utf8ToUtf16(fields[1]))].push_back(std::move(productCode));
  } else if (fields[0] == "component") {
    if (fields.size() != 4 || !AllNonEmpty(fields)) return;
    std::u16string path = Utf8ToUtf16(fields[3]);
    if (path.find(u'\0') != std::u16string::npos) return;
    // emplace keeps an earlier line's path.
    records.componentPaths.emplace(std::make_pair(FoldCase(Utf8ToUtf16(fields[1])), FoldCase(Utf8ToUtf16(fields[2]))),
                                   std::move(path));
  }
}

// Closes the descriptor at the end of the scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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

std::optional<std::string> ReadInstallerDatabaseText(const std::filesystem::path& file) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const Descriptor fd(open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxInstallerDatabaseBytes) {
    return std::nullopt;
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(info.st_size));
  // The file may grow while it is read: the bound holds for what is read,
  // not only for the size seen at the start.
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    if (static_cast<std::int64_t>(text.size()) + got > kMaxInstallerDatabaseBytes) return std::nullopt;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

InstallerDatabaseFile::InstallerDatabaseFile(std::filesystem::path file) : file_(std::move(file)) {}

const InstallerDatabaseRecords& InstallerDatabaseFile::Records() {
  if (!records_) {
    // A file that cannot be held in memory is as unreadable as one that
    // cannot be opened: it lists nothing.
    try {
      const std::optional<std::string> text = ReadInstallerDatabaseText(file_);
      records_ = text ? ParseInstallerDatabase(*text) : InstallerDatabaseRecords{};
    } catch (...) {
      records_.emplace();
    }
  }
  return *records_;
}

std::uint32_t InstallerDatabaseFile::EnumRelatedProducts(const char16_t* upgradeCode, std::uint32_t,
                                                         std::uint32_t index, char16_t* productCode) {
  if (!upgradeCode || !productCode) return kEnumNoMoreItems;
  const InstallerDatabaseRecords& records = Records();
  const auto family = records.related.find(FoldCase(upgradeCode));
  if (family == records.related.end() || index >= family->second.size()) return kEnumNoMoreItems;
  const std::u16string& code = family->second[index];
  code.copy(productCode, code.size());
  productCode[code.size()] = u'\0';
  return kEnumSuccess;
}

std::int32_t InstallerDatabaseFile::GetComponentPath(const char16_t* productCode, const char16_t* componentId,
                                                     char16_t* path, std::uint32_t* pathChars) {
  if (!productCode || !componentId || !path || !pathChars) return kInstallStateUnknown;
  const std::uint32_t room = *pathChars;
  if (room > 0) path[0] = u'\0';
  const InstallerDatabaseRecords& records = Records();
  const auto found = records.componentPaths.find(std::make_pair(FoldCase(productCode), FoldCase(componentId)));
  if (found == records.componentPaths.end()) {
    *pathChars = 0;
    return kInstallStateUnknown;
  }
  const std::size_t length = found->second.size();
  *pathChars = static_cast<std::uint32_t>(length);
  if (length + 1 > room) return kInstallStateMoreData;
  found->second.copy(path, length);
  path[length] = u'\0';
  return kInstallStateLocal;
}

std::unique_ptr<InstallerDatabase> NewPlatformInstallerDatabase() {
  const char* configured = std::getenv(kInstallerDatabaseVariable);
  return std::make_unique<InstallerDatabaseFile>(configured && *configured ? configured : kDefaultInstallerDatabase);
}

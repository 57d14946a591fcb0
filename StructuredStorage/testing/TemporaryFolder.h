// TemporaryFolder: a fresh, empty folder under the system's temporary
// directory for one test, removed with everything in it at the end of scope.

#ifndef STRUCTUREDSTORAGE_TESTING_TEMPORARYFOLDER_H_
#define STRUCTUREDSTORAGE_TESTING_TEMPORARYFOLDER_H_

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

class TemporaryFolder {
 public:
  TemporaryFolder() {
    static std::atomic<unsigned> serial{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
      path_ = std::filesystem::temp_directory_path() /
              ("qss-test-" + std::to_string(now) + "-" + std::to_string(serial.fetch_add(1)));
      if (std::filesystem::create_directory(path_)) break;  // an existing folder is someone else's
    }
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

#endif  // STRUCTUREDSTORAGE_TESTING_TEMPORARYFOLDER_H_

// TestPackage: firmware packages for tests, built with the container
// library's writing side.

#ifndef TOOLS_ORVIKINSTALLSERVICE_TESTING_TESTPACKAGE_H_
#define TOOLS_ORVIKINSTALLSERVICE_TESTING_TESTPACKAGE_H_

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

struct TestPackageStream {
  TestPackageStream(std::u16string path, std::string content, bool compressed = false)
      : path(std::move(path)), content(std::move(content)), compressed(compressed) {}

  // Storage names separated by backslashes, then the stream name.
  std::u16string path;
  std::string content;
  bool compressed = false;
};

struct TestPackageLayout {
  TestPackageLayout(std::vector<TestPackageStream> streams, std::set<std::u16string> nestedStorages = {},
                    std::vector<std::u16string> emptyStorages = {})
      : streams(std::move(streams)), nestedStorages(std::move(nestedStorages)), emptyStorages(std::move(emptyStorages)) {}

  std::vector<TestPackageStream> streams;
  // Storage paths (as in the stream paths, without the stream) made as
  // containers nested in a stream instead of plain storages.
  std::set<std::u16string> nestedStorages;
  // Storages that exist without streams in them.
  std::vector<std::u16string> emptyStorages;
};

// The bytes of a whole container holding the layout.
std::vector<std::uint8_t> BuildTestPackage(const TestPackageLayout& layout);

// Writes the bytes as a package at base. With a segment size, the bytes are
// split into segment files base, base.F0002, base.F0003, ... of that size.
void WriteTestPackage(const std::filesystem::path& base, const std::vector<std::uint8_t>& bytes,
                      std::int64_t segmentSize = 0);

std::string ReadWholeFile(const std::filesystem::path& path);

// Content of the given length that does not repeat in short runs.
std::string PatternContent(std::size_t length, unsigned seed = 1);

#endif  // TOOLS_ORVIKINSTALLSERVICE_TESTING_TESTPACKAGE_H_

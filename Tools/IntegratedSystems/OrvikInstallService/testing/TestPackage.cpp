#include "TestPackage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "qss/CQssRef.h"
#include "qss/CMemoryByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CreateContainer.h"

using namespace qss;

namespace {

// Opens storages as they are first named; keeps every reference until the
// whole tree is written, then lets go from the deepest up.
class StorageTree {
 public:
  StorageTree(CStorage* root, const std::set<std::u16string>& nested) : nested_(nested) { storages_[u""] = root; }

  ~StorageTree() {
    while (!held_.empty()) held_.pop_back();
  }

  CStorage* Get(const std::u16string& path) {
    if (const auto found = storages_.find(path); found != storages_.end()) return found->second;
    const std::size_t separator = path.rfind(u'\\');
    const std::u16string parentPath = separator == std::u16string::npos ? u"" : path.substr(0, separator);
    const std::u16string name = separator == std::u16string::npos ? path : path.substr(separator + 1);
    CStorage* parent = Get(parentPath);
    CStorage* child = nullptr;
    if (nested_.count(path)) {
      CRootStorage* nestedRoot = nullptr;
      EXPECT_EQ(parent->CreateNestedContainer(name.c_str(), 4, 512, &nestedRoot), 0);
      child = nestedRoot;
    } else {
      EXPECT_EQ(parent->CreateStorage(name.c_str(), &child), 0);
    }
    held_.push_back(CQssRef<CStorage>::Attach(child));
    storages_[path] = child;
    return child;
  }

 private:
  const std::set<std::u16string>& nested_;
  std::map<std::u16string, CStorage*> storages_;
  std::vector<CQssRef<CStorage>> held_;
};

}  // namespace

std::vector<std::uint8_t> BuildTestPackage(const TestPackageLayout& layout) {
  CQssRef<CMemoryByteArray> array(new CMemoryByteArray());
  EXPECT_EQ(CreateContainer(array.get(), 4, 512), 0);
  {
    CQssRef<CRootStorage> root(new CRootStorage(array.get()));
    EXPECT_TRUE(root->valid());
    StorageTree tree(root.get(), layout.nestedStorages);
    for (const std::u16string& storage : layout.emptyStorages) tree.Get(storage);
    for (const TestPackageStream& stream : layout.streams) {
      const std::size_t separator = stream.path.rfind(u'\\');
      CStorage* parent = tree.Get(separator == std::u16string::npos ? u"" : stream.path.substr(0, separator));
      const std::u16string name = separator == std::u16string::npos ? stream.path : stream.path.substr(separator + 1);
      CQssRef<CStream> created;
      EXPECT_EQ(parent->CreateStream(name.c_str(), stream.compressed, created.Receive()), 0);
      if (!created || stream.content.empty()) continue;
      std::uint32_t written = 0;
      EXPECT_GE(created->Write(stream.content.data(), static_cast<std::int32_t>(stream.content.size()), &written), 0);
      EXPECT_EQ(written, stream.content.size());
    }
  }
  return array->Bytes();
}

void WriteTestPackage(const std::filesystem::path& base, const std::vector<std::uint8_t>& bytes,
                      std::int64_t segmentSize) {
  const std::size_t piece = segmentSize > 0 ? static_cast<std::size_t>(segmentSize) : bytes.size();
  std::size_t offset = 0;
  for (int segment = 1; segment == 1 || offset < bytes.size(); ++segment) {
    std::filesystem::path name = base;
    if (segment > 1) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, ".F%04d", segment);
      name += suffix;
    }
    const std::size_t length = std::min(piece, bytes.size() - offset);
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data() + offset), static_cast<std::streamsize>(length));
    ASSERT_TRUE(out.good());
    offset += length;
  }
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string PatternContent(std::size_t length, unsigned seed) {
  std::mt19937 generator(seed);
  std::string content(length, '\0');
  for (char& c : content) c = static_cast<char>(generator());
  return content;
}

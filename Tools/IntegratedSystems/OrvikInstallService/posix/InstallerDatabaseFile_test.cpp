// The installer database file.

#include "posix/InstallerDatabaseFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "WideText.h"
#include "testing/TemporaryFolder.h"

namespace {

const char16_t kFamily[] = u"{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}";
const char16_t kComponent[] = u"{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}";
const char kFirstLine[] = "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t{A}\n";

std::vector<std::u16string> Enumerate(InstallerDatabase& database, const char16_t* family) {
  std::vector<std::u16string> products;
  for (std::uint32_t index = 0;; ++index) {
    char16_t buffer[kProductCodeBufferChars];
    if (database.EnumRelatedProducts(family, 0, index, buffer) != kEnumSuccess) break;
    products.emplace_back(buffer);
  }
  return products;
}

class InstallerDatabaseFileTest : public ::testing::Test {
 protected:
  InstallerDatabaseFile Write(const std::string& text) {
    std::ofstream(folder_ / "installer.db", std::ios::binary) << text;
    return InstallerDatabaseFile(folder_ / "installer.db");
  }

  TemporaryFolder folder_;
};

TEST_F(InstallerDatabaseFileTest, ListsRelatedProductsInLineOrder) {
  auto database = Write(
      "# products of the family\n"
      "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t{BBBBBBBB-0000-0000-0000-000000000002}\n"
      "\n"
      "related\t{FFFFFFFF-0000-0000-0000-000000000000}\t{CCCCCCCC-0000-0000-0000-000000000000}\r\n"
      "related\t{5d2e8a41-3c7b-4f19-a6d2-0b8e71c4f3a9}\t{AAAAAAAA-0000-0000-0000-000000000001}\r\n");
  EXPECT_EQ(Enumerate(database, kFamily), (std::vector<std::u16string>{u"{BBBBBBBB-0000-0000-0000-000000000002}",
                                                                       u"{AAAAAAAA-0000-0000-0000-000000000001}"}));
  EXPECT_EQ(Enumerate(database, u"{00000000-0000-0000-0000-000000000000}").size(), 0u);
}

TEST_F(InstallerDatabaseFileTest, MalformedLinesAreSkipped) {
  auto database = Write(
      "related {5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9} {SPACES}\n"
      "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\n"
      "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t\n"
      "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t{A}\textra\n"
      "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t{THIS-CODE-IS-FAR-TOO-LONG-FOR-THE-BUFFER-00}\n"
      "product\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t{B}\n"
      "component\t{OK}\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\n"
      "component\t{OK}\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\t\n"
      "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t{OK}");
  EXPECT_EQ(Enumerate(database, kFamily), std::vector<std::u16string>{u"{OK}"});
  char16_t path[260] = u"junk";
  std::uint32_t size = 260;
  EXPECT_EQ(database.GetComponentPath(u"{OK}", kComponent, path, &size), kInstallStateUnknown);
  EXPECT_EQ(std::u16string(path), u"");
}

TEST_F(InstallerDatabaseFileTest, ComponentPathsFitTheCallersBuffer) {
  const std::string longPath = "/" + std::string(259, 'x');
  auto database = Write(
      "component\t{P1}\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\t/opt/Lumetra/Firmware\tfile.varn\n"
      "component\t{P2}\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\t" + longPath + "\n"
      "component\t{P3}\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\t/opt/caf\xc3\xa9.varn\n");
  char16_t path[260];
  std::uint32_t size = 260;
  EXPECT_EQ(database.GetComponentPath(u"{p1}", kComponent, path, &size), kInstallStateLocal);
  EXPECT_EQ(std::u16string(path), u"/opt/Lumetra/Firmware\tfile.varn");
  size = 260;
  EXPECT_EQ(database.GetComponentPath(u"{P3}", kComponent, path, &size), kInstallStateLocal);
  EXPECT_EQ(std::u16string(path), u"/opt/caf\u00e9.varn");
  // 260 characters and the NUL do not fit: no path at all rather than a
  // shortened one that might name another file.
  size = 260;
  EXPECT_EQ(database.GetComponentPath(u"{P2}", kComponent, path, &size), kInstallStateMoreData);
  EXPECT_EQ(std::u16string(path), u"");
  EXPECT_EQ(size, 260u);
  size = 260;
  EXPECT_EQ(database.GetComponentPath(u"{P1}", u"{OTHER}", path, &size), kInstallStateUnknown);
}

TEST_F(InstallerDatabaseFileTest, AMissingFileIsAnEmptyDatabase) {
  InstallerDatabaseFile missing(folder_ / "no-such.db");
  EXPECT_TRUE(Enumerate(missing, kFamily).empty());
  InstallerDatabaseFile folder(folder_.path());
  EXPECT_TRUE(Enumerate(folder, kFamily).empty());
}

// A FIFO without a writer once blocked the run for ever, and /dev/zero
// filled memory until the program aborted: only a regular file is read.
TEST_F(InstallerDatabaseFileTest, OnlyARegularFileIsRead) {
  const std::filesystem::path fifo = folder_ / "installer.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::filesystem::path devices[] = {"/dev/zero", "/dev/null"};
  for (const std::filesystem::path& file : {fifo, devices[0], devices[1]}) {
    EXPECT_FALSE(ReadInstallerDatabaseText(file)) << file;
    InstallerDatabaseFile database(file);
    EXPECT_TRUE(Enumerate(database, kFamily).empty()) << file;
    char16_t path[260];
    std::uint32_t size = 260;
    EXPECT_EQ(database.GetComponentPath(u"{P}", kComponent, path, &size), kInstallStateUnknown) << file;
  }
  // A link to a regular file is that file.
  Write(kFirstLine);
  std::filesystem::create_symlink(folder_ / "installer.db", folder_ / "link.db");
  InstallerDatabaseFile linked(folder_ / "link.db");
  EXPECT_EQ(Enumerate(linked, kFamily).size(), 1u);
}

// A larger file is refused whole: a part of it would end in a cut line.
TEST_F(InstallerDatabaseFileTest, AFileBeyondTheSizeLimitIsRefusedWhole) {
  for (const std::int64_t size : {kMaxInstallerDatabaseBytes, kMaxInstallerDatabaseBytes + 1}) {
    auto database = Write(kFirstLine);
    // The rest reads as NUL bytes without taking room on disk.
    ASSERT_EQ(truncate((folder_ / "installer.db").c_str(), static_cast<off_t>(size)), 0);
    EXPECT_EQ(Enumerate(database, kFamily).size(), size <= kMaxInstallerDatabaseBytes ? 1u : 0u) << size;
  }
}

// Every question is answered from one reading of the file: 40,000 lines
// once took more than half a minute to enumerate. The answers are those of a
// scan in line order, the first line naming a component included.
TEST_F(InstallerDatabaseFileTest, ALargeDatabaseKeepsLineOrderAndTheFirstMatch) {
  constexpr int kProducts = 40000;
  auto code = [](int i, bool lower) {
    char text[39];
    std::snprintf(text, sizeof text,
                  lower ? "{%08x-abcd-0000-0000-000000000000}" : "{%08X-ABCD-0000-0000-000000000000}", i);
    return std::string(text);
  };
  std::string text;
  for (int i = 0; i < kProducts; ++i) {
    // The family in both spellings, and another family in between.
    const char* family = i % 2 ? "{5d2e8a41-3c7b-4f19-a6d2-0b8e71c4f3a9}" : "{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}";
    text += "related\t" + std::string(family) + "\t" + code(i, i % 3 == 0) + "\n";
    if (i % 7 == 0) text += "related\t{OTHER}\t" + code(i + kProducts, false) + "\n";
  }
  for (int i = 0; i < kProducts; ++i) {
    text += "component\t" + code(i, i % 2 == 0) + "\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\t/opt/" +
            std::to_string(i) + "\n";
  }
  // Later lines for the same product and component do not count.
  for (int i = 0; i < kProducts; i += 5) {
    text += "component\t" + code(i, true) + "\t{9a4c1e07-58d3-4b62-8e1f-c3a7d29b6054}\t/later/" +
            std::to_string(i) + "\n";
  }
  auto database = Write(text);

  const std::vector<std::u16string> products = Enumerate(database, kFamily);
  ASSERT_EQ(products.size(), static_cast<std::size_t>(kProducts));
  for (int i = 0; i < kProducts; ++i) {
    ASSERT_EQ(products[i], Utf8ToUtf16(code(i, i % 3 == 0))) << i;
    char16_t path[260];
    std::uint32_t size = 260;
    ASSERT_EQ(database.GetComponentPath(products[i].c_str(), kComponent, path, &size), kInstallStateLocal) << i;
    ASSERT_EQ(std::u16string(path), u"/opt/" + Utf8ToUtf16(std::to_string(i))) << i;
  }
  EXPECT_EQ(Enumerate(database, u"{other}").size(), static_cast<std::size_t>((kProducts + 6) / 7));
}

}  // namespace

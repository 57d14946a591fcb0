// Extraction from real package files into the fake system directory, and
// the placement and registration that follow.

#include "ServiceExtraction.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "PackageContainer.h"
#include "ServiceStreamPaths.h"
#include "StreamCopy.h"
#include "WideText.h"
#include "testing/FakeInstallerServices.h"
#include "testing/TemporaryFolder.h"
#include "testing/TestPackage.h"

namespace {

const std::u16string kTemporary = FakeSystemFile(u"Win_Talvane_Kivra7.tmp");
const std::u16string kFinal = FakeSystemFile(u"Win_Talvane_Kivra7.exe");
const std::string kTemporaryText = Utf16ToUtf8(kTemporary);
const std::string kFinalText = Utf16ToUtf8(kFinal);

class ServiceExtractionTest : public ::testing::Test {
 protected:
  // Writes the package and returns its path as the installer sees it.
  std::u16string WritePackage(const TestPackageLayout& layout, std::int64_t segmentSize = 0) {
    const std::filesystem::path path = folder_ / "firmware.varn";
    WriteTestPackage(path, BuildTestPackage(layout), segmentSize);
    return Utf8ToUtf16(path.string());
  }

  TemporaryFolder folder_;
  FakeInstaller fake_;
};

TEST_F(ServiceExtractionTest, TheFirstPathThatYieldsAStreamWins) {
  const std::u16string package = WritePackage({{{u"Kivra7i\\KivMod7Win.bin", "first"},
                                                {u"Kivra7i\\Win_Talvane_Kivra7.bin", "second"},
                                                {u"Brova3i\\KivMod7Win.bin", "third"}}});
  PackageContainer container(package);
  ASSERT_TRUE(container.valid());
  for (const std::u16string& path : g_serviceStreamPaths) {
    EXPECT_TRUE(ExtractStream(fake_.services, path, container.root(), kTemporary));
  }
  EXPECT_EQ(fake_.files.files[kTemporary], "third");

  fake_.files.files.clear();
  EXPECT_TRUE(ExtractService(fake_.services, package));
  EXPECT_EQ(fake_.files.files[kFinal], "first");
}

// The first two paths share the storage "Kivra7i": when the first stream is
// missing, that storage is given back and opened again for the second path.
TEST_F(ServiceExtractionTest, TheSharedStorageIsOpenedAgainForTheSecondPath) {
  const std::u16string package = WritePackage({{{u"Kivra7i\\Win_Talvane_Kivra7.bin", "second"},
                                                {u"Brova3i\\KivMod7Win.bin", "third"}}});
  EXPECT_TRUE(ExtractService(fake_.services, package));
  EXPECT_EQ(fake_.files.files[kFinal], "second");
  // The first attempt created nothing.
  EXPECT_EQ(fake_.files.log, (std::vector<std::string>{"delete " + kTemporaryText, "create " + kTemporaryText,
                                                       "move " + kTemporaryText + " " + kFinalText}));
}

TEST_F(ServiceExtractionTest, PathsThatCannotBeFollowedCreateNothing) {
  const std::u16string package =
      WritePackage({{{u"KivMod7Win.bin", "at the root"}, {u"Kivra7i\\Other.bin", "x"}}, {}, {u"Brova3i"}});
  PackageContainer container(package);
  ASSERT_TRUE(container.valid());
  // A leading backslash asks for a storage with an empty name.
  EXPECT_FALSE(ExtractStream(fake_.services, u"\\KivMod7Win.bin", container.root(), kTemporary));
  EXPECT_FALSE(ExtractStream(fake_.services, u"", container.root(), kTemporary));
  EXPECT_FALSE(ExtractStream(fake_.services, u"Kivra7i\\", container.root(), kTemporary));
  // A storage is not a stream, and a stream is not a storage.
  EXPECT_FALSE(ExtractStream(fake_.services, u"Kivra7i", container.root(), kTemporary));
  EXPECT_FALSE(ExtractStream(fake_.services, u"KivMod7Win.bin\\x", container.root(), kTemporary));
  EXPECT_TRUE(fake_.files.log.empty());
  // Names match exactly as written.
  EXPECT_FALSE(ExtractStream(fake_.services, u"kivra7i\\Other.bin", container.root(), kTemporary));
  EXPECT_TRUE(ExtractStream(fake_.services, u"Kivra7i\\Other.bin", container.root(), kTemporary));
  EXPECT_TRUE(ExtractStream(fake_.services, u"KivMod7Win.bin", container.root(), kTemporary));
  EXPECT_EQ(fake_.files.files[kTemporary], "at the root");
}

TEST_F(ServiceExtractionTest, StreamsOfEveryLengthArriveWhole) {
  for (const std::size_t length : {std::size_t{0}, std::size_t{kCopyChunkBytes}, std::size_t{2 * kCopyChunkBytes + 3}}) {
    const std::string content = PatternContent(length, 7);
    const std::u16string package = WritePackage({{{u"Kivra7i\\KivMod7Win.bin", content}}});
    FakeInstaller fake;
    EXPECT_TRUE(ExtractService(fake.services, package)) << length;
    ASSERT_EQ(fake.files.files.count(kFinal), 1u);
    EXPECT_TRUE(fake.files.files[kFinal] == content) << length;
  }
}

TEST_F(ServiceExtractionTest, CompressedNestedAndSegmentedPackagesAreReadAlike) {
  const std::string content = std::string(300000, 'a') + PatternContent(5000);
  TestPackageLayout layout{{{u"Brova3i\\KivMod7Win.bin", content, true}}, {u"Brova3i"}};
  const std::u16string package = WritePackage(layout, 4096);
  ASSERT_TRUE(std::filesystem::exists(folder_ / "firmware.varn.F0002"));
  EXPECT_TRUE(ExtractService(fake_.services, package));
  EXPECT_TRUE(fake_.files.files[kFinal] == content);
}

TEST_F(ServiceExtractionTest, AFailedCopyIsRemovedAndTheNextPathTried) {
  const std::u16string package = WritePackage(
      {{{u"Kivra7i\\KivMod7Win.bin", PatternContent(kCopyChunkBytes + 1)}, {u"Brova3i\\KivMod7Win.bin", "small"}}});
  fake_.files.writeLimit = 1000;
  EXPECT_TRUE(ExtractService(fake_.services, package));
  EXPECT_EQ(fake_.files.files[kFinal], "small");
  EXPECT_EQ(fake_.files.files.count(kTemporary), 0u);
}

// A record that claims more bytes than its chain holds: the copy ends short,
// so this path fails and leaves nothing, and the next one is used. A record
// that claims more than the whole package is not even opened.
TEST_F(ServiceExtractionTest, AStreamShorterThanItsRecordIsNotInstalled) {
  std::vector<std::uint8_t> bytes = BuildTestPackage(
      {{{u"Kivra7i\\KivMod7Win.bin", PatternContent(3000)}, {u"Brova3i\\KivMod7Win.bin", "complete"}}});
  // Find the record named KivMod7Win.bin whose size field (88 bytes into
  // the record) says 3000: the one in Kivra7i.
  const std::u16string name = u"KivMod7Win.bin";
  const auto* nameBytes = reinterpret_cast<const std::uint8_t*>(name.data());
  std::size_t sizeField = 0;
  for (auto at = bytes.begin();; ++at) {
    at = std::search(at, bytes.end(), nameBytes, nameBytes + 2 * name.size());
    ASSERT_NE(at, bytes.end());
    sizeField = static_cast<std::size_t>(at - bytes.begin()) + 88;
    if (sizeField + 8 <= bytes.size() && (bytes[sizeField] | bytes[sizeField + 1] << 8) == 3000) break;
  }
  bytes[sizeField + 1] = 0x0C;  // 3256 bytes: more than the chain's 3072, less than the package
  const std::filesystem::path path = folder_ / "firmware.varn";
  WriteTestPackage(path, bytes);

  EXPECT_TRUE(ExtractService(fake_.services, Utf8ToUtf16(path.string())));
  EXPECT_EQ(fake_.files.files[kFinal], "complete");
  EXPECT_EQ(fake_.files.log[1], "create " + kTemporaryText);
  EXPECT_EQ(fake_.files.log[2], "delete " + kTemporaryText);

  bytes[sizeField + 2] = 0x01;  // 3256 + 65536 bytes
  WriteTestPackage(path, bytes);
  FakeInstaller fake;
  EXPECT_TRUE(ExtractService(fake.services, Utf8ToUtf16(path.string())));
  EXPECT_EQ(fake.files.files[kFinal], "complete");
  EXPECT_EQ(fake.files.log, (std::vector<std::string>{"delete " + kTemporaryText, "create " + kTemporaryText,
                                                      "move " + kTemporaryText + " " + kFinalText}));
}

// An attempt that throws is a failed attempt: the next path is tried, and
// when none yields the service the usual failure is reported.
TEST_F(ServiceExtractionTest, AnAttemptThatThrowsIsAFailedAttempt) {
  const std::u16string package = WritePackage(
      {{{u"Kivra7i\\KivMod7Win.bin", PatternContent(5000)}, {u"Brova3i\\KivMod7Win.bin", "small"}}});
  // The first copy fails and taking its file back throws.
  fake_.files.writeLimit = 1000;
  fake_.files.throwFrom["delete " + kTemporaryText] = 2;
  EXPECT_TRUE(ExtractService(fake_.services, package));
  EXPECT_EQ(fake_.files.files[kFinal], "small");

  FakeInstaller throwing;
  throwing.files.throwFrom["create " + kTemporaryText] = 1;
  EXPECT_FALSE(ExtractService(throwing.services, package));
  EXPECT_EQ(throwing.console.writes.back(), "Couldn't extract service from " + Utf16ToUtf8(package) + "\n");
  // Both streams the package holds were tried.
  EXPECT_EQ(std::count(throwing.files.log.begin(), throwing.files.log.end(), "create " + kTemporaryText), 2);
  EXPECT_TRUE(throwing.processes.runs.empty());
  EXPECT_EQ(throwing.redirection.restores, 1);
}

TEST_F(ServiceExtractionTest, PlacesAndRegistersOnceExtracted) {
  const std::u16string package = WritePackage({{{u"Kivra7i\\KivMod7Win.bin", "service"}}});
  fake_.files.files[kFinal] = "old service";
  EXPECT_TRUE(ExtractService(fake_.services, package));
  EXPECT_EQ(fake_.files.files[kFinal], "service");
  ASSERT_EQ(fake_.processes.runs.size(), 3u);
  EXPECT_EQ(fake_.processes.runs[0].commandLine, kFinal + u" -remove");
  // Redirection is off while the files are placed and the service
  // registered, and back on afterwards.
  EXPECT_EQ(fake_.redirection.disables, 1);
  EXPECT_EQ(fake_.redirection.restores, 1);
  EXPECT_FALSE(fake_.redirection.disabled);
}

TEST_F(ServiceExtractionTest, AFileInUseIsReplacedAtTheNextRestart) {
  const std::u16string package = WritePackage({{{u"Kivra7i\\KivMod7Win.bin", "service"}}});
  fake_.files.moveReplacingFails = true;
  EXPECT_TRUE(ExtractService(fake_.services, package));
  EXPECT_EQ(fake_.console.writes[2],
            "Couldn't rename extracted file to " + kFinalText + "\nFile will be replaced after rebooting\n");
  EXPECT_EQ(fake_.files.log.back(), "move-at-restart " + kTemporaryText + " " + kFinalText);
  // Registration runs on the final path all the same.
  ASSERT_EQ(fake_.processes.runs.size(), 3u);
  EXPECT_EQ(fake_.processes.runs[1].commandLine, kFinal + u" -install");
}

// A stale temporary file (one that cannot be deleted, or a folder in its
// place) was once moved into place and registered although nothing had been
// extracted. Only a completed attempt counts now.
TEST_F(ServiceExtractionTest, ALeftoverTemporaryFileIsNeverInstalled) {
  const std::u16string package = WritePackage({{{u"Other\\KivMod7Win.bin", "service"}}});
  fake_.files.files[kTemporary] = "stale";
  fake_.files.undeletable.insert(kTemporary);
  EXPECT_FALSE(ExtractService(fake_.services, package));
  EXPECT_EQ(fake_.files.files.count(kFinal), 0u);
  EXPECT_TRUE(fake_.processes.runs.empty());

  FakeInstaller withFolder;
  withFolder.files.directories.insert(kTemporary);
  const std::u16string other = WritePackage({{{u"Kivra7i\\KivMod7Win.bin", "service"}}});
  EXPECT_FALSE(ExtractService(withFolder.services, other));
  EXPECT_EQ(withFolder.files.files.count(kFinal), 0u);
  EXPECT_TRUE(withFolder.processes.runs.empty());
  EXPECT_EQ(withFolder.console.writes.back(), "Couldn't extract service from " + Utf16ToUtf8(other) + "\n");
  EXPECT_EQ(withFolder.redirection.restores, 1);
}

TEST_F(ServiceExtractionTest, APackageThatIsNotAContainerYieldsNothing) {
  const std::filesystem::path path = folder_ / "firmware.varn";
  WriteTestPackage(path, std::vector<std::uint8_t>(4096, 0x5A));
  const std::u16string package = Utf8ToUtf16(path.string());
  EXPECT_FALSE(ExtractService(fake_.services, package));
  EXPECT_FALSE(ExtractService(fake_.services, package + u".missing"));
  EXPECT_TRUE(fake_.files.files.empty());
}

TEST_F(ServiceExtractionTest, ThePackageIsLeftUnchanged) {
  const std::filesystem::path path = folder_ / "firmware.varn";
  WriteTestPackage(path, BuildTestPackage({{{u"Kivra7i\\KivMod7Win.bin", PatternContent(70000), true}}, {u"Kivra7i"}}));
  const std::string before = ReadWholeFile(path);
  EXPECT_TRUE(ExtractService(fake_.services, Utf8ToUtf16(path.string())));
  EXPECT_TRUE(ReadWholeFile(path) == before);
}

}  // namespace

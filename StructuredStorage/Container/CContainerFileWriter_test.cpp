// The safe container writer: the destination changes only by the final
// moves, and never-finished work leaves nothing behind.

#include "qss/CContainerFileWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "qss/CQssRef.h"
#include "ByteArrays/CMultiFileArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/NativeFile.h"
#include "TemporaryFolder.h"

namespace qss {

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) names.insert(item.path().filename().string());
  return names;
}

// A process id that no process has.
std::uint32_t DeadProcessId() {
  std::uint32_t id = 0x3FFFFFF0u;
  while (native_file::ProcessIsAlive(id)) --id;
  return id;
}

void AddStream(CRootStorage* root, const char16_t* name, const std::string& content) {
  CStream* created = nullptr;
  ASSERT_EQ(kQssOk, root->CreateStream(name, false, &created));
  CQssRef<CStream> stream = CQssRef<CStream>::Attach(created);
  std::uint32_t written = 0;
  ASSERT_EQ(kQssOk, stream->Write(content.data(), static_cast<std::int32_t>(content.size()), &written));
  ASSERT_EQ(content.size(), written);
}

// The content of stream name in the container at base, or "<missing>".
std::string StreamContent(const fs::path& base, const char16_t* name) {
  auto array = CQssRef<CMultiFileArray>(
      new CMultiFileArray(base, native_file::kGenericRead, native_file::kShareRead, native_file::kAttributeNormal));
  if (QssFailed(array->Open())) return "<missing>";
  CQssRef<CRootStorage> root;
  if (QssFailed(CRootStorage::Open(array.get(), &root))) return "<not a container>";
  CStream* found = nullptr;
  if (QssFailed(root->OpenStream(name, 0, &found))) return "<missing>";
  CQssRef<CStream> stream = CQssRef<CStream>::Attach(found);
  std::string content(static_cast<std::size_t>(stream->entry()->Size()), '\0');
  std::uint32_t got = 0;
  if (!content.empty() && QssFailed(stream->Read(content.data(), static_cast<std::int32_t>(content.size()), &got))) {
    return "<unreadable>";
  }
  content.resize(got);
  return content;
}

TEST(ContainerFileWriterTest, TheDestinationChangesOnlyWhenReplacedAndNoTemporaryRemains) {
  TemporaryFolder folder;
  const fs::path destination = folder / "c.qss";
  WriteAll(destination, "the old container");
  CContainerFileWriter writer(destination);
  ASSERT_EQ(kQssOk, writer.Start(4, 512));
  EXPECT_EQ(writer.temporaryPath(), CContainerFileWriter::TemporaryPathFor(destination, native_file::CurrentProcessId()));
  EXPECT_TRUE(fs::exists(writer.temporaryPath()));
  AddStream(writer.root(), u"data", std::string(3000, 'n'));
  EXPECT_EQ(ReadAll(destination), "the old container");
  ASSERT_EQ(kQssOk, writer.Seal());
  EXPECT_EQ(writer.segmentCount(), 1);
  EXPECT_EQ(ReadAll(destination), "the old container");
  EXPECT_EQ(StreamContent(writer.temporaryPath(), u"data"), std::string(3000, 'n'));  // readable before the move
  ASSERT_EQ(kQssOk, writer.Replace());
  EXPECT_EQ(StreamContent(destination, u"data"), std::string(3000, 'n'));
  EXPECT_EQ(Names(folder.path()), std::set<std::string>{"c.qss"});
  EXPECT_FALSE(writer.destinationDamaged());
}

TEST(ContainerFileWriterTest, WorkNeverReplacedLeavesTheDestinationAsItWas) {
  TemporaryFolder folder;
  const fs::path destination = folder / "c.qss";
  WriteAll(destination, "old");
  WriteAll(folder / "c.qss.F0002", "old segment");
  {
    CContainerFileWriter writer(destination, 1024);
    ASSERT_EQ(kQssOk, writer.Start(4, 128));
    AddStream(writer.root(), u"a", std::string(5000, 'a'));  // several temporary segments
    EXPECT_GE(Names(folder.path()).size(), 5u);
  }
  {
    CContainerFileWriter writer(destination);
    ASSERT_EQ(kQssOk, writer.Start(4, 512));
    AddStream(writer.root(), u"a", "x");
    ASSERT_EQ(kQssOk, writer.Seal());
  }
  {
    CContainerFileWriter writer(destination);
    ASSERT_EQ(kQssOk, writer.Start(4, 512));
    writer.Discard();
    EXPECT_EQ(writer.Seal(), kQssInvalidRequest);
    EXPECT_EQ(writer.Replace(), kQssInvalidRequest);
  }
  EXPECT_EQ(ReadAll(destination), "old");
  EXPECT_EQ(ReadAll(folder / "c.qss.F0002"), "old segment");
  EXPECT_EQ(Names(folder.path()), (std::set<std::string>{"c.qss", "c.qss.F0002"}));
}

TEST(ContainerFileWriterTest, SealWaitsForEveryChildToBeReleased) {
  TemporaryFolder folder;
  CContainerFileWriter writer(folder / "c.qss");
  ASSERT_EQ(kQssOk, writer.Start(4, 512));
  CStream* created = nullptr;
  ASSERT_EQ(kQssOk, writer.root()->CreateStream(u"open", false, &created));
  CQssRef<CStream> stream = CQssRef<CStream>::Attach(created);
  EXPECT_EQ(writer.Seal(), kQssAlreadyOpen);
  stream.Reset();
  ASSERT_EQ(kQssOk, writer.Seal());
  ASSERT_EQ(kQssOk, writer.Replace());
  EXPECT_EQ(StreamContent(folder / "c.qss", u"open"), "");
}

// More segments over fewer and fewer over more: afterwards exactly the new
// segments exist under the destination's names.
TEST(ContainerFileWriterTest, SegmentedContainersLeaveExactlyTheNewSegments) {
  TemporaryFolder folder;
  const fs::path destination = folder / "c.qss";
  for (const int oldSegments : {1, 6}) {
    WriteAll(destination, "old");
    for (int n = 2; n <= oldSegments; ++n) WriteAll(CMultiPhysicalByteArray::SegmentName(destination, n), "old");
    CContainerFileWriter writer(destination, 2048);
    ASSERT_EQ(kQssOk, writer.Start(4, 256));
    const std::string content(6000, 's');
    AddStream(writer.root(), u"s", content);
    ASSERT_EQ(kQssOk, writer.Seal());
    const int count = writer.segmentCount();
    ASSERT_GE(count, 4);
    // The list of temporaries names every file made, for a signal handler.
    std::set<fs::path> listed;
    for (auto* file = writer.temporaryFiles().load(); file != nullptr; file = file->next) listed.insert(file->path);
    EXPECT_EQ(listed.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(listed.count(CMultiPhysicalByteArray::SegmentName(writer.temporaryPath(), count)), 1u);
    ASSERT_EQ(kQssOk, writer.Replace());
    std::set<std::string> expected = {"c.qss"};
    for (int n = 2; n <= count; ++n) expected.insert(CMultiPhysicalByteArray::SegmentName("c.qss", n).string());
    EXPECT_EQ(Names(folder.path()), expected) << "from " << oldSegments << " old segments";
    EXPECT_EQ(StreamContent(destination, u"s"), content);
  }
  // And back to one file: the old segments all go.
  CContainerFileWriter writer(destination);
  ASSERT_EQ(kQssOk, writer.Start(4, 256));
  ASSERT_EQ(kQssOk, writer.Seal());
  ASSERT_EQ(kQssOk, writer.Replace());
  EXPECT_EQ(Names(folder.path()), std::set<std::string>{"c.qss"});
}

TEST(ContainerFileWriterTest, AFolderInTheWayFailsBeforeAnythingMoves) {
  TemporaryFolder folder;
  const fs::path destination = folder / "c.qss";
  WriteAll(destination, "old");
  fs::create_directory(folder / "c.qss.F0002");
  CContainerFileWriter writer(destination, 1024);
  ASSERT_EQ(kQssOk, writer.Start(4, 128));
  AddStream(writer.root(), u"a", std::string(3000, 'a'));
  ASSERT_EQ(kQssOk, writer.Seal());
  EXPECT_EQ(writer.Replace(), kQssInvalidArgument);
  EXPECT_FALSE(writer.destinationDamaged());
  EXPECT_EQ(ReadAll(destination), "old");
  EXPECT_EQ(Names(folder.path()), (std::set<std::string>{"c.qss", "c.qss.F0002"}));
}

TEST(ContainerFileWriterTest, StrayTemporariesOfDeadProcessesAreRemovedAndNothingElse) {
  TemporaryFolder folder;
  const fs::path destination = folder / "c.qss";
  const std::string dead = std::to_string(DeadProcessId());
  const std::string self = std::to_string(native_file::CurrentProcessId());
  const std::set<std::string> kept = {
      ".c.qss.qss-tmp-",           ".c.qss.qss-tmp-12x", ".c.qss.qss-tmp-" + dead + ".F02",
      ".c.qss.qss-tmp-" + dead + ".G0002", ".d.qss.qss-tmp-" + dead, "c.qss.qss-tmp-" + dead,
#ifndef _WIN32
      ".c.qss.qss-tmp-1",  // process 1 lives as long as the system
#endif
  };
  for (const std::string& name : kept) WriteAll(folder / name, "keep");
  for (const std::string& name : {".c.qss.qss-tmp-" + dead, ".c.qss.qss-tmp-" + dead + ".F0002",
                                  ".c.qss.qss-tmp-" + dead + ".F0003", ".c.qss.qss-tmp-" + self}) {
    WriteAll(folder / name, "stray");
  }
  CContainerFileWriter writer(destination);
  ASSERT_EQ(kQssOk, writer.Start(4, 512));
  std::set<std::string> expected = kept;
  expected.insert(writer.temporaryPath().filename().string());
  EXPECT_EQ(Names(folder.path()), expected);

  // A second writer of this process for the same destination is refused and
  // takes nothing of the first's.
  CContainerFileWriter second(destination);
  EXPECT_EQ(second.Start(4, 512), kQssAlreadyOpen);
  EXPECT_TRUE(fs::exists(writer.temporaryPath()));
  ASSERT_EQ(kQssOk, writer.Seal());
  ASSERT_EQ(kQssOk, writer.Replace());
}

TEST(ContainerFileWriterTest, AMissingFolderFailsAtStart) {
  TemporaryFolder folder;
  CContainerFileWriter writer(folder / "missing" / "c.qss");
  EXPECT_TRUE(QssFailed(writer.Start(4, 512)));
  EXPECT_EQ(writer.root(), nullptr);
  EXPECT_TRUE(Names(folder.path()).empty());
  CContainerFileWriter badLayout(folder / "c.qss");
  EXPECT_EQ(badLayout.Start(3, 512), kQssInvalidArgument);
  EXPECT_TRUE(Names(folder.path()).empty());
}

}  // namespace

}  // namespace qss

// qss on damaged containers: every command fails cleanly with the right
// result code, check names each fault, and nothing is ever written.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "qss/CMemoryByteArray.h"
#include "qss/CQssRef.h"
#include "qss/ContainerCheck.h"
#include "ByteArrays/CMultiFileArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/CreateContainer.h"
#include "Format/Format.h"
#include "ContainerImage.h"
#include "QssTestSupport.h"
#include "TemporaryFolder.h"

using namespace qss;

namespace qss_test {
namespace {

class CorruptionTest : public ::testing::Test {
 protected:
  // Packs files (relative path -> content) into c.qss with the options.
  fs::path Pack(const std::map<std::string, std::string>& files, std::vector<std::string> options = {}) {
    const fs::path source = folder_ / "source";
    fs::remove_all(source);
    for (const auto& [path, content] : files) WriteFile(source / path, content);
    const fs::path container = folder_ / "c.qss";
    options.insert(options.begin(), "pack");
    options.push_back(source.string());
    options.push_back(container.string());
    const RunResult run = RunInProcess(options);
    EXPECT_EQ(run.code, 0) << run.err;
    return container;
  }

  std::string Check(const fs::path& container) {
    const RunResult run = RunInProcess({"check", container.string()});
    EXPECT_EQ(run.code, run.out == "ok\n" ? 0 : 1);
    return run.out;
  }

  // Runs every reading command and makes sure none wrote to the container.
  void ExpectNothingWritten(const fs::path& container, const std::string& streamPath) {
    const std::string before = ContainerBytes(container);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", container.string()},
             {"ls", "--json", container.string()},
             {"tree", container.string()},
             {"tree", "--json", container.string()},
             {"cat", container.string(), streamPath},
             {"unpack", container.string(), (folder_ / "unpacked-check").string()},
             {"info", container.string()},
             {"check", container.string()}}) {
      const RunResult run = RunInProcess(args);
      EXPECT_LE(run.code, 1) << args[0];
      if (run.code == 1 && !run.err.empty()) {
        EXPECT_EQ(run.err.rfind("qss: ", 0), 0u) << args[0];
      }
    }
    EXPECT_TRUE(ContainerBytes(container) == before);
  }

  TemporaryFolder folder_;
};

// A stream whose content starts at a head offset: its chain holds the bytes
// from the head's block on, so its size may exceed the whole container. cat
// reads it from the head; a head offset no length can have is refused
// without overflowing on the way.
TEST_F(CorruptionTest, AStreamWithAHeadOffsetIsReadFromItsHead) {
  std::string content;
  for (int i = 0; i < 10 * 512; ++i) content.push_back(static_cast<char>('a' + i % 23));
  const fs::path container = Pack({{"headstream", content}}, {"--block-size", "512"});
  ContainerImage image(container);
  const std::size_t record = image.Record(u"headstream");
  const std::int64_t head = 100 * 512 + 17;
  image.ChangeRecord(record, [&](EntryRecord& changed) { changed.headOffset = head; });
  image.SetSize(u"headstream", 100 * 512 + static_cast<std::int64_t>(content.size()));
  image.Save();
  ASSERT_GT(image.Size(u"headstream"), static_cast<std::int64_t>(image.bytes().size()));
  RunResult run = RunInProcess({"cat", container.string(), "headstream"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(run.out == content.substr(17)) << run.out.size();

  image.ChangeRecord(record, [](EntryRecord& changed) { changed.headOffset = INT64_MIN + 1; });
  image.Save();
  run = RunInProcess({"cat", container.string(), "headstream"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("0x81016005"), std::string::npos) << run.err;
}

// Records that share one chain: unpack writes its bytes once and names the
// entry that took it (2,048 such records once unpacked 1 GiB from 780 KB).
TEST_F(CorruptionTest, UnpackWritesASharedChainOnce) {
  const fs::path container =
      Pack({{"first.bin", std::string(9000, 'f')}, {"second.bin", std::string(9000, 's')}}, {"--block-size", "4096"});
  ContainerImage image(container);
  image.SetFirstBlock(u"second.bin", image.FirstBlock(u"first.bin"));
  image.Save();
  const fs::path out = folder_ / "shared";
  const RunResult run = RunInProcess({"unpack", container.string(), out.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("'second.bin': its chain is the one of 'first.bin', unpacked already; skipped"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(ReadFile(out / "first.bin"), std::string(9000, 'f'));
  EXPECT_FALSE(fs::exists(out / "second.bin"));

  // A first block past any block the container could have is kept apart
  // from the others, and a second entry naming it is still caught.
  ContainerImage farImage(container);
  farImage.SetFirstBlock(u"first.bin", 0x7FFFFFF0);
  farImage.SetFirstBlock(u"second.bin", 0x7FFFFFF0);
  farImage.Save();
  const RunResult farRun = RunInProcess({"unpack", container.string(), (folder_ / "far").string()});
  EXPECT_EQ(farRun.code, 1);
  EXPECT_NE(farRun.err.find("'second.bin': its chain is the one of 'first.bin', unpacked already; skipped"),
            std::string::npos)
      << farRun.err;

  // Deeper down, the entry that took the chain is named by its whole path,
  // also after the walk has been in and out of other storages.
  const fs::path deep = Pack({{"a/inner/first.bin", std::string(9000, 'f')},
                              {"a/later.bin", std::string(9000, 'l')},
                              {"a/next/other.bin", std::string(9000, 'o')},
                              {"b/second.bin", std::string(9000, 's')},
                              {"b/third.bin", std::string(9000, 't')}},
                             {"--block-size", "4096"});
  ContainerImage deepImage(deep);
  deepImage.SetFirstBlock(u"second.bin", deepImage.FirstBlock(u"first.bin"));
  deepImage.SetFirstBlock(u"third.bin", deepImage.FirstBlock(u"later.bin"));
  deepImage.Save();
  const RunResult deepRun = RunInProcess({"unpack", deep.string(), (folder_ / "deep").string()});
  EXPECT_EQ(deepRun.code, 1);
  EXPECT_NE(deepRun.err.find("its chain is the one of 'a\\inner\\first.bin', unpacked already"), std::string::npos)
      << deepRun.err;
  EXPECT_NE(deepRun.err.find("its chain is the one of 'a\\later.bin', unpacked already"), std::string::npos)
      << deepRun.err;
  // The check names both entries by their paths too.
  const std::string checked = Check(deep);
  EXPECT_NE(checked.find("'b\\second.bin': block " + std::to_string(deepImage.FirstBlock(u"first.bin")) +
                         " is also used by 'a\\inner\\first.bin'"),
            std::string::npos)
      << checked;
}

// A root directory whose one block leads back to itself while its size
// claims the whole file: the walk stops where the block repeats, and every
// command says the directory was not read to its end (ls once listed
// millions of entries and exited 0).
TEST_F(CorruptionTest, ACircularDirectoryIsReadOnceAndReportedCutShort) {
  // 2-byte entries: the whole table is one block, which ContainerImage edits.
  const fs::path container =
      Pack({{"big.bin", std::string(5 << 20, 'b')}}, {"--block-size", "4096", "--entry-width", "2"});
  ContainerImage image(container);
  const std::int64_t directory = image.RootRecord().firstBlock;
  ASSERT_LT(directory, 2048);
  image.SetTableEntry(directory, directory);
  const std::int64_t wholeRecords = static_cast<std::int64_t>(image.bytes().size()) / kEntryRecordSize * kEntryRecordSize;
  image.ChangeRecord(kRootEntryOffset, [&](EntryRecord& root) { root.size = wholeRecords; });
  image.Save();

  RunResult run = RunInProcess({"ls", container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_LE(std::count(run.out.begin(), run.out.end(), '\n'), 4096 / 128) << run.out.substr(0, 400);
  EXPECT_NE(run.err.find("could not be read to its end"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("0x81016005"), std::string::npos) << run.err;
  run = RunInProcess({"tree", container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("qss: tree: '': the directory could not be read to its end"), std::string::npos) << run.err;
  ExpectNothingWritten(container, "big.bin");
}

TEST_F(CorruptionTest, FilesThatAreNotWholeContainersFailWithTheLibrarysCode) {
  const fs::path garbage = folder_ / "garbage";
  WriteFile(garbage, std::string(5000, 'Q'));
  for (const char* command : {"ls", "tree", "info"}) {
    const RunResult run = RunProgram({command, garbage.string()}, folder_.path());
    EXPECT_EQ(run.code, 1) << command;
    EXPECT_EQ(run.err, std::string("qss: ") + command + ": cannot open " + garbage.string() +
                           ": not a valid container, or damaged (0x81016005)\n");
  }
  RunResult run = RunInProcess({"check", garbage.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("header: the magic"), std::string::npos) << run.out;

  run = RunInProcess({"cat", (folder_ / "absent").string(), "x"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("cannot open"), std::string::npos);
  EXPECT_NE(run.err.find("(0x80070002)"), std::string::npos);
  run = RunInProcess({"check", (folder_ / "absent").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("(0x80070002)"), std::string::npos);

  // Cut short before the second allocation-table block.
  const fs::path container = Pack({{"data.bin", std::string(20000, 'd')}}, {"--block-size", "128", "--entry-width", "8"});
  ContainerImage image(container);
  const std::int64_t secondTableBlock = image.TableEntry(image.tableStart());
  ASSERT_GT(secondTableBlock, 1);
  image.bytes().resize(image.BlockPosition(secondTableBlock));
  image.Save();
  run = RunInProcess({"unpack", container.string(), (folder_ / "out").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("(0x81016007)"), std::string::npos) << run.err;
  EXPECT_NE(Check(container).find("runs past its end (0x81016007)"), std::string::npos);
  ExpectNothingWritten(container, "data.bin");
}

TEST_F(CorruptionTest, DamagedCompressedImagesAreNeverPassedOffAsContent) {
  const fs::path container = Pack({{"packed.txt", std::string(200000, 'a')}}, {"--compress"});
  const ContainerImage clean(container);
  const std::size_t imageAt = clean.BlockPosition(clean.FirstBlock(u"packed.txt"));

  struct Damage {
    const char* expected;
    std::function<void(ContainerImage&)> apply;
  };
  const Damage damages[] = {
      {"does not start with its magic", [&](ContainerImage& image) { image.bytes()[imageAt] ^= 0x55; }},
      {"the image header says",
       [&](ContainerImage& image) {
         auto* bytes = reinterpret_cast<std::uint8_t*>(image.bytes().data()) + imageAt;
         CompressedImageHeader header;
         ASSERT_EQ(CompressedImageHeader::Decode(bytes, kCompressedImageHeaderSize, &header), kQssOk);
         header.contentLength = 199999;
         header.EncodeTo(bytes);
       }},
      {"does not decompress",
       [&](ContainerImage& image) { std::memset(image.bytes().data() + imageAt + kCompressedImageHeaderSize, 0xFF, 40); }},
  };
  for (const Damage& damage : damages) {
    ContainerImage image(container);
    const std::string original = image.bytes();
    damage.apply(image);
    image.Save();
    EXPECT_NE(Check(container).find(damage.expected), std::string::npos) << damage.expected;
    RunResult run = RunInProcess({"cat", container.string(), "packed.txt"});
    EXPECT_EQ(run.code, 1) << damage.expected;
    EXPECT_TRUE(run.out.empty());
    const fs::path out = folder_ / "unpacked";
    run = RunInProcess({"unpack", container.string(), out.string()});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("'packed.txt'"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(out / "packed.txt")) << "a partial file was left";
    ExpectNothingWritten(container, "packed.txt");
    image.bytes() = original;
    image.Save();
  }
  EXPECT_EQ(Check(container), "ok\n");
}

TEST_F(CorruptionTest, CheckNamesEachChainAndFreeListFault) {
  const fs::path container =
      Pack({{"alpha.bin", std::string(10000, 'a')}, {"beta.bin", std::string(10000, 'b')}}, {"--block-size", "4096"});
  const ContainerImage clean(container);
  const std::string cleanBytes = ReadFile(container);
  const std::int64_t alpha = clean.FirstBlock(u"alpha.bin");

  struct Damage {
    std::string expected;
    std::function<void(ContainerImage&)> apply;
  };
  const Damage damages[] = {
      {"'alpha.bin': the chain runs in a cycle at block",
       [&](ContainerImage& image) { image.SetTableEntry(image.LastBlock(u"alpha.bin"), alpha); }},
      {"'beta.bin': block " + std::to_string(alpha) + " is also used by 'alpha.bin'",
       [&](ContainerImage& image) { image.SetFirstBlock(u"beta.bin", alpha); }},
      {"'alpha.bin': the chain holds 3 blocks; 20000 bytes need 5",
       [&](ContainerImage& image) { image.SetSize(u"alpha.bin", 20000); }},
      {"free list: block " + std::to_string(alpha) + " is free but used by 'alpha.bin'",
       [&](ContainerImage& image) { image.SetTableEntry(0, alpha); }},
      {"free list: not ascending: block 200 follows block 300",
       [&](ContainerImage& image) {
         image.SetTableEntry(0, 300);
         image.SetTableEntry(300, 200);
       }},
      {"table: entry 5 holds 5000, not a block of the table (0x81016005)",
       [&](ContainerImage& image) { image.SetTableEntry(5, 5000); }},
      {"the name has no terminator",
       [&](ContainerImage& image) {
         const std::size_t record = image.Record(u"beta.bin");
         image.ChangeRecord(record, [](EntryRecord& changed) { std::fill(std::begin(changed.name), std::end(changed.name), u'Z'); });
       }},
  };
  for (const Damage& damage : damages) {
    ContainerImage image(container);
    const std::string original = image.bytes();
    damage.apply(image);
    image.Save();
    const std::string report = Check(container);
    EXPECT_NE(report.find(damage.expected), std::string::npos) << damage.expected << "\ngot:\n" << report;
    ExpectNothingWritten(container, "alpha.bin");
    image.bytes() = original;
    image.Save();
  }

  // What the other commands make of some of them.
  ContainerImage image(container);
  image.SetSize(u"alpha.bin", 20000);
  image.Save();
  RunResult run = RunInProcess({"cat", container.string(), "alpha.bin"});
  EXPECT_EQ(run.code, 1);
  // The library reports the read past the chain's end as a failure; either
  // way the stream is not passed off as whole.
  EXPECT_EQ(run.err.rfind("qss: cat: 'alpha.bin': ", 0), 0u) << run.err;
  EXPECT_EQ(run.out.size(), 12288u);

  // A size no container of this length can hold is refused before the
  // library is asked to read it (a looping chain would be read for ever).
  image.SetSize(u"alpha.bin", std::int64_t{1} << 40);
  image.SetTableEntry(image.LastBlock(u"alpha.bin"), image.FirstBlock(u"alpha.bin"));
  image.Save();
  run = RunInProcess({"cat", container.string(), "alpha.bin"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: cat: cannot open stream 'alpha.bin': not a valid container, or damaged (0x81016005)\n");
  image.ChangeRecord(kRootEntryOffset, [](EntryRecord& root) { root.size = std::int64_t{1} << 40; });
  image.Save();
  run = RunInProcess({"ls", container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("its root directory is larger than the file: not a valid container, or damaged (0x81016005)"), std::string::npos);

  image.bytes() = cleanBytes;
  image.SetTableEntry(5, 5000);
  image.Save();
  run = RunInProcess({"ls", container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("(0x81016005)"), std::string::npos);
}

// Blocks that no chain and no free list holds, chains longer than their
// content needs, and an empty stream that keeps its blocks: space lost for
// good, each reported. A last block cut short by the end of the file is
// sound while the content's bytes are there.
TEST_F(CorruptionTest, CheckFindsLostAndSurplusBlocksAndAcceptsAShortLastBlock) {
  const fs::path container =
      Pack({{"alpha.bin", std::string(10000, 'a')}, {"beta.bin", std::string(10000, 'b')}}, {"--block-size", "4096"});
  struct Damage {
    std::string expected;
    std::function<void(ContainerImage&)> apply;
  };
  const Damage damages[] = {
      {"'alpha.bin': the chain holds 3 blocks; 100 bytes need only 1",
       [](ContainerImage& image) { image.SetSize(u"alpha.bin", 100); }},
      {"'alpha.bin': empty, but its chain holds 3 blocks", [](ContainerImage& image) { image.SetSize(u"alpha.bin", 0); }},
      {"lost blocks: 3 blocks are neither free nor in any chain (",
       [](ContainerImage& image) {
         image.SetFirstBlock(u"alpha.bin", -1);
         image.SetSize(u"alpha.bin", 0);
       }},
  };
  const std::string original = ReadFile(container);
  for (const Damage& damage : damages) {
    ContainerImage image(container);
    damage.apply(image);
    image.Save();
    const std::string report = Check(container);
    EXPECT_NE(report.find(damage.expected), std::string::npos) << damage.expected << "\ngot:\n" << report;
    WriteFile(container, original);
  }

  // The root directory's block is the last one; cut the file right after
  // its records.
  ContainerImage image(container);
  const std::int64_t directory = image.RootRecord().firstBlock;
  const std::size_t end = image.BlockPosition(directory) + 2 * kEntryRecordSize;
  ASSERT_EQ(image.BlockPosition(directory) + 4096, image.bytes().size());
  image.bytes().resize(end);
  image.Save();
  EXPECT_EQ(Check(container), "ok\n");
  image.bytes().resize(end - 1);
  image.Save();
  EXPECT_NE(Check(container).find("root directory: block " + std::to_string(directory) +
                                  " is cut short by the end of the byte array"),
            std::string::npos);
}

// Storages whose directories point back at the root: each chain is walked
// once, so the output stays as small as the container (two such storages
// once made tree print hundreds of megabytes and unpack create hundreds of
// thousands of folders).
TEST_F(CorruptionTest, StoragesThatPointBackAtTheRootAreWalkedOnce) {
  const fs::path container = Pack({{"loop/inside.txt", "x"}, {"other/inside.txt", "y"}});
  ContainerImage image(container);
  const std::int64_t rootFirst = image.RootRecord().firstBlock;
  const std::int64_t rootSize = image.RootRecord().size;
  for (const char16_t* name : {u"loop", u"other"}) {
    image.SetFirstBlock(name, rootFirst);
    image.SetSize(name, rootSize);
  }
  image.Save();

  RunResult run = RunInProcess({"tree", container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out, "/\n  loop/\n    [not opened: its chain is the one of the root directory, walked already]\n"
                     "  other/\n    [not opened: its chain is the one of the root directory, walked already]\n");
  EXPECT_NE(run.err.find("qss: tree: 'loop': not opened"), std::string::npos) << run.err;
  run = RunInProcess({"tree", "--json", container.string()});
  EXPECT_EQ(run.code, 1);
  Json tree;
  EXPECT_TRUE(JsonReader::Parse(run.out, &tree));
  run = RunInProcess({"unpack", container.string(), (folder_ / "out").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(Check(container).find("'loop': block " + std::to_string(rootFirst) + " is also used by root directory"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(folder_ / "out" / "loop" / "loop"));
  ExpectNothingWritten(container, "loop/inside.txt");
}

TEST_F(CorruptionTest, ADamagedNestedContainerIsReportedWhereItLies) {
  const fs::path container = Pack({{"inner/file.txt", "nested"}, {"outer.txt", "outer"}}, {"--nest", "inner"});
  ContainerImage image(container);
  image.bytes()[image.BlockPosition(image.FirstBlock(u"inner"))] ^= 1;
  image.Save();

  RunResult run = RunInProcess({"ls", container.string(), "inner"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: ls: cannot open storage 'inner': not a valid container, or damaged (0x81016005)\n");
  run = RunInProcess({"tree", "--json", container.string()});
  EXPECT_EQ(run.code, 1);
  Json tree;
  ASSERT_TRUE(JsonReader::Parse(run.out, &tree)) << run.out;
  const Json& inner = tree.Find("children")->items.at(0);
  EXPECT_EQ(inner.Find("kind")->number, 3);
  EXPECT_EQ(inner.Find("error")->text, "0x81016005");
  EXPECT_EQ(inner.Find("children"), nullptr);
  const fs::path out = folder_ / "out";
  run = RunInProcess({"unpack", container.string(), out.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(ReadFile(out / "outer.txt"), "outer");  // the rest is still unpacked
  EXPECT_NE(Check(container).find("in nested container 'inner': header: the magic"), std::string::npos);
  ExpectNothingWritten(container, "outer.txt");
}

// A container made with the library directly, for names pack never makes.
void BuildContainer(const fs::path& base, const std::function<void(CStorage*)>& fill) {
  CQssRef<CMultiFileArray> array(new CMultiFileArray(base, native_file::kGenericRead | native_file::kGenericWrite,
                                                     native_file::kShareRead, native_file::kAttributeNormal));
  ASSERT_EQ(array->Create(), kQssOk);
  ASSERT_EQ(CreateContainer(array.get(), 4, 512), kQssOk);
  CQssRef<CRootStorage> root(new CRootStorage(array.get()));
  ASSERT_TRUE(root->valid());
  fill(root.get());
}

void AddStream(CStorage* storage, const std::u16string& name, const std::string& content) {
  CQssRef<CStream> stream;
  ASSERT_EQ(storage->CreateStream(name.c_str(), false, stream.Receive()), kQssOk);
  std::uint32_t written = 0;
  EXPECT_EQ(stream->Write(content.data(), static_cast<std::int32_t>(content.size()), &written), kQssOk);
}

// A stream whose chain ends early is reported; the user's file of that name
// stays as it was, and no partial or temporary file is left.
TEST_F(CorruptionTest, UnpackOfAStreamThatFailsLeavesTheExistingFileUntouched) {
  const fs::path container =
      Pack({{"data", std::string(10000, 'd')}, {"fresh", std::string(10000, 'f')}, {"whole", "whole"}},
           {"--block-size", "512"});
  ContainerImage image(container);
  image.SetTableEntry(image.FirstBlock(u"data"), -1);
  image.SetTableEntry(image.FirstBlock(u"fresh"), -1);
  image.Save();
  const fs::path out = folder_ / "out";
  WriteFile(out / "data", "precious");
  WriteFile(out / "whole", "to be replaced");
  const RunResult run = RunInProcess({"unpack", "--overwrite", container.string(), out.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("qss: unpack: 'data': "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("; the existing file was left unchanged"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("qss: unpack: 'fresh': "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("; no file written"), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(out / "data"), "precious");
  EXPECT_EQ(ReadFile(out / "whole"), "whole");
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(out)) names.insert(item.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"data", "whole"}));
}

TEST_F(CorruptionTest, UnpackReportsNamesThatCannotBeFileNamesAndStaysInsideItsFolder) {
  const fs::path container = folder_ / "names.qss";
  BuildContainer(container, [](CStorage* root) {
    AddStream(root, u"..", "dotdot");
    AddStream(root, u".", "dot");
    AddStream(root, u"..\u002fescaped", "slash");
    AddStream(root, std::u16string(u"lone\xD800"), "surrogate");
    AddStream(root, u"emptyME", "empty");
    AddStream(root, u"dupA", "first");
    AddStream(root, u"dupB", "second");
    AddStream(root, u"fine.txt", "fine");
    for (const char16_t* name : {u"dupS", u"dupT"}) {
      CQssRef<CStorage> folder;
      ASSERT_EQ(root->CreateStorage(name, folder.Receive()), kQssOk);
      AddStream(folder.get(), name == std::u16string(u"dupS") ? u"one" : u"two", "x");
    }
    CQssRef<CStorage> storage;
    ASSERT_EQ(root->CreateStorage(u"linked", storage.Receive()), kQssOk);
    AddStream(storage.get(), u"through-link", "must not escape");
  });
  ContainerImage image(container);
  image.ChangeRecord(image.Record(u"emptyME"), [](EntryRecord& record) { record.name[0] = 0; });
  image.ChangeRecord(image.Record(u"dupB"), [](EntryRecord& record) { record.name[3] = u'A'; });
  image.ChangeRecord(image.Record(u"dupT"), [](EntryRecord& record) { record.name[3] = u'S'; });
  image.Save();

  const fs::path out = folder_ / "inside" / "out";
  const fs::path outside = folder_ / "outside";
  fs::create_directories(out);
  fs::create_directories(outside);
#ifndef _WIN32  // symbolic links need a privilege on Windows
  fs::create_directory_symlink(outside, out / "linked");
#endif

  const RunResult run = RunInProcess({"unpack", container.string(), out.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("'..': the name is \".\" or \"..\"; skipped"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("'.': the name is \".\" or \"..\"; skipped"), std::string::npos);
  EXPECT_NE(run.err.find("'../escaped': the name contains '/'; skipped"), std::string::npos);
  EXPECT_NE(run.err.find("the name contains an unpaired surrogate; skipped"), std::string::npos);
  EXPECT_NE(run.err.find("'': the name is empty; skipped"), std::string::npos);
  EXPECT_NE(run.err.find("'dupA': the name repeats an earlier entry's name; skipped"), std::string::npos);
#ifndef _WIN32
  EXPECT_NE(run.err.find("'linked': a symbolic link is in the way"), std::string::npos);
#endif
  EXPECT_EQ(ReadFile(out / "fine.txt"), "fine");
  EXPECT_EQ(ReadFile(out / "dupA"), "first");
  EXPECT_TRUE(fs::exists(out / "dupS" / "one"));  // the first of two storages named alike
  EXPECT_FALSE(fs::exists(out / "dupS" / "two"));
  EXPECT_NE(run.err.find("'dupS': the name repeats an earlier entry's name; skipped"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_FALSE(fs::exists(folder_ / "inside" / "escaped"));
  EXPECT_FALSE(fs::exists(folder_ / "inside" / "dotdot"));

  // ls shows every name, lossy only where it must be.
  RunResult listing = RunInProcess({"ls", "--json", container.string()});
  ASSERT_EQ(listing.code, 0);
  Json entries;
  ASSERT_TRUE(JsonReader::Parse(listing.out, &entries)) << listing.out;
  ASSERT_EQ(entries.items.size(), 11u);
  EXPECT_EQ(entries.items[3].Find("name")->text, "lone\xef\xbf\xbd");
  EXPECT_EQ(entries.items[4].Find("name")->text, "");
  EXPECT_NE(Check(container).find("'dupA': the name appears twice in its directory"), std::string::npos);
}

// The reading commands on randomly damaged containers: whatever the bytes
// say, they end with 0 or 1 and never write.
TEST_F(CorruptionTest, RandomDamageNeverCrashesOrWrites) {
  WriteFile(folder_ / "src" / "a" / "packed.txt", std::string(30000, 'p') + "tail");
  WriteFile(folder_ / "src" / "a" / "raw.bin", std::string(3000, '\x11'));
  WriteFile(folder_ / "src" / "n" / "inner.txt", std::string(2000, 'i'));
  WriteFile(folder_ / "src" / "top", "top");
  const fs::path container = folder_ / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", "--compress", "--block-size", "256", "--entry-width", "2", "--nest", "n",
                          (folder_ / "src").string(), container.string()})
                .code,
            0);
  const std::string clean = ReadFile(container);
  const auto damageFound = [](const std::string& bytes) {
    CQssRef<CMemoryByteArray> array(new CMemoryByteArray(std::vector<std::uint8_t>(bytes.begin(), bytes.end())));
    std::vector<std::string> problems;
    return CheckContainer(array.get(), &problems) != kQssOk;
  };
  ASSERT_FALSE(damageFound(clean));

  // QSS_DAMAGE_ROUNDS=N runs a longer search locally.
  const char* roundsText = std::getenv("QSS_DAMAGE_ROUNDS");
  const int rounds = roundsText ? std::atoi(roundsText) : 150;
  std::mt19937 random(12345);
  int reported = 0;
  for (int round = 0; round < rounds; ++round) {
    std::string damaged = clean;
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < flips; ++i) {
      // Mostly the header, table and directories, where damage matters most.
      const std::size_t limit = random() % 2 ? std::min<std::size_t>(damaged.size(), 2048) : damaged.size();
      damaged[random() % limit] = static_cast<char>(random());
    }
    if (!damageFound(damaged)) continue;
    ++reported;
    WriteFile(container, damaged);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", "--json", container.string(), "n"},
             {"tree", "--json", container.string()},
             {"cat", container.string(), "a/packed.txt"},
             {"unpack", container.string(), (folder_ / "out").string()},
             {"info", container.string()}}) {
      const RunResult run = RunInProcess(args);
      EXPECT_LE(run.code, 1) << args[0] << " round " << round;
    }
    EXPECT_TRUE(ReadFile(container) == damaged) << "round " << round;
    fs::remove_all(folder_ / "out");
  }
  EXPECT_GT(reported, rounds / 3);  // the damage was mostly noticed
}

}  // namespace
}  // namespace qss_test

namespace qss_test {
namespace {

// check --json: a script finds each problem's entry and block without
// reading the sentences.
TEST_F(CorruptionTest, CheckJsonNamesTheEntryAndBlockOfEachProblem) {
  const fs::path container = Pack({{"sub/alpha.bin", std::string(10000, 'a')}, {"beta", "b"}}, {"--block-size", "4096"});
  RunResult run = RunInProcess({"check", "--json", container.string()});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out, "{\"ok\": true, \"problems\": []}\n");

  ContainerImage image(container);
  const std::int64_t first = image.FirstBlock(u"alpha.bin");
  image.SetTableEntry(image.LastBlock(u"alpha.bin"), first);
  image.Save();
  run = RunInProcess({"check", "--json", container.string()});
  EXPECT_EQ(run.code, 1);
  Json report;
  ASSERT_TRUE(JsonReader::Parse(run.out, &report)) << run.out;
  EXPECT_EQ(report.Keys(), (std::vector<std::string>{"ok", "problems"}));
  EXPECT_EQ(report.Find("ok")->kind, Json::kBool);
  EXPECT_FALSE(report.Find("ok")->boolean);
  const Json& problems = *report.Find("problems");
  ASSERT_FALSE(problems.items.empty());
  const Json& cycle = problems.items[0];
  EXPECT_EQ(cycle.Keys(), (std::vector<std::string>{"path", "block", "message"}));
  EXPECT_EQ(cycle.Find("path")->text, "sub\\alpha.bin");
  EXPECT_EQ(cycle.Find("block")->number, first);
  EXPECT_EQ(cycle.Find("message")->text, "the chain runs in a cycle at block " + std::to_string(first));
  // The lines say the same, one per problem.
  EXPECT_EQ(Check(container).find("'sub\\alpha.bin': the chain runs in a cycle"), 0u);

  const fs::path garbage = folder_ / "garbage";
  WriteFile(garbage, std::string(100, 'Q'));
  run = RunInProcess({"check", "--json", garbage.string()});
  EXPECT_EQ(run.code, 1);
  report = Json();
  ASSERT_TRUE(JsonReader::Parse(run.out, &report)) << run.out;
  ASSERT_EQ(report.Find("problems")->items.size(), 1u);
  const Json& header = report.Find("problems")->items[0];
  EXPECT_EQ(header.Find("path")->kind, Json::kNull);
  EXPECT_EQ(header.Find("block")->kind, Json::kNull);
  EXPECT_EQ(header.Find("message")->text.rfind("header: ", 0), 0u);
}

}  // namespace
}  // namespace qss_test

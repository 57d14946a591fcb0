// The qss commands on containers made by pack, over option combinations.

#include <gtest/gtest.h>

#include <random>

#include "qss/CLockGuard.h"
#include "Container/CBlockAllocationTable.h"
#include "qss/CRootStorage.h"
#include "ContainerAccess.h"
#include "QssTestSupport.h"
#include "TemporaryFolder.h"

using namespace qss;

namespace qss_test {
namespace {

// A source tree with the cases that matter: empty and tiny files, a file
// of several 1 MiB pieces, compressible and incompressible content, a
// non-ASCII name, a name of exactly 31 UTF-16 units, an empty folder and
// folders inside folders.
void MakeSourceTree(const fs::path& root) {
  std::mt19937 random(7);
  std::string noise(3 * 1024 * 1024 + 123, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  WriteFile(root / "Kivra7i" / "KivMod7Win.bin", "#!/bin/sh\necho service\n");
  WriteFile(root / "empty.txt", "");
  WriteFile(root / "one", "x");
  WriteFile(root / "noise.bin", noise);
  WriteFile(root / "sub" / "text.txt", std::string(200000, 'a') + "end");
  WriteFile(root / "sub" / "inner" / "deep.bin", noise.substr(0, 5000));
  WriteFile(root / "sub" / "inner" / "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5.txt", "unicode name");
  WriteFile(root / "sub" / std::string(31, 'n'), "longest name");
  fs::create_directories(root / "sub" / "nothing");
  fs::create_directories(root / "Zlast");
}

struct PackCase {
  const char* label;
  std::vector<std::string> options;
  int blockSize;
  int entryWidth;
  bool compressed;
  std::vector<std::string> nested;  // paths that must be kind 3
  long long segmentSize;            // 0: one file
};

void PrintTo(const PackCase& packCase, std::ostream* out) { *out << packCase.label; }

class PackRoundTripTest : public ::testing::TestWithParam<PackCase> {
 protected:
  void SetUp() override {
    source_ = folder_ / "source";
    MakeSourceTree(source_);
    container_ = folder_ / "out" / "package.qss";
    fs::create_directories(container_.parent_path());
    std::vector<std::string> args = {"pack"};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    args.push_back(source_.string());
    args.push_back(container_.string());
    const RunResult run = RunInProcess(args);
    ASSERT_EQ(run.code, 0) << run.err;
    ASSERT_EQ(run.err, "");
  }

  TemporaryFolder folder_;
  fs::path source_;
  fs::path container_;
};

TEST_P(PackRoundTripTest, EveryCommandReadsThePackResultBackAndWritesNothing) {
  const PackCase& param = GetParam();
  const std::string before = ContainerBytes(container_);

  RunResult run = RunInProcess({"check", container_.string()});
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_EQ(run.out, "ok\n");

  // info: the layout asked for, and the segment split.
  run = RunInProcess({"info", "--json", container_.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  Json info;
  ASSERT_TRUE(JsonReader::Parse(run.out, &info)) << run.out;
  EXPECT_EQ(info.Keys(), (std::vector<std::string>{"entryWidth", "blockSize", "dataOffset", "tableStart",
                                                   "byteArraySize", "blocks", "tableBlocks", "freeBlocks",
                                                   "segments", "segmentSize"}));
  EXPECT_EQ(info.Find("blockSize")->number, param.blockSize);
  EXPECT_EQ(info.Find("entryWidth")->number, param.entryWidth);
  EXPECT_EQ(info.Find("byteArraySize")->number, static_cast<long long>(before.size()));
  const long long perBlock = param.blockSize / param.entryWidth;
  EXPECT_EQ(info.Find("tableBlocks")->number, (info.Find("blocks")->number + perBlock - 1) / perBlock);
  if (param.segmentSize > 0) {
    EXPECT_EQ(info.Find("segmentSize")->number, param.segmentSize);
    EXPECT_EQ(info.Find("segments")->number,
              (static_cast<long long>(before.size()) + param.segmentSize - 1) / param.segmentSize);
    EXPECT_EQ(static_cast<long long>(fs::file_size(container_)), param.segmentSize);
  } else {
    EXPECT_EQ(info.Find("segments")->number, 1);
  }

  // ls --json on the folder with most variety: kinds and compression.
  run = RunInProcess({"ls", "--json", container_.string(), "sub"});
  ASSERT_EQ(run.code, 0) << run.err;
  Json listing;
  ASSERT_TRUE(JsonReader::Parse(run.out, &listing)) << run.out;
  ASSERT_EQ(listing.kind, Json::kArray);
  std::vector<std::string> names;
  for (const Json& entry : listing.items) {
    EXPECT_EQ(entry.Keys(), (std::vector<std::string>{"name", "kind", "flags", "size", "storedLength", "firstBlock",
                                                      "headOffset", "compressed"}));
    names.push_back(entry.Find("name")->text);
    const bool nested = std::find(param.nested.begin(), param.nested.end(), "sub/" + names.back()) !=
                        param.nested.end();
    const long long kind = entry.Find("kind")->number;
    if (names.back() == "inner" || names.back() == "nothing") {
      EXPECT_EQ(kind, nested ? 3 : 1) << names.back();
    } else {
      EXPECT_EQ(kind, 2) << names.back();
      // A short name stored plain: compression would not have shrunk it.
      EXPECT_EQ(entry.Find("compressed")->boolean, param.compressed && names.back() == "text.txt") << names.back();
      EXPECT_EQ(entry.Find("flags")->number, param.compressed ? 0x22 : 0x2);
    }
  }
  // Sorted by UTF-16 code units: upper case before lower case.
  EXPECT_EQ(names, (std::vector<std::string>{"inner", std::string(31, 'n'), "nothing", "text.txt"}));

  // cat of every file, the multi-piece one included.
  for (const auto& [relative, content] : Snapshot(source_)) {
    if (content == "<folder>") continue;
    run = RunInProcess({"cat", container_.string(), relative});
    ASSERT_EQ(run.code, 0) << relative << ": " << run.err;
    EXPECT_TRUE(run.out == content) << relative;
  }

  // unpack reproduces the source tree.
  const fs::path unpacked = folder_ / "unpacked";
  run = RunInProcess({"unpack", container_.string(), unpacked.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Snapshot(unpacked), Snapshot(source_));

  run = RunInProcess({"tree", "--json", container_.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  Json tree;
  ASSERT_TRUE(JsonReader::Parse(run.out, &tree)) << run.out;

  EXPECT_TRUE(ContainerBytes(container_) == before) << "a reading command changed the container";
}

TEST_P(PackRoundTripTest, PackingTheSameFolderTwiceGivesTheSameBytes) {
  const fs::path second = folder_ / "out" / "second.qss";
  std::vector<std::string> args = {"pack"};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  args.push_back(source_.string());
  args.push_back(second.string());
  const RunResult run = RunInProcess(args);
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(ContainerBytes(second) == ContainerBytes(container_));
}

INSTANTIATE_TEST_SUITE_P(
    Options, PackRoundTripTest,
    ::testing::Values(PackCase{"defaults", {}, 4096, 4, false, {}, 0},
                      PackCase{"small_blocks_width2", {"--block-size", "128", "--entry-width", "2"}, 128, 2, false, {}, 0},
                      PackCase{"width8_compressed", {"--block-size=512", "--entry-width=8", "--compress"}, 512, 8, true, {}, 0},
                      PackCase{"nested_segmented",
                               {"--nest", "sub/inner", "--segment-size", "700000"}, 4096, 4, false, {"sub/inner"}, 700000},
                      PackCase{"everything",
                               {"--block-size", "1024", "--entry-width", "2", "--compress", "--nest", "sub",
                                "--nest", "sub/inner", "--nest", "Zlast", "--segment-size", "250000"},
                               1024, 2, true, {"sub/inner"}, 250000}),
    [](const ::testing::TestParamInfo<PackCase>& info) { return std::string(info.param.label); });

// --nest sub makes "sub" itself kind 3, and its folders are walked into
// through the nested container.
TEST(PackNestTest, NestedFoldersAreKindThreeAndWalkedThrough) {
  TemporaryFolder folder;
  MakeSourceTree(folder / "src");
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunInProcess({"pack", "--nest", "sub/", "--nest", "sub/inner", (folder / "src").string(), container}).code,
            0);
  RunResult run = RunInProcess({"ls", container});
  EXPECT_NE(run.out.find("3 0x00000003"), std::string::npos) << run.out;
  run = RunInProcess({"ls", "--json", container, "\\sub\\inner"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("\"deep.bin\""), std::string::npos);
  run = RunInProcess({"cat", container, "sub\\inner/deep.bin"});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out.size(), 5000u);
  run = RunInProcess({"tree", container});
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("sub/ [container"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("    inner/ [container"), std::string::npos) << run.out;
}

// "compressed" says how the content is stored: flag 0x20 on content that
// did not shrink is stored plain, and the listings say so.
TEST(PackCompressTest, ContentThatDidNotShrinkIsListedAsStoredPlain) {
  TemporaryFolder folder;
  std::string noise;
  std::uint32_t state = 12345;
  for (int i = 0; i < 3000; ++i) noise.push_back(static_cast<char>((state = state * 1103515245u + 12345u) >> 24));
  WriteFile(folder / "src" / "noise.bin", noise);
  WriteFile(folder / "src" / "text.txt", std::string(3000, 't'));
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunInProcess({"pack", "--compress", (folder / "src").string(), container}).code, 0);
  RunResult run = RunInProcess({"ls", "--json", container});
  ASSERT_EQ(run.code, 0) << run.err;
  Json listing;
  ASSERT_TRUE(JsonReader::Parse(run.out, &listing)) << run.out;
  ASSERT_EQ(listing.items.size(), 2u);
  EXPECT_EQ(listing.items[0].Find("name")->text, "noise.bin");
  EXPECT_EQ(listing.items[0].Find("flags")->number, 0x22);
  EXPECT_FALSE(listing.items[0].Find("compressed")->boolean);
  EXPECT_TRUE(listing.items[1].Find("compressed")->boolean);
  run = RunInProcess({"tree", container});
  EXPECT_NE(run.out.find("noise.bin  3000 bytes (stored plain)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("text.txt  3000 bytes (compressed, "), std::string::npos) << run.out;
}

// Files compressed ahead on worker threads are stored in the order and with
// the bytes of one thread, however the threads' work interleaves; a file
// that cannot be read still fails the pack, with its own name.
TEST(PackCompressTest, WorkerThreadsStoreTheBytesOfOneThread) {
  TemporaryFolder folder;
  MakeSourceTree(folder / "src");
  for (int i = 0; i < 40; ++i) {
    char name[16];
    std::snprintf(name, sizeof(name), "f%d", i);
    WriteFile(folder / "src" / "many" / name, std::string(1000 + 977 * i, static_cast<char>('a' + i % 26)));
  }
  const std::string single = (folder / "one.qss").string();
  ASSERT_EQ(RunInProcess({"pack", "--compress", "--threads", "1", (folder / "src").string(), single}).code, 0);
  for (const char* threads : {"2", "5"}) {
    const fs::path severalPath = folder / "several.qss";
    const std::string several = severalPath.string();
    const RunResult run = RunInProcess({"pack", "--compress", "--threads", threads, (folder / "src").string(), several});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(ContainerBytes(several) == ContainerBytes(single)) << threads << " threads";
  }
  RunResult run = RunInProcess({"pack", "--compress", "--threads", "0", (folder / "src").string(), single});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("--threads must be a number from 1 to 256"), std::string::npos) << run.err;
}

// One depth limit for every command: 33 nested containers pack, check and
// unpack cleanly (check once stopped at 32 and called the result damage); a
// folder deeper than the limit is refused before anything is written, and
// so is a path with more names than that.
TEST(DepthTest, EveryCommandSharesOneDepthLimit) {
  TemporaryFolder folder;
  fs::path deep = folder / "src";
  std::vector<std::string> args = {"pack"};
  std::string relative;
  for (int level = 0; level < 33; ++level) {
    if (!relative.empty()) relative.push_back('/');
    relative.append("n").append(std::to_string(level));
    args.push_back("--nest");
    args.push_back(relative);
  }
  WriteFile(folder / "src" / relative / "leaf.txt", "leaf");
  const std::string container = (folder / "c.qss").string();
  args.push_back((folder / "src").string());
  args.push_back(container);
  RunResult run = RunInProcess(args);
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(RunInProcess({"check", container}).out, "ok\n");
  EXPECT_EQ(RunInProcess({"unpack", container, (folder / "out").string()}).code, 0);
  EXPECT_EQ(ReadFile(folder / "out" / relative / "leaf.txt"), "leaf");

  std::string tooDeep;
  for (int level = 0; level < 64; ++level) tooDeep += "d/";
  WriteFile(folder / "deep" / tooDeep / "leaf.txt", "leaf");
  run = RunInProcess({"pack", (folder / "deep").string(), (folder / "d.qss").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("folders nest more than 64 levels deep"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(folder / "d.qss"));

  run = RunInProcess({"cat", container, tooDeep + "x"});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("PATH has 65 names"), std::string::npos) << run.err;
}

// A packed file's stream is given its length before it is written, so its
// blocks are allocated in one step and follow each other. Only the first
// table growth (past the blocks the container's first table block
// describes) lies within the chain; written in 1 MiB pieces, the growing
// table would put a table block into the chain every 4 MiB at 4096-byte
// blocks.
TEST(PackLayoutTest, LargeFileIsStoredInConsecutiveBlocks) {
  TemporaryFolder folder;
  std::string content(13 * 1024 * 1024 + 123, '\0');
  std::mt19937 random(7);
  for (char& c : content) c = static_cast<char>(random());
  WriteFile(folder / "src" / "big.bin", content);
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container.string()}).code, 0);

  qss_tool::OpenedContainer opened = qss_tool::OpenContainerReadOnly(container);
  ASSERT_EQ(opened.result, kQssOk);
  CStorageEntry* entry = opened.root->FindEntry(u"big.bin");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->Size(), static_cast<std::int64_t>(content.size()));
  CBlockAllocationTable* table = opened.root->table();
  std::int64_t blocks = 1;
  int breaks = 0;
  {
    CLockGuard guard(table->lock());
    for (std::int64_t block = entry->FirstBlock(); table->GetNext(block) != -1; ++blocks) {
      if (table->GetNext(block) != block + 1) ++breaks;
      block = table->GetNext(block);
    }
  }
  EXPECT_EQ(blocks, (static_cast<std::int64_t>(content.size()) + 4095) / 4096);
  EXPECT_LE(breaks, 1);
  EXPECT_EQ(RunInProcess({"cat", container.string(), "big.bin"}).out, content);
}

TEST(PackErrorsTest, BadInputIsRefusedBeforeAnythingIsWritten) {
  TemporaryFolder folder;
  const fs::path src = folder / "src";
  WriteFile(src / "ok.txt", "fine");
  WriteFile(src / "deeper" / std::string(32, 'L'), "too long");
#ifndef _WIN32  // symbolic links need a privilege on Windows, where no file name holds a backslash
  fs::create_symlink("/etc/hostname", src / "link");
  WriteFile(src / "back\\slash", "unreachable by path");
#endif
  const fs::path container = folder / "c.qss";
  RunResult run = RunInProcess({"pack", src.string(), container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find(std::string(32, 'L') + ": the name has 32 UTF-16 units"), std::string::npos) << run.err;
#ifndef _WIN32
  EXPECT_NE(run.err.find("link: a symbolic link"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("back\\slash: the name contains '\\'"), std::string::npos) << run.err;
#endif
  EXPECT_EQ(run.err.rfind("qss: ", 0), 0u);
  EXPECT_FALSE(fs::exists(container));

  fs::remove_all(src / "deeper");
#ifndef _WIN32
  fs::remove(src / "link");
  fs::remove(src / "back\\slash");
#endif
  run = RunInProcess({"pack", "--nest", "missing", src.string(), container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("--nest missing: no such folder"), std::string::npos) << run.err;

  // The container may not be written into the folder being packed.
  run = RunInProcess({"pack", src.string(), (src / "self.qss").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_FALSE(fs::exists(src / "self.qss"));
}

TEST(PackErrorsTest, AContainerThatCannotGrowFailsAndLeavesNothingBehind) {
  TemporaryFolder folder;
  // Two-byte table entries describe at most 32767 blocks: 4 MiB of 128 bytes.
  WriteFile(folder / "src" / "large", std::string(5000000, 'x'));
  const fs::path container = folder / "c.qss";
  const RunResult run = RunInProcess({"pack", "--entry-width", "2", "--block-size", "128", "--segment-size", "1000000",
                                      (folder / "src").string(), container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("large: the container would need more than 32,767 blocks; use --entry-width 4 (0x81031105)"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(container));
  EXPECT_FALSE(fs::exists(container.string() + ".F0002"));
}

TEST(ProgressTest, LongWorkDrawsABarOnlyOnATerminal) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "data", std::string(3 << 20, 'p'));
  const std::string container = (folder / "c.qss").string();
  RunResult run = RunInProcess({"pack", (folder / "src").string(), container}, true);
  ASSERT_EQ(run.code, 0);
  EXPECT_NE(run.err.find("pack ["), std::string::npos);
  EXPECT_NE(run.err.find("] 100%"), std::string::npos);
  EXPECT_EQ(run.err.back(), '\r');  // the bar is cleared at the end
  // Into a folder that is not there yet, the bar still knows its total:
  // it starts at 0%, where a bar of no total shows 100% at once.
  run = RunInProcess({"unpack", container, (folder / "out").string()}, true);
  EXPECT_NE(run.err.find("unpack ["), std::string::npos);
  EXPECT_NE(run.err.find("]   0%"), std::string::npos) << run.err;
  run = RunInProcess({"cat", container, "data"}, true);
  EXPECT_NE(run.err.find("cat ["), std::string::npos);
  EXPECT_EQ(run.out.size(), 3u << 20);
  run = RunInProcess({"unpack", container, (folder / "again").string()}, false);
  EXPECT_EQ(run.err, "");
}

TEST(PackErrorsTest, RepackingOverALongerContainerRemovesItsStaleSegments) {
  TemporaryFolder folder;
  WriteFile(folder / "big" / "data", std::string(300000, 'q'));
  WriteFile(folder / "small" / "data", "q");
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunInProcess({"pack", "--segment-size", "50000", (folder / "big").string(), container}).code, 0);
  ASSERT_TRUE(fs::exists(container + ".F0006"));
  const RunResult run = RunInProcess({"pack", "--segment-size", "50000", (folder / "small").string(), container});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(fs::exists(container + ".F0002"));
  EXPECT_FALSE(fs::exists(container + ".F0006"));
  EXPECT_EQ(RunInProcess({"cat", container, "data"}).out, "q");
}

TEST(UsageTest, UsageErrorsExitTwoAndHelpExplainsEveryCommand) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"ls"},
           {"ls", "--bogus", "c"},
           {"cat", "c"},
           {"pack", "--block-size", "1000", "a", "b"},
           {"pack", "--block-size", "64", "a", "b"},
           {"pack", "--entry-width", "3", "a", "b"},
           {"pack", "--segment-size", "0", "a", "b"},
           {"pack", "--segment-size", "12x", "a", "b"},
           {"pack", "--nest", "../x", "a", "b"},
           {"info", "a", "b"},
           {"ls", "c", "bad\xff"},
       }) {
    const RunResult run = RunInProcess(args);
    EXPECT_EQ(run.code, 2) << (args.empty() ? "" : args[0]) << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_FALSE(run.err.empty());
  }
  RunResult run = RunInProcess({"--help"});
  EXPECT_EQ(run.code, 0);
  for (const char* command : {"ls", "tree", "cat", "unpack", "pack", "info", "check"}) {
    EXPECT_NE(run.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    run = RunInProcess({command, "--help"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out.rfind(std::string("usage: qss ") + command, 0), 0u) << run.out;
    run = RunInProcess({"--help"});
  }
}

// The real program: exit codes, messages on standard error, binary output.
TEST(ProgramTest, TheBuiltProgramPacksListsAndFailsWithResultCodes) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "Kivra7i" / "KivMod7Win.bin", std::string("bin\0ary\r\n", 9));
  const std::string container = (folder / "c.qss").string();
  RunResult run = RunProgram({"pack", "--compress", (folder / "src").string(), container}, folder.path());
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "");  // no progress bar: standard error is a file
  run = RunProgram({"cat", container, "Kivra7i\\KivMod7Win.bin"}, folder.path());
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out, std::string("bin\0ary\r\n", 9));
  run = RunProgram({"ls", container, "Kivra7i"}, folder.path());
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("2 0x00000022            9"), std::string::npos) << run.out;

  run = RunProgram({"cat", container, "Kivra7i\\missing"}, folder.path());
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: cat: no such entry 'missing' in 'Kivra7i' (0x81016002)\n");
  run = RunProgram({"ls", (folder / "nothing-here").string()}, folder.path());
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("(0x80070002)"), std::string::npos) << run.err;
  WriteFile(folder / "text.txt", std::string(1000, 'x'));
  run = RunProgram({"info", (folder / "text.txt").string()}, folder.path());
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err.rfind("qss: info: ", 0), 0u);
  EXPECT_NE(run.err.find(": not a valid container, or damaged (0x81016005)"), std::string::npos) << run.err;
  run = RunProgram({"tree"}, folder.path());
  EXPECT_EQ(run.code, 2);
}

// Paths and entry names outside any one code page reach the program intact,
// as arguments and as --nest values.
TEST(ProgramTest, ArgumentsOutsideAnyCodePageNameTheRightFiles) {
  TemporaryFolder folder;
  const auto utf8 = [](const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  };
  const fs::path source = folder / fs::path(u8"Ωμέγα-源");
  WriteFile(source / fs::path(u8"Пакет") / fs::path(u8"файл-€.bin"), "payload");
  const fs::path container = folder / fs::path(u8"κοντέινερ.qss");
  RunResult run = RunProgram({"pack", "--nest", reinterpret_cast<const char*>(u8"Пакет"), utf8(source), utf8(container)},
                             folder.path());
  ASSERT_EQ(run.code, 0) << run.err;
  ASSERT_TRUE(fs::exists(container));
  run = RunProgram({"cat", utf8(container), reinterpret_cast<const char*>(u8"Пакет/файл-€.bin")}, folder.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "payload");
  run = RunProgram({"ls", utf8(container)}, folder.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.rfind("3 0x", 0), 0u) << run.out;  // nested as --nest asked
  EXPECT_NE(run.out.find(reinterpret_cast<const char*>(u8"Пакет")), std::string::npos) << run.out;
  const fs::path target = folder / fs::path(u8"выход-出口");
  run = RunProgram({"unpack", utf8(container), utf8(target)}, folder.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadFile(target / fs::path(u8"Пакет") / fs::path(u8"файл-€.bin")), "payload");
}

}  // namespace
}  // namespace qss_test

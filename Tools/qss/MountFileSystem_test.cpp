// The tree qss mount serves, without FUSE: what it shows of sound and
// damaged containers, and reads at any offset by several threads.

#include "MountFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <set>
#include <thread>

#include <unistd.h>

#include "MountTestSupport.h"
#include "TemporaryFolder.h"

namespace qss_test {
namespace {

using qss_tool::MountFileSystem;

std::unique_ptr<MountFileSystem> MountTree(const fs::path& container, std::vector<std::string>* problems) {
  qss_tool::OpenedContainer opened = qss_tool::OpenContainerReadOnly(container);
  EXPECT_TRUE(opened.root) << opened.failure;
  return std::make_unique<MountFileSystem>(std::move(opened), problems);
}

MountFileSystem::NodeId Resolve(const MountFileSystem& tree, const std::string& path) {
  MountFileSystem::NodeId id = MountFileSystem::kRoot;
  for (const auto& name : fs::path(path)) {
    id = tree.Lookup(id, name.string());
    if (id == 0) return 0;
  }
  return id;
}

// Reads length bytes at offset through a fresh open; the errno of the first
// failure, or 0. The same read into a file (the way FUSE answers are served
// through a pipe) must give the same bytes and the same error.
int ReadAt(MountFileSystem& tree, MountFileSystem::NodeId id, std::int64_t offset, std::size_t length,
           std::string* bytes) {
  MountFileSystem::OpenFile* file = nullptr;
  if (const int error = tree.Open(id, &file); error != 0) return error;
  bytes->assign(length, '\0');
  std::size_t got = 0;
  const int error = tree.Read(file, offset, length, bytes->data(), &got);
  bytes->resize(got);

  std::FILE* target = std::tmpfile();
  EXPECT_NE(target, nullptr);
  std::vector<char> buffer(length);
  std::size_t moved = 0;
  const int fileError = tree.ReadToFile(file, offset, length, fileno(target), buffer.data(), &moved);
  EXPECT_EQ(fileError, error) << "offset " << offset;
  if (fileError == 0) {
    std::string copied(moved, '\0');
    EXPECT_EQ(::pread(fileno(target), copied.data(), moved, 0), static_cast<ssize_t>(moved));
    EXPECT_EQ(copied, *bytes) << "offset " << offset;
  }
  std::fclose(target);
  tree.Release(file);
  return error;
}

// The whole file in pieces of odd sizes, as one reader.
int ReadWhole(MountFileSystem& tree, MountFileSystem::NodeId id, std::string* bytes) {
  MountFileSystem::OpenFile* file = nullptr;
  if (const int error = tree.Open(id, &file); error != 0) return error;
  bytes->clear();
  std::vector<char> piece(70001);
  int error = 0;
  for (;;) {
    std::size_t got = 0;
    error = tree.Read(file, static_cast<std::int64_t>(bytes->size()), piece.size(), piece.data(), &got);
    if (error != 0 || got == 0) break;
    bytes->append(piece.data(), got);
  }
  tree.Release(file);
  return error;
}

// Compares the folder at id with the source folder: the same names, kinds,
// sizes and bytes, and the listing in the container's (sorted) order.
void ExpectSameTree(MountFileSystem& tree, MountFileSystem::NodeId id, const fs::path& source) {
  const MountFileSystem::Node* folder = tree.Get(id);
  ASSERT_NE(folder, nullptr);
  ASSERT_TRUE(folder->folder);
  EXPECT_EQ(folder->error, 0) << source;
  EXPECT_EQ(folder->listError, 0) << source;
  std::set<std::string> expected;
  for (const auto& item : fs::directory_iterator(source)) expected.insert(item.path().filename().string());
  std::set<std::string> shown;
  std::uint32_t subfolders = 0;
  for (const MountFileSystem::NodeId child : folder->children) {
    const MountFileSystem::Node* node = tree.Get(child);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->parent, id);
    shown.insert(node->name);
    EXPECT_EQ(tree.Lookup(id, node->name), child) << node->name;
    const fs::path counterpart = source / node->name;
    if (node->folder) {
      ++subfolders;
      EXPECT_TRUE(fs::is_directory(counterpart)) << counterpart;
      ExpectSameTree(tree, child, counterpart);
    } else {
      EXPECT_EQ(node->size, static_cast<std::int64_t>(fs::file_size(counterpart))) << counterpart;
      std::string bytes;
      EXPECT_EQ(ReadWhole(tree, child, &bytes), 0) << counterpart;
      EXPECT_TRUE(bytes == ReadFile(counterpart)) << counterpart;
    }
  }
  EXPECT_EQ(shown, expected) << source;
  EXPECT_EQ(folder->subfolders, subfolders);
}

struct TreeCase {
  const char* label;
  std::vector<std::string> options;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) { *out << treeCase.label; }

class MountTreeTest : public ::testing::TestWithParam<TreeCase> {
 protected:
  void SetUp() override {
    source_ = folder_ / "source";
    MakeMountSourceTree(source_);
    container_ = folder_ / "tree.qss";
    std::vector<std::string> args = {"pack"};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    args.push_back(source_.string());
    args.push_back(container_.string());
    const RunResult run = RunInProcess(args);
    ASSERT_EQ(run.code, 0) << run.err;
  }

  TemporaryFolder folder_;
  fs::path source_;
  fs::path container_;
};

TEST_P(MountTreeTest, ShowsEveryEntryWithItsSizeAndBytes) {
  std::vector<std::string> problems;
  auto tree = MountTree(container_, &problems);
  EXPECT_TRUE(problems.empty()) << problems.front();
  ExpectSameTree(*tree, MountFileSystem::kRoot, source_);

  EXPECT_EQ(Resolve(*tree, "missing"), 0u);
  EXPECT_EQ(tree->Lookup(Resolve(*tree, "one"), "x"), 0u);  // a file holds no names
  EXPECT_EQ(tree->Get(0), nullptr);
  EXPECT_EQ(tree->Get(tree->NodeCount() + 1), nullptr);
  MountFileSystem::OpenFile* file = nullptr;
  EXPECT_EQ(tree->Open(Resolve(*tree, "sub"), &file), EISDIR);
  EXPECT_EQ(tree->Open(tree->NodeCount() + 1, &file), ENOENT);
}

// Reads at offsets anywhere, across piece and block bounds, past the end and
// of zero bytes, give what the source holds there.
TEST_P(MountTreeTest, ReadsAtAnyOffset) {
  std::vector<std::string> problems;
  auto tree = MountTree(container_, &problems);
  std::mt19937 random(3);
  for (const char* path : {"noise.bin", "text.txt", "sub/inner/deep.bin", "one", "empty.txt"}) {
    const std::string expected = ReadFile(source_ / path);
    const MountFileSystem::NodeId id = Resolve(*tree, path);
    ASSERT_NE(id, 0u) << path;
    MountFileSystem::OpenFile* file = nullptr;
    ASSERT_EQ(tree->Open(id, &file), 0) << path;
    std::vector<char> buffer(300000);
    for (int i = 0; i < 200; ++i) {
      const std::int64_t offset = static_cast<std::int64_t>(random() % (expected.size() + 5000));
      const std::size_t length = i % 10 == 0 ? 0 : random() % buffer.size();
      std::size_t got = 99;
      ASSERT_EQ(tree->Read(file, offset, length, buffer.data(), &got), 0) << path << " at " << offset;
      const std::size_t available =
          offset < static_cast<std::int64_t>(expected.size()) ? expected.size() - static_cast<std::size_t>(offset) : 0;
      ASSERT_EQ(got, std::min(length, available)) << path << " at " << offset;
      ASSERT_TRUE(std::string(buffer.data(), got) == expected.substr(std::min<std::size_t>(offset, expected.size()), got))
          << path << " at " << offset;
    }
    std::size_t got = 0;
    EXPECT_EQ(tree->Read(file, -1, 10, buffer.data(), &got), EINVAL);
    tree->Release(file);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MountTreeTest,
    ::testing::Values(TreeCase{"plain", {}}, TreeCase{"compressed_nested", {"--compress", "--nest", "sub/inner"}},
                      TreeCase{"small_blocks_segments_nested_twice",
                               {"--block-size", "512", "--entry-width", "8", "--segment-size", "100000", "--nest",
                                "sub", "--nest", "sub/inner/core"}}),
    [](const ::testing::TestParamInfo<TreeCase>& info) { return std::string(info.param.label); });

// The damage is reported once each at build time, left-out names are not
// there, and every sound entry reads back whole.
TEST(MountDamageTest, ReportsEachDamageOnceAndKeepsTheSoundEntries) {
  TemporaryFolder folder;
  const DamagedContainer damaged = MakeDamagedContainer(folder.path());
  const std::string before = ContainerBytes(damaged.path);
  std::vector<std::string> problems;
  auto tree = MountTree(damaged.path, &problems);
  for (const std::string& expected : damaged.problems) {
    EXPECT_EQ(std::count(problems.begin(), problems.end(), expected), 1) << expected;
  }
  for (const std::string& problem : problems) {
    EXPECT_NE(std::find(damaged.problems.begin(), damaged.problems.end(), problem), damaged.problems.end())
        << "not expected: " << problem;
  }

  std::set<std::string> names;
  for (const MountFileSystem::NodeId child : tree->Get(MountFileSystem::kRoot)->children) names.insert(tree->Get(child)->name);
  EXPECT_EQ(names, (std::set<std::string>{"broken.bin", "dir", "good.txt", "loop", "squeezed.txt"}));

  // The later entry named good.txt is the successor of the first: a second
  // open by name would reach it, were the record not checked.
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(ReadWhole(*tree, Resolve(*tree, "good.txt"), &bytes), 0);
    EXPECT_TRUE(bytes == damaged.good) << "round " << round << ": " << bytes.substr(0, 40);
  }
  EXPECT_EQ(ReadWhole(*tree, Resolve(*tree, "dir/inside.txt"), &bytes), 0);
  EXPECT_TRUE(bytes == damaged.inside);

  // A storage that would contain itself is a folder nobody can list.
  const MountFileSystem::Node* loop = tree->Get(Resolve(*tree, "loop"));
  ASSERT_NE(loop, nullptr);
  EXPECT_TRUE(loop->folder);
  EXPECT_EQ(loop->error, EIO);
  EXPECT_TRUE(loop->children.empty());

  // The chain cut short: its bytes before the cut read, and no read reaching
  // past it passes for an early end.
  const MountFileSystem::NodeId broken = Resolve(*tree, "broken.bin");
  EXPECT_EQ(tree->Get(broken)->size, static_cast<std::int64_t>(damaged.broken.size()));
  EXPECT_EQ(ReadAt(*tree, broken, 0, damaged.brokenReadable, &bytes), 0);
  EXPECT_TRUE(bytes == damaged.broken.substr(0, damaged.brokenReadable));
  EXPECT_EQ(ReadAt(*tree, broken, 100, damaged.brokenReadable, &bytes), EIO);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(ReadWhole(*tree, broken, &bytes), EIO);
  EXPECT_EQ(ReadAt(*tree, Resolve(*tree, "squeezed.txt"), 0, 10, &bytes), EIO);
  // The damage stays where it is.
  EXPECT_EQ(ReadWhole(*tree, Resolve(*tree, "good.txt"), &bytes), 0);
  EXPECT_TRUE(bytes == damaged.good);
  tree.reset();
  EXPECT_TRUE(ContainerBytes(damaged.path) == before);
}

// A directory cut short by a damaged chain lists what it had and then fails;
// a stream whose fields claim more than the container is refused at open.
TEST(MountDamageTest, ADirectoryCutShortEndsInAnErrorAndOversizedEntriesDoNotOpen) {
  TemporaryFolder folder;
  const fs::path source = folder / "source";
  for (int i = 0; i < 12; ++i) WriteFile(source / "dir" / ("file" + std::to_string(10 + i)), "content " + std::to_string(i));
  WriteFile(source / "huge.bin", std::string(3000, 'h'));
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", "--block-size", "512", "--entry-width", "2", source.string(), container.string()}).code, 0);
  ContainerImage editor(container);
  // 12 records take three blocks: the chain ends after the second.
  editor.SetTableEntry(editor.TableEntry(editor.FirstBlock(u"dir")), -1);
  editor.SetSize(u"huge.bin", std::int64_t{1} << 40);
  editor.Save();

  std::vector<std::string> problems;
  auto tree = MountTree(container, &problems);
  std::string reported;
  for (const std::string& problem : problems) reported += problem + "\n";
  ASSERT_EQ(problems.size(), 2u) << reported;
  EXPECT_EQ(problems[0].rfind("'dir': the directory could not be read to its end (0x81016005)", 0), 0u) << problems[0];
  EXPECT_EQ(problems[1], "'huge.bin': the entry claims more than the container holds; reading it fails with an I/O error");
  const MountFileSystem::Node* dir = tree->Get(Resolve(*tree, "dir"));
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->error, 0);
  EXPECT_EQ(dir->listError, EIO);
  EXPECT_EQ(dir->children.size(), 8u);  // two blocks of four records
  std::string bytes;
  EXPECT_EQ(ReadWhole(*tree, Resolve(*tree, "dir/file10"), &bytes), 0);
  EXPECT_EQ(bytes, "content 0");
  const MountFileSystem::NodeId huge = Resolve(*tree, "huge.bin");
  EXPECT_EQ(tree->Get(huge)->size, 0);
  MountFileSystem::OpenFile* file = nullptr;
  EXPECT_EQ(tree->Open(huge, &file), EIO);
}

// Readers on several threads: some share one file (and so one stream), some
// have files of their own, in compressed, plain and nested streams; every
// byte arrives where it belongs. The ThreadSanitizer build runs this too.
TEST(MountConcurrencyTest, SeveralReadersAtOnce) {
  TemporaryFolder folder;
  const fs::path source = folder / "source";
  MakeMountSourceTree(source);
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", "--compress", "--nest", "sub/inner", source.string(), container.string()}).code, 0);
  std::vector<std::string> problems;
  auto tree = MountTree(container, &problems);
  const std::vector<std::string> paths = {"noise.bin", "text.txt", "sub/inner/deep.bin", "sub/inner/core/last.txt",
                                          "Kivra7i/KivMod7Win.bin"};
  std::vector<std::string> contents;
  for (const std::string& path : paths) contents.push_back(ReadFile(source / path));

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(100 + t);
      std::vector<char> buffer(150000);
      for (int round = 0; round < 60; ++round) {
        // Threads 0 to 2 all read noise.bin; the others take turns.
        const std::size_t which = t < 3 ? 0 : random() % paths.size();
        const std::string& expected = contents[which];
        MountFileSystem::OpenFile* file = nullptr;
        if (tree->Open(Resolve(*tree, paths[which]), &file) != 0) {
          ++failures;
          continue;
        }
        for (int i = 0; i < 8; ++i) {
          const std::size_t offset = random() % expected.size();
          const std::size_t length = random() % buffer.size();
          std::size_t got = 0;
          if (tree->Read(file, static_cast<std::int64_t>(offset), length, buffer.data(), &got) != 0 ||
              got != std::min(length, expected.size() - offset) ||
              std::string_view(buffer.data(), got) != std::string_view(expected).substr(offset, got)) {
            ++failures;
          }
        }
        tree->Release(file);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qss_test

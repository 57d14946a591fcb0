// qss put, rm and mkdir, run as the real program on containers made by
// pack: what they change, what they refuse, the blocks they free and take
// again, and that an edited container is one pack could have made.

#include <gtest/gtest.h>

#include <random>

#include "QssTestSupport.h"
#include "TemporaryFolder.h"

namespace qss_test {
namespace {

std::string Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class EditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(folder_ / "src" / "a.txt", "alpha");
    WriteFile(folder_ / "src" / "m.bin", Noise(50000, 1));
    WriteFile(folder_ / "src" / "sub" / "inner.txt", std::string(9000, 'i'));
    WriteFile(folder_ / "src" / "sub" / "deeper" / "leaf", "leaf");
    WriteFile(folder_ / "src" / "nest" / "n.txt", "nested");
    container_ = (folder_ / "c.qss").string();
    ASSERT_EQ(Run({"pack", "--nest", "nest", (folder_ / "src").string(), container_}).code, 0);
  }

  RunResult Run(const std::vector<std::string>& args) { return RunProgram(args, folder_.path()); }
  // Runs an edit that must succeed and leave a sound container.
  void Edit(const std::vector<std::string>& args) {
    const RunResult run = Run(args);
    ASSERT_EQ(run.code, 0) << args[0] << ": " << run.err;
    const RunResult check = Run({"check", container_});
    EXPECT_EQ(check.out, "ok\n") << args[0];
  }
  std::string File(const std::string& name, const std::string& content) {
    WriteFile(folder_ / name, content);
    return (folder_ / name).string();
  }
  std::string Cat(const std::string& path) { return Run({"cat", container_, path}).out; }
  long long Info(const std::string& field) {
    const RunResult run = Run({"info", "--json", container_});
    Json info;
    EXPECT_TRUE(JsonReader::Parse(run.out, &info)) << run.out;
    const Json* value = info.Find(field);
    return value != nullptr ? value->number : -1;
  }

  TemporaryFolder folder_;
  std::string container_;
};

TEST_F(EditTest, PutAddsAndReplacesStreamsAndMkdirAddsStorages) {
  const std::string big = Noise(70000, 2);
  Edit({"put", container_, "new/dir/big.bin", File("big", big)});
  EXPECT_EQ(Cat("new/dir/big.bin"), big);
  Edit({"put", container_, "a.txt", File("a2", "a new alpha, longer than the old one")});
  EXPECT_EQ(Cat("a.txt"), "a new alpha, longer than the old one");
  const std::string text = std::string(40000, 'z') + "end";
  Edit({"put", "--compress", container_, "sub\\inner.txt", File("text", text)});
  EXPECT_EQ(Cat("sub/inner.txt"), text);
  const RunResult listing = Run({"ls", container_, "sub"});
  EXPECT_NE(listing.out.find("2 0x00000022        40003 "), std::string::npos) << listing.out;
  Edit({"mkdir", container_, "Zeta/one/two"});
  Edit({"mkdir", container_, "b"});
  // New entries stand at their places in name order.
  EXPECT_EQ(Run({"tree", container_}).out,
            "/\n  Zeta/\n    one/\n      two/\n  a.txt  36 bytes\n  b/\n  m.bin  50000 bytes\n"
            "  nest/ [container, 16384 bytes]\n    n.txt  6 bytes\n  new/\n    dir/\n      big.bin  70000 bytes\n"
            "  sub/\n    deeper/\n      leaf  4 bytes\n    inner.txt  40003 bytes (compressed, 183 stored)\n");

  RunResult run = Run({"put", container_, "sub", File("x", "x")});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: put: 'sub' is a storage; put writes streams only\n");
  run = Run({"put", container_, "a.txt/below", File("x", "x")});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: put: 'a.txt' is a stream, not a storage\n");
  run = Run({"mkdir", container_, "sub/deeper"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: mkdir: 'sub\\deeper' already exists\n");
  run = Run({"put", container_, "c", (folder_ / "missing").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("qss: put: cannot read "), std::string::npos) << run.err;
  run = Run({"put", container_, "/", File("x", "x")});
  EXPECT_EQ(run.code, 2);
  // Inside a nested container only the whole container is written anew.
  run = Run({"put", container_, "nest/m.txt", File("x", "x")});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("'nest' is a nested container; changes inside one are made only with --safe"),
            std::string::npos)
      << run.err;
  Edit({"put", "--safe", container_, "nest/m.txt", File("x", "inside")});
  EXPECT_EQ(Cat("nest/m.txt"), "inside");
  EXPECT_EQ(Cat("nest/n.txt"), "nested");
  EXPECT_EQ(Cat("m.bin"), Noise(50000, 1));
}

TEST_F(EditTest, RmFreesBlocksThatTheNextPutTakes) {
  const long long free = Info("freeBlocks");
  Edit({"rm", container_, "m.bin"});
  EXPECT_EQ(Run({"cat", container_, "m.bin"}).code, 1);
  // Its 13 blocks of 4096 bytes, and the root directory's old copy (the
  // new one took a block the table described beyond the file's end).
  EXPECT_EQ(Info("freeBlocks"), free + 14);
  const long long size = Info("byteArraySize");
  // The same again: 13 blocks and a new copy of the root directory.
  Edit({"put", container_, "m2.bin", File("m2", Noise(50000, 3))});
  EXPECT_EQ(Info("byteArraySize"), size);
  EXPECT_EQ(Info("freeBlocks"), free + 1);
  EXPECT_EQ(Cat("m2.bin"), Noise(50000, 3));

  RunResult run = Run({"rm", container_, "sub"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: rm: 'sub' is a storage that is not empty; -r removes it with everything in it\n");
  run = Run({"rm", container_, "nest"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "qss: rm: 'nest' is a nested container; -r removes it with everything in it\n");
  run = Run({"rm", container_, "sub/none"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("no such entry 'none' in 'sub'"), std::string::npos) << run.err;
  Edit({"rm", "-r", container_, "sub"});
  Edit({"rm", "--recursive", container_, "nest"});
  Edit({"mkdir", container_, "empty"});
  Edit({"rm", container_, "empty"});
  EXPECT_EQ(Run({"tree", container_}).out, "/\n  a.txt  5 bytes\n  m2.bin  50000 bytes\n");
  EXPECT_EQ(Info("byteArraySize"), size);
  Edit({"rm", "--safe", container_, "a.txt"});
  EXPECT_EQ(Run({"tree", container_}).out, "/\n  m2.bin  50000 bytes\n");
}

// Unpacking an edited container and packing the result gives the same
// listing: every edit leaves what pack would have made of the same files.
TEST_F(EditTest, AnEditedContainerListsAsPackMakesIt) {
  Edit({"put", container_, "sub/deeper/new", File("n", "new leaf")});
  Edit({"put", container_, "B/c/d.txt", File("d", std::string(5000, 'd'))});
  Edit({"rm", container_, "sub/inner.txt"});
  Edit({"put", container_, "a.txt", File("a", Noise(9000, 4))});
  Edit({"rm", "-r", container_, "nest"});
  Edit({"mkdir", container_, "sub/0"});
  ASSERT_EQ(Run({"unpack", container_, (folder_ / "out").string()}).code, 0);
  const std::string repacked = (folder_ / "again.qss").string();
  ASSERT_EQ(Run({"pack", (folder_ / "out").string(), repacked}).code, 0);
  const auto listing = [&](const std::string& container) {
    std::string all;
    for (const char* path : {"", "sub", "sub/deeper", "B", "B/c"}) all += Run({"ls", container, path}).out;
    // Blocks differ; kinds, flags, sizes and names in order do not.
    return all;
  };
  EXPECT_EQ(listing(container_), listing(repacked));
  EXPECT_EQ(Run({"tree", container_}).out, Run({"tree", repacked}).out);
}

}  // namespace
}  // namespace qss_test

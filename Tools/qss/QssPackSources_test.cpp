// qss pack over what a real folder holds: symbolic links, FIFOs and
// sockets, and files left out on purpose.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "QssTestSupport.h"
#include "TemporaryFolder.h"

namespace qss_test {
namespace {

std::string Listing(const fs::path& container) {
  const RunResult run = RunInProcess({"tree", container.string()});
  EXPECT_EQ(run.code, 0) << run.err;
  return run.out;
}

TEST(PackSourcesTest, ExcludeLeavesOutFilesAndWholeFolders) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "keep.txt", "k");
  WriteFile(folder / "src" / "a" / "x.tmp", "t");
  WriteFile(folder / "src" / "a" / "y.txt", "y");
  WriteFile(folder / "src" / ".git" / "config", "c");
  WriteFile(folder / "src" / "a" / "b" / "z.txt", "z");
  const fs::path container = folder / "c.qss";
  const RunResult run = RunInProcess({"pack", "--exclude", "*.tmp", "--exclude", ".git", "--exclude", "a/b",
                                      (folder / "src").string(), container.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::string listing = Listing(container);
  EXPECT_EQ(listing.find("x.tmp"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(".git"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("z.txt"), std::string::npos) << listing;
  EXPECT_NE(listing.find("y.txt"), std::string::npos) << listing;
  EXPECT_NE(listing.find("keep.txt"), std::string::npos) << listing;
}

// A directory's entries are in the order of their names' UTF-16 units, in
// which a name beyond U+FFFF (a surrogate pair) sorts before U+E000 to
// U+FFFF, unlike the order of code points or UTF-8.
TEST(PackSourcesTest, EntriesAreInTheOrderOfTheirUtf16Units) {
  TemporaryFolder folder;
  const std::string high = "\xef\xac\x81.txt";         // U+FB01
  const std::string beyond = "\xf0\x9f\x98\x80.txt";  // U+1F600
  for (const std::string& name : {std::string("a.txt"), high, beyond}) {
    WriteFile(folder / "src" / "sub" / fs::path(std::u8string(name.begin(), name.end())), name);
  }
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container.string()}).code, 0);
  EXPECT_EQ(Listing(container),
            "/\n  sub/\n    a.txt  5 bytes\n    " + beyond + "  8 bytes\n    " + high + "  7 bytes\n");
}

#ifndef _WIN32  // symbolic links need a privilege there, and there are no FIFOs
class SpecialFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = folder_ / "src";
    WriteFile(src_ / "real" / "file.txt", "content");
    fs::create_symlink("real/file.txt", src_ / "alink");
    fs::create_directory_symlink("real", src_ / "dirlink");
    ASSERT_EQ(mkfifo((src_ / "fifo").c_str(), 0600), 0);
    container_ = folder_ / "c.qss";
  }
  RunResult Pack(std::vector<std::string> options) {
    options.insert(options.begin(), "pack");
    options.push_back(src_.string());
    options.push_back(container_.string());
    return RunInProcess(options);
  }

  TemporaryFolder folder_;
  fs::path src_;
  fs::path container_;
};

TEST_F(SpecialFilesTest, WithoutOptionsTheFirstOneIsNamedWithTheWayPast) {
  const RunResult run = Pack({});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("qss: pack: " + (src_ / "alink").string() +
                         ": a symbolic link; not packed (--dereference follows it, --skip-special skips it)"
                         " (and 2 more such entries)\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("qss: pack: nothing written"), std::string::npos);
  EXPECT_FALSE(fs::exists(container_));
}

TEST_F(SpecialFilesTest, SkipSpecialWarnsOncePerSkippedEntry) {
  RunResult run = Pack({"--skip-special"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "qss: pack: " + (src_ / "alink").string() + ": a symbolic link; skipped\n" +
                         "qss: pack: " + (src_ / "dirlink").string() + ": a symbolic link; skipped\n" +
                         "qss: pack: " + (src_ / "fifo").string() + ": a FIFO; skipped\n");
  EXPECT_EQ(RunInProcess({"cat", container_.string(), "real/file.txt"}).out, "content");
  EXPECT_EQ(RunInProcess({"ls", container_.string()}).out.find("alink"), std::string::npos);
  run = Pack({"--skip-special", "--quiet"});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.err, "");
}

TEST_F(SpecialFilesTest, DereferencePacksWhatLinksLeadToAndNamesALoop) {
  // The FIFO still needs --skip-special, and is never opened (it would wait
  // for a writer).
  RunResult run = Pack({"--dereference"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("fifo: a FIFO; not packed (--skip-special skips it)"), std::string::npos) << run.err;
  run = Pack({"--dereference", "--skip-special"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(RunInProcess({"cat", container_.string(), "alink"}).out, "content");
  EXPECT_EQ(RunInProcess({"cat", container_.string(), "dirlink/file.txt"}).out, "content");
  EXPECT_EQ(RunInProcess({"check", container_.string()}).out, "ok\n");

  fs::create_directory_symlink("..", src_ / "real" / "up");
  run = Pack({"--dereference", "--skip-special"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find((src_ / "real" / "up").string() + ": a symbolic link loop: it leads back to " + src_.string()),
            std::string::npos)
      << run.err;
  fs::remove(src_ / "real" / "up");
  fs::create_symlink("self", src_ / "self");
  run = Pack({"--dereference", "--skip-special"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find((src_ / "self").string() + ": a symbolic link loop"), std::string::npos) << run.err;
}

TEST_F(SpecialFilesTest, SocketsAreSpecialToo) {
  fs::remove(src_ / "fifo");
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = (src_ / "sock").string();
  if (path.size() >= sizeof(address.sun_path)) {
    close(sock);
    GTEST_SKIP() << "temporary path too long for a socket";
  }
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const RunResult run = Pack({"--dereference", "--skip-special"});
  close(sock);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "qss: pack: " + path + ": a socket; skipped\n");
}
#endif

// A large folder's files are looked at and read on several threads: what
// each finds stays with its own file, the messages come in name order, and
// the container's bytes do not depend on the number of threads.
TEST(PackSourcesTest, ALargeFolderPacksAndFailsAlikeOnAnyNumberOfThreads) {
  TemporaryFolder folder;
  std::map<std::string, std::string> files;
  for (int i = 0; i < 150; ++i) {
    char name[16];
    std::snprintf(name, sizeof(name), "f%03d", i);
    files[name] = std::string(static_cast<std::size_t>(i * 37 % 5000), static_cast<char>('a' + i % 26));
    WriteFile(folder / "src" / name, files[name]);
  }
  WriteFile(folder / "src" / "big", std::string(100000, 'b'));  // stored through the kernel's copy
  std::string one;
  for (const std::string threads : {"1", "2", "3"}) {
    const fs::path container = folder / ("c" + threads + ".qss");
    const RunResult run = RunInProcess({"pack", "--threads", threads, (folder / "src").string(), container.string()});
    ASSERT_EQ(run.code, 0) << run.err;
    if (threads == "1") {
      one = ContainerBytes(container);
    } else {
      EXPECT_TRUE(ContainerBytes(container) == one) << threads << " threads";
    }
  }
  ASSERT_EQ(RunInProcess({"unpack", (folder / "c3.qss").string(), (folder / "out").string()}).code, 0);
  EXPECT_EQ(Snapshot(folder / "out"), Snapshot(folder / "src"));

  // Sizes a compressed stream cannot hold (sparse files), found by the
  // threads and reported against their own names, in name order.
  fs::resize_file(folder / "src" / "f120", 3221225472LL);
  fs::resize_file(folder / "src" / "f030", 2147483648LL);
  const RunResult run = RunInProcess(
      {"pack", "--compress", "--threads", "2", (folder / "src").string(), (folder / "z.qss").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err,
            "qss: pack: " + (folder / "src" / "f030").string() +
                ": 2147483648 bytes are more than a compressed stream can hold (2113929216)\n"
                "qss: pack: " + (folder / "src" / "f120").string() +
                ": 3221225472 bytes are more than a compressed stream can hold (2113929216)\n"
                "qss: pack: nothing written\n");
}

// More small files than the readers may hold ahead at once: the buffers of
// files already stored are read into again, and no file keeps bytes of the
// one that had its buffer before.
TEST(PackSourcesTest, BuffersOfStoredFilesServeLaterFilesWithoutMixingThem) {
  TemporaryFolder folder;
  for (int i = 0; i < 2500; ++i) {
    char name[24];
    std::snprintf(name, sizeof(name), "d%d/f%04d", i / 500, i);
    // Lengths that rise and fall, so that a buffer meets both longer and
    // shorter files than its last.
    const auto length = static_cast<std::size_t>(1000 + (i * 7919) % 4000);
    WriteFile(folder / "src" / name, std::string(length, static_cast<char>('a' + i % 26)));
  }
  ASSERT_EQ(RunInProcess({"pack", "--threads", "1", (folder / "src").string(), (folder / "one.qss").string()}).code,
            0);
  const RunResult run =
      RunInProcess({"pack", "--threads", "3", (folder / "src").string(), (folder / "three.qss").string()});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(ContainerBytes(folder / "three.qss") == ContainerBytes(folder / "one.qss"));
  ASSERT_EQ(RunInProcess({"unpack", (folder / "three.qss").string(), (folder / "out").string()}).code, 0);
  EXPECT_EQ(Snapshot(folder / "out"), Snapshot(folder / "src"));
}

}  // namespace
}  // namespace qss_test

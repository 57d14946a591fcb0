// What qss writes never lies and never destroys what the user had: pack
// replaces a container only with a complete one, unpack replaces files
// whole, and output that did not arrive fails the command.

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <streambuf>
#include <thread>

#include "QssTestSupport.h"
#include "TemporaryFolder.h"

using namespace qss;

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qss_test {
namespace {

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) names.insert(item.path().filename().string());
  return names;
}

// Names in folder that a writer's temporary files carry.
std::vector<std::string> Temporaries(const fs::path& folder) {
  std::vector<std::string> found;
  for (const std::string& name : Names(folder)) {
    if (name.find(".qss-tmp-") != std::string::npos) found.push_back(name);
  }
  return found;
}

std::string Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// ---------------------------------------------------------------------------
// Output that cannot be written

// Takes nothing: every write fails at once.
class RefusingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

// Takes everything into its buffer but fails when flushed, as a full disk
// does at the end.
class FailingFlushBuffer : public std::streambuf {
 public:
  FailingFlushBuffer() { setp(buffer_, buffer_ + sizeof(buffer_)); }

 protected:
  int_type overflow(int_type c) override {
    setp(buffer_, buffer_ + sizeof(buffer_));  // drops what was there
    if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  int sync() override { return -1; }

 private:
  char buffer_[1 << 16];
};

TEST(OutputFailureTest, EveryCommandFailsWhenStandardOutputTakesNothing) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "file", "content");
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container}).code, 0);
  for (const bool failAtFlush : {false, true}) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", container},
             {"ls", "--json", container},
             {"tree", container},
             {"info", "--json", container},
             {"check", container},
             {"cat", container, "file"},
             {"pack", "--help"},
             {"--help"}}) {
      RefusingBuffer refusing;
      FailingFlushBuffer failing;
      std::ostream out(failAtFlush ? static_cast<std::streambuf*>(&failing) : &refusing);
      std::ostringstream err;
      qss_tool::ToolContext context{out, err};
      EXPECT_EQ(qss_tool::RunQss(args, context), 1) << args[0] << (failAtFlush ? " at flush" : "");
      const std::string expected =
          args[0] == "--help" ? "qss: cannot write to standard output\n" : "qss: " + args[0] + ": cannot write to standard output\n";
      EXPECT_EQ(err.str(), expected) << args[0] << (failAtFlush ? " at flush" : "");
    }
  }
}

#ifndef _WIN32
TEST(OutputFailureTest, TheProgramFailsWritingToAFullDevice) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "file", std::string(100000, 'f'));
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container}).code, 0);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls", container}, {"tree", container}, {"info", container},
                                             {"check", container}, {"cat", container, "file"}}) {
    const RunResult run = RunProgram(args, folder.path(), "/dev/full");
    EXPECT_EQ(run.code, 1) << args[0];
    EXPECT_EQ(run.err, "qss: " + args[0] + ": cannot write to standard output\n");
  }
}
#endif

// ---------------------------------------------------------------------------
// unpack replaces files whole

TEST(UnpackReplacementTest, ExistingFilesAreReplacedWholeAndOtherNamesOfThemKeepTheirContent) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "linked", "new content");
  WriteFile(folder / "src" / "shorter", "new");
  WriteFile(folder / "src" / "inner" / "linked", "inner content");
  const std::string container = (folder / "c.qss").string();
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container}).code, 0);

  const fs::path target = folder / "out";
  WriteFile(folder / "outside" / "precious", "precious");
  fs::create_directories(target / "inner");
  fs::create_hard_link(folder / "outside" / "precious", target / "linked");
  fs::create_hard_link(folder / "outside" / "precious", target / "inner" / "linked");
  WriteFile(target / "shorter", "a much longer old content");
  const RunResult run = RunInProcess({"unpack", "--overwrite", container, target.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadFile(folder / "outside" / "precious"), "precious");
  EXPECT_EQ(Snapshot(target), Snapshot(folder / "src"));
  EXPECT_TRUE(Temporaries(target).empty());
  EXPECT_TRUE(Temporaries(target / "inner").empty());
}

// ---------------------------------------------------------------------------
// pack leaves an existing container alone when it fails

TEST(PackReplacementTest, AFailedPackLeavesTheOldContainerAndNoTemporaries) {
  TemporaryFolder folder;
  WriteFile(folder / "old" / "data", Noise(120000, 1));
  const fs::path container = folder / "out" / "c.qss";
  fs::create_directories(container.parent_path());
  ASSERT_EQ(RunInProcess({"pack", "--segment-size", "50000", (folder / "old").string(), container.string()}).code, 0);
  const std::string before = ContainerBytes(container);
  const std::set<std::string> files = Names(container.parent_path());
  ASSERT_EQ(files.size(), 3u);

  // Too many blocks for two-byte table entries: fails half-way through.
  WriteFile(folder / "large" / "big", std::string(5000000, 'x'));
  RunResult run = RunInProcess({"pack", "--entry-width", "2", "--block-size", "128", (folder / "large").string(),
                                container.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("qss: pack: " + container.string() + " is unchanged\n"), std::string::npos) << run.err;
  EXPECT_TRUE(ContainerBytes(container) == before);
  EXPECT_EQ(Names(container.parent_path()), files);

  // A folder standing at the destination is refused before anything is built.
  fs::create_directories(folder / "dir.qss");
  run = RunInProcess({"pack", (folder / "old").string(), (folder / "dir.qss").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("is a folder"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::is_empty(folder / "dir.qss"));

  // A successful pack over it leaves only the new container's files.
  WriteFile(folder / "new" / "small", "small");
  run = RunInProcess({"pack", (folder / "new").string(), container.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Names(container.parent_path()), std::set<std::string>{"c.qss"});
  EXPECT_EQ(RunInProcess({"cat", container.string(), "small"}).out, "small");
}

#ifndef _WIN32
TEST(PackReplacementTest, ALinkAtTheDestinationIsReplacedNotWrittenThrough) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "file", "new");
  WriteFile(folder / "elsewhere.qss", "not to be touched");
  fs::create_symlink(folder / "elsewhere.qss", folder / "c.qss");
  const RunResult run = RunInProcess({"pack", (folder / "src").string(), (folder / "c.qss").string()});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadFile(folder / "elsewhere.qss"), "not to be touched");
  EXPECT_FALSE(fs::is_symlink(folder / "c.qss"));
  EXPECT_EQ(RunInProcess({"cat", (folder / "c.qss").string(), "file"}).out, "new");
}

TEST(PackReplacementTest, FilesThatCannotBeReadAreReportedBeforeAnythingIsWritten) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "fine", "fine");
  ASSERT_EQ(0, ::mkfifo((folder / "src" / "fifo").c_str(), 0600));
  const bool checksPermissions = ::geteuid() != 0;  // root reads a file of mode 000
  if (checksPermissions) {
    WriteFile(folder / "src" / "sealed", "sealed");
    fs::permissions(folder / "src" / "sealed", fs::perms::none);
  }
  WriteFile(folder / "c.qss", "old");
  const RunResult run = RunInProcess({"pack", (folder / "src").string(), (folder / "c.qss").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("fifo: a FIFO; not packed (--skip-special skips it)"), std::string::npos) << run.err;
  if (checksPermissions) {
    EXPECT_NE(run.err.find("sealed: cannot be opened for reading: Permission denied (0x8007000d)"), std::string::npos) << run.err;
  }
  EXPECT_NE(run.err.find("qss: pack: nothing written"), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(folder / "c.qss"), "old");
  EXPECT_TRUE(Temporaries(folder.path()).empty());
}

// ---------------------------------------------------------------------------
// The real program under a file size limit, killed and interrupted

// A run of the real program in a child process: standard output to
// /dev/null, standard error into a pipe.
struct ChildOptions {
  long long fileSizeLimit = -1;  // RLIMIT_FSIZE, when not negative
  bool ignoreFileSizeSignal = true;
  long long openFilesSoft = -1;  // RLIMIT_NOFILE, when not negative
  long long openFilesHard = -1;
};

class Child {
 public:
  Child(const std::vector<std::string>& args, const ChildOptions& options) {
    const std::string program = ProgramPath().string();
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return;
    const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
    const rlimit openFiles{static_cast<rlim_t>(options.openFilesSoft), static_cast<rlim_t>(options.openFilesHard)};
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only what is safe between fork and exec.
      const int nothing = ::open("/dev/null", O_RDWR);
      ::dup2(nothing, 0);
      ::dup2(nothing, 1);
      ::dup2(pipeEnds[1], 2);
      ::close(pipeEnds[0]);
      ::signal(SIGXFSZ, options.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
      if (options.fileSizeLimit >= 0) ::setrlimit(RLIMIT_FSIZE, &limit);
      if (options.openFilesSoft >= 0) ::setrlimit(RLIMIT_NOFILE, &openFiles);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(pipeEnds[1]);
    errFd_ = pipeEnds[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (errFd_ >= 0) ::close(errFd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // Waits for the end; the wait status.
  int Wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    char buffer[4096];
    for (ssize_t n; (n = ::read(errFd_, buffer, sizeof(buffer))) > 0;) err_.append(buffer, static_cast<std::size_t>(n));
    return status;
  }
  const std::string& err() const { return err_; }

 private:
  pid_t pid_ = -1;
  int errFd_ = -1;
  bool reaped_ = false;
  std::string err_;
};

// A container of more segment files than the soft limit of open files: the
// program raises the limit and reads it; where the system refuses more, the
// message says so and how many segments there are (it used to call the
// container invalid).
TEST(OpenFileLimitTest, ManySegmentsOpenUpToTheHardLimitAndAreNamedBeyondIt) {
  TemporaryFolder folder;
  WriteFile(folder.path() / "src" / "big.bin", Noise(60 * 4096, 5));
  const fs::path container = folder.path() / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", "--segment-size", "4096", (folder.path() / "src").string(), container.string()}).code,
            0);
  ASSERT_TRUE(fs::exists(container.string() + ".F0060"));
  rlimit current{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &current), 0);
  if (current.rlim_max != RLIM_INFINITY && current.rlim_max < 200) GTEST_SKIP() << "hard limit too low";

  ChildOptions raised;
  raised.openFilesSoft = 30;
  raised.openFilesHard = static_cast<long long>(current.rlim_max);
  Child lifted({"ls", container.string()}, raised);
  int status = lifted.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << lifted.err();

#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime checks object types through a pipe of its own;
  // in a process without one spare descriptor its type checks fail falsely.
  GTEST_SKIP() << "not under the sanitizers: the refused case leaves no descriptor free";
#endif
  ChildOptions capped;
  capped.openFilesSoft = 30;
  capped.openFilesHard = 30;
  Child refused({"ls", container.string()}, capped);
  status = refused.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_NE(refused.err().find("too many files are open for its "), std::string::npos) << refused.err();
}

// A file that cannot be written whole (here: past the file size limit) is
// reported; the user's file of that name stays, no partial file is left.
TEST(UnpackReplacementTest, AFileThatCannotBeWrittenLeavesTheExistingOneAndNoTemporary) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "big", Noise(100000, 4));
  WriteFile(folder / "src" / "new-big", Noise(100000, 5));
  WriteFile(folder / "src" / "small", "small");
  // In a folder this unpack makes, files go straight to their names.
  WriteFile(folder / "src" / "new" / "big", Noise(100000, 6));
  WriteFile(folder / "src" / "new" / "small", "new small");
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container.string()}).code, 0);
  const fs::path out = folder / "out";
  WriteFile(out / "big", "precious");
  Child child({"unpack", "--overwrite", container.string(), out.string()}, ChildOptions{50000, false});
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(child.err().find("qss: unpack: 'big': cannot write " + (out / "big").string() +
                             ": File too large (0x8007001b); the existing file was left unchanged\n"),
            std::string::npos)
      << child.err();
  EXPECT_NE(child.err().find("qss: unpack: 'new-big': cannot write " + (out / "new-big").string() +
                             ": File too large (0x8007001b); no file written\n"),
            std::string::npos)
      << child.err();
  EXPECT_NE(child.err().find("qss: unpack: 'new\\big': cannot write " + (out / "new" / "big").string() +
                             ": File too large (0x8007001b); no file written\n"),
            std::string::npos)
      << child.err();
  EXPECT_EQ(ReadFile(out / "big"), "precious");
  EXPECT_EQ(ReadFile(out / "small"), "small");
  EXPECT_EQ(Names(out), (std::set<std::string>{"big", "new", "small"}));
  EXPECT_EQ(Names(out / "new"), (std::set<std::string>{"small"}));
}

// A tree with plain files of several sizes, a folder and a folder to nest.
void MakeSmallTree(const fs::path& root) {
  WriteFile(root / "empty", "");
  WriteFile(root / "noise.bin", Noise(70000, 2));
  WriteFile(root / "text.txt", std::string(40000, 't') + "end");
  WriteFile(root / "folder" / "one", "1");
  WriteFile(root / "nest" / "inner.bin", Noise(30000, 3));
  WriteFile(root / "nest" / "deeper" / "leaf", std::string(9000, 'l'));
}

struct LimitCase {
  const char* label;
  std::vector<std::string> options;
  std::int64_t step;  // limits tried: multiples of step and one past each
};

void PrintTo(const LimitCase& limitCase, std::ostream* out) { *out << limitCase.label; }

class FileSizeLimitTest : public ::testing::TestWithParam<LimitCase> {};

// Under every limit across the new container's growth, pack either succeeds
// with exactly the container an unlimited pack makes, or fails with a
// message and leaves the old container byte for byte and no temporaries.
TEST_P(FileSizeLimitTest, PackUnderAFileSizeLimitSucceedsWholeOrChangesNothing) {
  const LimitCase& param = GetParam();
  TemporaryFolder folder;
  MakeSmallTree(folder / "src");
  WriteFile(folder / "old" / "old.txt", std::string(5000, 'o'));
  WriteFile(folder / "old" / "nest" / "old.bin", Noise(60000, 9));
  const fs::path out = folder / "out";
  fs::create_directories(out);
  const fs::path container = out / "c.qss";
  const fs::path reference = folder / "reference.qss";

  const auto packArgs = [&](const fs::path& source, const fs::path& destination) {
    std::vector<std::string> args = {"pack"};
    args.insert(args.end(), param.options.begin(), param.options.end());
    args.push_back(source.string());
    args.push_back(destination.string());
    return args;
  };
  ASSERT_EQ(RunInProcess(packArgs(folder / "src", reference)).code, 0);
  const std::string expected = ContainerBytes(reference);
  ASSERT_EQ(RunInProcess({"unpack", reference.string(), (folder / "unpacked").string()}).code, 0);
  ASSERT_EQ(Snapshot(folder / "unpacked"), Snapshot(folder / "src"));
  // The largest file the new container has: only a limit below it can fail.
  std::int64_t largest = 0;
  for (const auto& item : fs::directory_iterator(folder.path())) {
    if (item.path().filename().string().rfind("reference.qss", 0) == 0) {
      largest = std::max<std::int64_t>(largest, static_cast<std::int64_t>(fs::file_size(item.path())));
    }
  }

  ASSERT_EQ(RunInProcess(packArgs(folder / "old", container)).code, 0);
  const std::string old = ContainerBytes(container);
  const std::set<std::string> oldNames = Names(out);

  std::vector<std::int64_t> limits = {largest - 1, largest, largest + 1};
  for (std::int64_t limit = 0; limit <= largest + param.step; limit += param.step) {
    limits.push_back(limit);
    limits.push_back(limit + 1);
  }
  int failures = 0;
  for (const std::int64_t limit : limits) {
    for (const bool ignored : {true, false}) {
      if (!ignored && limit % (8 * param.step) > 1) continue;  // a sample: qss must ignore the signal itself
      Child child(packArgs(folder / "src", container), ChildOptions{limit, ignored});
      const int status = child.Wait();
      const std::string where = "limit " + std::to_string(limit) + (ignored ? "" : " (signal not ignored)");
      ASSERT_TRUE(WIFEXITED(status)) << where << ": ended by signal " << WTERMSIG(status);
      EXPECT_TRUE(Temporaries(out).empty()) << where;
      if (limit >= largest) {
        EXPECT_EQ(WEXITSTATUS(status), 0) << where << ": " << child.err();
      } else {
        EXPECT_EQ(WEXITSTATUS(status), 1) << where;
      }
      if (WEXITSTATUS(status) == 0) {
        EXPECT_TRUE(ContainerBytes(container) == expected) << where;
        // Back to the old container for the next limit.
        ASSERT_EQ(RunInProcess(packArgs(folder / "old", container)).code, 0);
        continue;
      }
      ++failures;
      EXPECT_NE(child.err().find("qss: pack: " + container.string() + " is unchanged\n"), std::string::npos)
          << where << ": " << child.err();
      EXPECT_TRUE(ContainerBytes(container) == old) << where;
      EXPECT_EQ(Names(out), oldNames) << where;
    }
  }
  EXPECT_GT(failures, 10);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FileSizeLimitTest,
    ::testing::Values(LimitCase{"nested", {"--nest", "nest"}, 4096},
                      LimitCase{"compressed_small_blocks",
                                {"--compress", "--nest", "nest", "--block-size", "512", "--entry-width", "2"}, 1024},
                      LimitCase{"segmented", {"--nest", "nest", "--segment-size", "40000", "--block-size", "1024"}, 2048}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.label); });

// Lines of 'qss check' other than lost blocks (which an interrupted edit in
// place may leave), "" for none.
std::string DamageFound(const fs::path& container) {
  const RunResult run = RunInProcess({"check", container.string()});
  std::string damage;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (line != "ok" && line.rfind("lost blocks: ", 0) != 0) damage += line + "\n";
  }
  return damage;
}

// put under every file size limit across the container's growth. With
// --safe a failure leaves the container byte for byte as it was and no
// temporaries; in place it leaves the container reading as before (no new
// stream, the old ones intact) or as after, and its check finds nothing but
// lost blocks.
TEST(EditUnderFileSizeLimitTest, PutSucceedsWholeOrLeavesTheOldContent) {
  TemporaryFolder folder;
  MakeSmallTree(folder / "src");
  const fs::path out = folder / "out";
  fs::create_directories(out);
  const fs::path container = out / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", "--nest", "nest", (folder / "src").string(), container.string()}).code, 0);
  const std::string old = ContainerBytes(container);
  const std::set<std::string> oldNames = Names(out);
  const std::string content = Noise(200000, 7);
  WriteFile(folder / "new.bin", content);
  const auto restore = [&] {
    std::ofstream(container, std::ios::binary | std::ios::trunc) << old;
  };
  const auto size = static_cast<long long>(old.size());
  for (const bool safe : {true, false}) {
    int failures = 0;
    int successes = 0;
    for (long long limit = safe ? 0 : size; limit <= size + 260000; limit += 12288) {
      std::vector<std::string> args = {"put", container.string(), "x/new.bin", (folder / "new.bin").string()};
      if (safe) args.insert(args.begin() + 1, "--safe");
      Child child(args, ChildOptions{limit});
      const int status = child.Wait();
      const std::string where = (safe ? "--safe, limit " : "in place, limit ") + std::to_string(limit);
      ASSERT_TRUE(WIFEXITED(status)) << where;
      EXPECT_TRUE(Temporaries(out).empty()) << where;
      const RunResult cat = RunInProcess({"cat", container.string(), "x/new.bin"});
      if (WEXITSTATUS(status) == 0) {
        ++successes;
        EXPECT_EQ(cat.out, content) << where;
      } else {
        ++failures;
        EXPECT_EQ(WEXITSTATUS(status), 1) << where;
        if (safe) {
          EXPECT_NE(child.err().find("qss: put: " + container.string() + " is unchanged\n"), std::string::npos)
              << where << ": " << child.err();
          EXPECT_TRUE(ContainerBytes(container) == old) << where;
          EXPECT_EQ(Names(out), oldNames) << where;
        } else {
          EXPECT_TRUE(cat.out.empty() || cat.out == content) << where;
        }
      }
      EXPECT_EQ(DamageFound(container), "") << where;
      EXPECT_EQ(RunInProcess({"cat", container.string(), "noise.bin"}).out, Noise(70000, 2)) << where;
      EXPECT_EQ(RunInProcess({"cat", container.string(), "nest/inner.bin"}).out, Noise(30000, 3)) << where;
      restore();
    }
    EXPECT_GT(failures, 2) << (safe ? "--safe" : "in place");
    EXPECT_GT(successes, 2) << (safe ? "--safe" : "in place");
  }
}

// A tree that takes the program some tens of milliseconds to pack.
void MakeLargeTree(const fs::path& root) {
  for (int i = 0; i < 24; ++i) WriteFile(root / ("file" + std::to_string(i)), Noise(512 * 1024, 100 + i));
  WriteFile(root / "sub" / "small", "small");
}

// Killed at any moment, pack leaves the old container or the new one, each
// complete, and at worst a stray temporary that the next pack removes.
TEST(PackKilledTest, AKilledPackLeavesTheOldOrTheNewContainer) {
  TemporaryFolder folder;
  MakeLargeTree(folder / "src");
  WriteFile(folder / "old" / "old.txt", "old content");
  const fs::path out = folder / "out";
  fs::create_directories(out);
  const fs::path container = out / "c.qss";
  const std::vector<std::string> args = {"pack", (folder / "src").string(), container.string()};

  ASSERT_EQ(RunInProcess({"pack", (folder / "old").string(), container.string()}).code, 0);
  const std::string old = ContainerBytes(container);
  // The slowest of a few whole runs: the moments drawn cover a whole run
  // and some time after it.
  std::chrono::steady_clock::duration duration{};
  for (int run = 0; run < 3; ++run) {
    const auto started = std::chrono::steady_clock::now();
    Child child(args, ChildOptions{});
    ASSERT_EQ(child.Wait(), 0) << child.err();
    duration = std::max(duration, std::chrono::steady_clock::now() - started);
  }
  const std::string fresh = ContainerBytes(container);

  std::mt19937 random(2024);
  std::uniform_int_distribution<long long> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(duration).count() * 3 / 2);
  int sawOld = 0;
  int sawNew = 0;
  int sawStray = 0;
  // At least 30 moments, and more while none has yet landed before the new
  // container or while it was being built: on a loaded machine a run's
  // start and end can take most of the time measured.
  for (int round = 0; round < 30 || ((sawOld == 0 || sawStray == 0) && round < 200); ++round) {
    WriteFile(container, old);
    Child child(args, ChildOptions{});
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    ::kill(child.pid(), SIGKILL);
    child.Wait();
    const std::string now = ContainerBytes(container);
    const bool isOld = now == old;
    const bool isNew = now == fresh;
    ASSERT_TRUE(isOld || isNew) << "round " << round << ": " << now.size() << " bytes";
    const RunResult check = RunInProcess({"check", container.string()});
    EXPECT_EQ(check.out, "ok\n") << "round " << round;
    sawOld += isOld ? 1 : 0;
    sawNew += isNew ? 1 : 0;
    sawStray += Temporaries(out).empty() ? 0 : 1;
  }
  // How many moments land after the move depends on the machine's load.
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawStray, 0);
  std::printf("killed packs left %d old and %d new containers, %d with stray temporaries\n", sawOld, sawNew,
              sawStray);
  // Strays of the killed processes go with the next pack.
  Child child(args, ChildOptions{});
  ASSERT_EQ(child.Wait(), 0) << child.err();
  EXPECT_EQ(Names(out), std::set<std::string>{"c.qss"});
  EXPECT_TRUE(ContainerBytes(container) == fresh);
}

// Interrupted while it writes, pack removes its temporaries, says so and
// ends by the signal; the old container stays.
TEST(PackInterruptedTest, AnInterruptRemovesTheTemporariesAndKeepsTheOldContainer) {
  TemporaryFolder folder;
  MakeLargeTree(folder / "src");
  WriteFile(folder / "old" / "old.txt", "old content");
  const fs::path out = folder / "out";
  fs::create_directories(out);
  const fs::path container = out / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", (folder / "old").string(), container.string()}).code, 0);
  const std::string old = ContainerBytes(container);

  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    Child child({"pack", (folder / "src").string(), container.string()}, ChildOptions{});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Temporaries(out).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(child.pid(), signal);
    const int status = child.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << signal << ": " << child.err();
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_EQ(child.err(), "qss: pack: interrupted; the new container's files were removed, " + container.string() +
                               " is unchanged\n");
    EXPECT_TRUE(ContainerBytes(container) == old) << "signal " << signal;
    EXPECT_EQ(Names(out), std::set<std::string>{"c.qss"}) << "signal " << signal;
  }
}

// Interrupted while it writes, unpack finishes the file in hand, deletes the
// folders still under temporary names and ends by the signal: every folder
// left in place is whole, and nothing hidden stays behind.
TEST(UnpackInterruptedTest, AnInterruptLeavesOnlyCompleteFoldersAndNoTemporaries) {
  TemporaryFolder folder;
  const fs::path src = folder / "src";
  for (unsigned n = 0; n < 40 * 8; ++n) {
    std::string name = "d";  // d0/f0 ... d39/f7
    name += std::to_string(n / 8) + "/f" + std::to_string(n % 8);
    WriteFile(src / name, Noise(96 * 1024, n));
  }
  WriteFile(src / "top.txt", "top");
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", src.string(), container.string()}).code, 0);
  const std::map<std::string, std::string> whole = Snapshot(src);

  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A few tries, for a loaded machine where the whole unpack may be over
    // before the signal is sent.
    bool cameMidway = false;
    for (int attempt = 0; attempt < 5 && !cameMidway; ++attempt) {
      const fs::path out = folder / ("out" + std::to_string(signal) + "-" + std::to_string(attempt));
      Child child({"unpack", container.string(), out.string()}, ChildOptions{});
      // Strike while a folder is under construction.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while ((!fs::exists(out) || Temporaries(out).empty()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      ::kill(child.pid(), signal);
      const int status = child.Wait();
      ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << signal << ": " << child.err();
      EXPECT_EQ(WTERMSIG(status), signal);
      EXPECT_EQ(child.err(),
                "qss: unpack: interrupted; what it had not finished was deleted, what is in place is complete\n");
      EXPECT_TRUE(Temporaries(out).empty()) << "signal " << signal;
      // Whatever stands in out is what the container holds, file for file.
      for (const auto& [name, content] : Snapshot(out)) {
        ASSERT_TRUE(whole.count(name) == 1) << name;
        EXPECT_TRUE(whole.at(name) == content) << name;
      }
      // A whole folder or none: files are not left half a folder's worth.
      for (const std::string& name : Names(out)) {
        if (name != "top.txt") {
          EXPECT_EQ(Names(out / name).size(), 8u) << name;
        }
      }
      cameMidway = Names(out).size() < 41;
    }
    EXPECT_TRUE(cameMidway) << "signal " << signal << ": every interrupt came after the last folder";
  }
}
#endif  // _WIN32

}  // namespace
}  // namespace qss_test

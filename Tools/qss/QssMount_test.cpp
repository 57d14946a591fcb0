// qss mount and qss umount as the real program: a container mounted through
// FUSE and looked at with the ordinary tools. Skipped where this machine
// cannot mount (no /dev/fuse, mounting not permitted, a build without FUSE).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "MountTestSupport.h"
#include "QssTestSupport.h"
#include "TemporaryFolder.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;
#endif

namespace qss_test {
namespace {

// Usage and help hold on every platform and build.
TEST(MountCommandTest, HelpListsTheCommandsAndWrongUsageExitsWith2) {
  RunResult run = RunInProcess({"--help"});
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("  mount "), std::string::npos);
  EXPECT_NE(run.out.find("  umount "), std::string::npos);
  EXPECT_NE(run.out.find("qss mount package.qss "), std::string::npos);  // an example
  for (const char* command : {"mount", "umount"}) {
    run = RunInProcess({command, "--help"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out.rfind(std::string("usage: qss ") + command, 0), 0u) << run.out;
    EXPECT_NE(run.out.find("Example"), std::string::npos);
  }
  run = RunInProcess({"mount", "--help"});
  for (const char* option : {"--foreground", "--allow-other", "EROFS", "EIO"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"mount"}, {"mount", "c.qss"}, {"mount", "a", "b", "c"}, {"mount", "--bogus", "a", "b"},
           {"mount", "--foreground=1", "a", "b"}, {"umount"}, {"umount", "a", "b"}, {"umount", "--lazy", "a"}}) {
    run = RunInProcess(args);
    EXPECT_EQ(run.code, 2) << args.size() << " " << args.back();
    EXPECT_EQ(run.err.rfind("qss: ", 0), 0u) << run.err;
  }
}

#if !defined(QSS_HAVE_FUSE)
TEST(MountCommandTest, SaysItIsNotAvailableWithoutFuse) {
  TemporaryFolder folder;
  for (const char* command : {"mount", "umount"}) {
    std::vector<std::string> args = {command, (folder / "c.qss").string()};
    if (std::string(command) == "mount") args.push_back(folder.path().string());
    const RunResult run = RunInProcess(args);
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("not available"), std::string::npos) << run.err;
  }
}
#else

// Everything here fails before anything is mounted, so it may run in-process.
TEST(MountCommandTest, RefusesWhatItCannotMountOrUnmount) {
  TemporaryFolder folder;
  WriteFile(folder / "src" / "a.txt", "a");
  const fs::path container = folder / "c.qss";
  ASSERT_EQ(RunInProcess({"pack", (folder / "src").string(), container.string()}).code, 0);
  fs::create_directories(folder / "point");
  RunResult run = RunInProcess({"mount", container.string(), (folder / "missing").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("is not a folder"), std::string::npos) << run.err;
  run = RunInProcess({"mount", container.string(), (folder / "src" / "a.txt").string()});
  EXPECT_EQ(run.code, 1);
  run = RunInProcess({"mount", (folder / "src" / "a.txt").string(), (folder / "point").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("is not a valid container (0x81016005)"), std::string::npos) << run.err;
  run = RunInProcess({"mount", (folder / "none.qss").string(), (folder / "point").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("(0x81016002)"), std::string::npos) << run.err;
  // A folder nothing is mounted on, and a mount that is not ours.
  for (const fs::path& point : {folder / "point", fs::path("/proc")}) {
    run = RunInProcess({"umount", point.string()});
    EXPECT_EQ(run.code, 1) << point;
    EXPECT_NE(run.err.find("is not a folder mounted by qss mount"), std::string::npos) << run.err;
  }
}

#endif  // QSS_HAVE_FUSE

#if defined(QSS_HAVE_FUSE) && !defined(_WIN32)

using Clock = std::chrono::steady_clock;

// The mount table's mount points, unescaped.
std::set<std::string> MountPoints() {
  std::set<std::string> points;
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    std::string point;
    for (std::size_t i = 0; i < field.size(); ++i) {
      if (field[i] == '\\' && i + 3 < field.size()) {
        point.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
        i += 3;
      } else {
        point.push_back(field[i]);
      }
    }
    points.insert(point);
  }
  return points;
}

bool IsMounted(const fs::path& point) { return MountPoints().count(point.string()) != 0; }

// Waits up to a generous bound for condition; the tests never time anything.
bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Whether pid still runs (a zombie nobody reaped has ended).
bool IsRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// The process serving point: a qss whose arguments are "mount ... point".
pid_t FindServer(const fs::path& point) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* item = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(item->d_name));
    if (pid <= 0) continue;
    const std::string command = ReadFile(fs::path("/proc") / item->d_name / "cmdline");
    std::vector<std::string> words;
    for (std::size_t at = 0; at < command.size();) {
      const std::size_t end = command.find('\0', at);
      words.push_back(command.substr(at, end - at));
      at = end == std::string::npos ? command.size() : end + 1;
    }
    if (words.size() >= 4 && words[1] == "mount" && words.back() == point.string() && IsRunning(pid)) found = pid;
  }
  ::closedir(proc);
  return found;
}

// A container mounted in the background for the length of a scope; whatever
// happens, it is unmounted before the folder holding it is removed.
class Mounted {
 public:
  Mounted(const fs::path& container, const fs::path& point, const fs::path& scratch,
          std::vector<std::string> options = {})
      : point_(point) {
    fs::create_directories(point);
    std::vector<std::string> args = {"mount"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(container.string());
    args.push_back(point.string());
    run = RunProgram(args, scratch);
  }
  ~Mounted() {
    if (!IsMounted(point_)) return;
    RunProgram({"umount", point_.string()}, point_.parent_path());
    if (IsMounted(point_)) ::umount2(point_.c_str(), MNT_DETACH);
  }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;

  RunResult run;

 private:
  fs::path point_;
};

// Whether this machine lets qss mount at all; why not, when it does not.
bool MountingWorks(std::string* reason) {
  static const std::pair<bool, std::string> probed = [] {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      return std::make_pair(false, "/dev/fuse is missing or not accessible (" + std::string(std::strerror(errno)) + ")");
    }
    TemporaryFolder folder;
    WriteFile(folder / "src" / "a.txt", "a");
    const fs::path container = folder / "probe.qss";
    if (RunProgram({"pack", (folder / "src").string(), container.string()}, folder.path()).code != 0) {
      return std::make_pair(true, std::string());  // the tests will say what is wrong
    }
    Mounted probe(container, folder / "point", folder.path());
    if (probe.run.code == 0) return std::make_pair(true, std::string());
    for (const char* refusal : {"not permitted", "Permission denied", "device not found", "fusermount"}) {
      if (probe.run.err.find(refusal) != std::string::npos) {
        return std::make_pair(false, "this machine does not let qss mount: " + probe.run.err);
      }
    }
    return std::make_pair(true, std::string());
  }();
  *reason = probed.second;
  return probed.first;
}

class MountProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!MountingWorks(&reason)) GTEST_SKIP() << reason;
  }

  // Packs a source tree (MakeMountSourceTree) with the options.
  fs::path PackSourceTree(const std::vector<std::string>& options) {
    source_ = folder_ / "source";
    MakeMountSourceTree(source_);
    const fs::path container = folder_ / "tree.qss";
    std::vector<std::string> args = {"pack"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(source_.string());
    args.push_back(container.string());
    const RunResult run = RunInProcess(args);
    EXPECT_EQ(run.code, 0) << run.err;
    return container;
  }

  // A shell command's exit code, its output in scratch files.
  int Shell(const std::string& command, std::string* out = nullptr) {
    const int status = std::system((command + " >" + Quote((folder_ / "shell.out").string()) + " 2>&1").c_str());
    if (out != nullptr) *out = ReadFile(folder_ / "shell.out");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  TemporaryFolder folder_;
  fs::path source_;
};

// Reads all of a file with read(); the errno that ended it early, or 0.
int ReadAll(const fs::path& path, std::string* bytes) {
  bytes->clear();
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno;
  char piece[65536];
  int error = 0;
  for (;;) {
    const ssize_t got = ::read(fd, piece, sizeof(piece));
    if (got < 0) error = errno;
    if (got <= 0) break;
    bytes->append(piece, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return error;
}

class MountLayoutTest : public MountProgramTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

// What the ordinary tools see is the source tree: diff -r finds nothing, and
// every size and kind is the same.
TEST_P(MountLayoutTest, ThePackedTreeComparesEqualWithDiffAndSizes) {
  const fs::path container = PackSourceTree(GetParam());
  const fs::path point = folder_ / "point";
  Mounted mounted(container, point, folder_.path());
  ASSERT_EQ(mounted.run.code, 0) << mounted.run.err;
  EXPECT_EQ(mounted.run.err, "");
  ASSERT_TRUE(IsMounted(point));

  std::string out;
  EXPECT_EQ(Shell("diff -r " + Quote(source_.string()) + " " + Quote(point.string()), &out), 0) << out;
  std::set<std::string> sourceNames;
  for (const auto& item : fs::recursive_directory_iterator(source_)) {
    const fs::path relative = fs::relative(item.path(), source_);
    sourceNames.insert(relative.string());
    const fs::path shown = point / relative;
    if (item.is_directory()) {
      EXPECT_TRUE(fs::is_directory(shown)) << relative;
    } else {
      EXPECT_TRUE(fs::is_regular_file(shown)) << relative;
      EXPECT_EQ(fs::file_size(shown), item.file_size()) << relative;
    }
  }
  std::set<std::string> shownNames;
  for (const auto& item : fs::recursive_directory_iterator(point)) shownNames.insert(fs::relative(item.path(), point).string());
  EXPECT_EQ(shownNames, sourceNames);
  // grep -r and sha256sum, as someone receiving the package would use them.
  EXPECT_EQ(Shell("grep -rl 'line 4321 of the text' " + Quote(point.string()), &out), 0);
  EXPECT_EQ(out, (point / "text.txt").string() + "\n");
  EXPECT_EQ(Shell("cd " + Quote(source_.string()) + " && sha256sum noise.bin sub/inner/deep.bin >../sums && cd " +
                  Quote(point.string()) + " && sha256sum -c ../sums", &out),
            0)
      << out;

  struct stat status {};
  ASSERT_EQ(::stat((point / "noise.bin").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
  ASSERT_EQ(::stat((point / "sub").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0555u);
  EXPECT_EQ(status.st_nlink, 4u);  // ".", its entry above, inner and nothing
}

INSTANTIATE_TEST_SUITE_P(Layouts, MountLayoutTest,
                         ::testing::Values(std::vector<std::string>{"--compress", "--nest", "sub/inner"},
                                           std::vector<std::string>{"--block-size", "512", "--segment-size", "300000",
                                                                    "--nest", "sub"}),
                         [](const ::testing::TestParamInfo<std::vector<std::string>>& info) {
                           return info.index == 0 ? std::string("compressed_nested") : std::string("small_blocks_segments");
                         });

// pread at offsets anywhere in plain and compressed files, from several
// threads at once: some with descriptors of their own, some sharing one.
TEST_F(MountProgramTest, ReadsAtRandomOffsetsFromSeveralThreads) {
  const fs::path container = PackSourceTree({"--compress"});
  const fs::path point = folder_ / "point";
  Mounted mounted(container, point, folder_.path());
  ASSERT_EQ(mounted.run.code, 0) << mounted.run.err;
  const std::vector<std::string> paths = {"noise.bin", "text.txt", "sub/inner/deep.bin"};
  std::vector<std::string> contents;
  for (const std::string& path : paths) contents.push_back(ReadFile(source_ / path));
  const int shared = ::open((point / "noise.bin").c_str(), O_RDONLY);
  ASSERT_GE(shared, 0);

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(7 + t);
      std::vector<char> buffer(400000);
      for (int round = 0; round < 12; ++round) {
        const std::size_t which = t < 2 ? 0 : random() % paths.size();
        const std::string& expected = contents[which];
        const int fd = t < 2 ? shared : ::open((point / paths[which]).c_str(), O_RDONLY);
        if (fd < 0) {
          ++failures;
          continue;
        }
        for (int i = 0; i < 20; ++i) {
          const std::size_t offset = random() % (expected.size() + 1000);
          const std::size_t length = random() % buffer.size();
          const ssize_t got = ::pread(fd, buffer.data(), length, static_cast<off_t>(offset));
          const std::size_t available = offset < expected.size() ? expected.size() - offset : 0;
          if (got < 0 || static_cast<std::size_t>(got) != std::min(length, available) ||
              (got > 0 && std::memcmp(buffer.data(), expected.data() + offset, static_cast<std::size_t>(got)) != 0)) {
            ++failures;
          }
        }
        if (fd != shared) ::close(fd);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  // A mapping (how programs are loaded) sees the same content.
  void* mapped = ::mmap(nullptr, contents[0].size(), PROT_READ, MAP_PRIVATE, shared, 0);
  ASSERT_NE(mapped, MAP_FAILED) << std::strerror(errno);
  EXPECT_EQ(std::memcmp(mapped, contents[0].data(), contents[0].size()), 0);
  ::munmap(mapped, contents[0].size());
  ::close(shared);
}

// Nothing changes anything: every kind of change fails with EROFS, the
// container is held open for reading only, and its bytes stay as they were.
TEST_F(MountProgramTest, EveryChangeIsRefusedWithErofs) {
  const fs::path container = PackSourceTree({});
  const std::string before = ContainerBytes(container);
  const auto modified = fs::last_write_time(container);
  const fs::path point = folder_ / "point";
  Mounted mounted(container, point, folder_.path());
  ASSERT_EQ(mounted.run.code, 0) << mounted.run.err;
  const std::string file = (point / "text.txt").string();
  const std::string folder = (point / "sub").string();

  const struct {
    const char* what;
    std::function<int()> call;
  } changes[] = {
      {"open for writing", [&] { return ::open(file.c_str(), O_WRONLY); }},
      {"open for reading and writing", [&] { return ::open(file.c_str(), O_RDWR); }},
      {"open to append", [&] { return ::open(file.c_str(), O_WRONLY | O_APPEND); }},
      {"create", [&] { return ::open((point / "new.txt").c_str(), O_WRONLY | O_CREAT, 0644); }},
      {"mkdir", [&] { return ::mkdir((point / "new").c_str(), 0755); }},
      {"mknod", [&] { return ::mkfifo((point / "fifo").c_str(), 0644); }},
      {"unlink", [&] { return ::unlink(file.c_str()); }},
      {"rmdir", [&] { return ::rmdir((point / "sub" / "nothing").c_str()); }},
      {"rename", [&] { return ::rename(file.c_str(), (point / "renamed.txt").c_str()); }},
      {"link", [&] { return ::link(file.c_str(), (point / "linked.txt").c_str()); }},
      {"symlink", [&] { return ::symlink("text.txt", (point / "symlink").c_str()); }},
      {"chmod", [&] { return ::chmod(file.c_str(), 0666); }},
      {"chown", [&] { return ::chown(file.c_str(), 1, 1); }},
      {"truncate", [&] { return ::truncate(file.c_str(), 0); }},
      {"utimes", [&] { return ::utimensat(AT_FDCWD, folder.c_str(), nullptr, 0); }},
      {"setxattr", [&] { return ::setxattr(file.c_str(), "user.test", "x", 1, 0); }},
      {"removexattr", [&] { return ::removexattr(file.c_str(), "user.test"); }},
  };
  for (const auto& change : changes) {
    errno = 0;
    const int result = change.call();
    EXPECT_EQ(result, -1) << change.what;
    EXPECT_EQ(errno, EROFS) << change.what << ": " << std::strerror(errno);
    if (result >= 0 && std::string(change.what).rfind("open", 0) == 0) ::close(result);
  }
  // A descriptor open for reading cannot write either.
  const int fd = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "x", 1), -1);
  EXPECT_EQ(::ftruncate(fd, 0), -1);
  ::close(fd);

  // The serving process holds the container for reading only.
  const pid_t server = FindServer(point);
  ASSERT_GT(server, 0);
  int containerDescriptors = 0;
  for (const auto& link : fs::directory_iterator("/proc/" + std::to_string(server) + "/fd")) {
    std::error_code ec;
    if (fs::read_symlink(link.path(), ec) != fs::canonical(container)) continue;
    ++containerDescriptors;
    const std::string info = ReadFile("/proc/" + std::to_string(server) + "/fdinfo/" + link.path().filename().string());
    const std::size_t flags = info.find("flags:");
    ASSERT_NE(flags, std::string::npos);
    EXPECT_EQ(std::stoi(info.substr(flags + 6), nullptr, 8) & O_ACCMODE, O_RDONLY) << info;
  }
  EXPECT_EQ(containerDescriptors, 1);
  EXPECT_TRUE(ContainerBytes(container) == before);
  EXPECT_EQ(fs::last_write_time(container), modified);
}

// A damaged container mounts: its damage is listed once at mount time, its
// sound entries read, a broken stream fails with EIO, a storage that would
// contain itself cannot be listed, and find over all of it ends.
TEST_F(MountProgramTest, ADamagedContainerMountsAndItsSoundEntriesRead) {
  const DamagedContainer damaged = MakeDamagedContainer(folder_.path());
  const std::string before = ContainerBytes(damaged.path);
  const fs::path point = folder_ / "point";
  Mounted mounted(damaged.path, point, folder_.path());
  ASSERT_EQ(mounted.run.code, 0) << mounted.run.err;
  for (const std::string& problem : damaged.problems) {
    const std::string line = "qss: mount: " + problem + "\n";
    const std::size_t at = mounted.run.err.find(line);
    EXPECT_NE(at, std::string::npos) << line << "\nin:\n" << mounted.run.err;
    if (at != std::string::npos) {
      EXPECT_EQ(mounted.run.err.find(line, at + 1), std::string::npos) << line;
    }
  }
  EXPECT_EQ(std::count(mounted.run.err.begin(), mounted.run.err.end(), '\n'),
            static_cast<std::ptrdiff_t>(damaged.problems.size()))
      << mounted.run.err;

  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(point)) names.insert(item.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"broken.bin", "dir", "good.txt", "loop", "squeezed.txt"}));
  std::string bytes;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(ReadAll(point / "good.txt", &bytes), 0);
    EXPECT_TRUE(bytes == damaged.good);
  }
  EXPECT_EQ(ReadAll(point / "dir" / "inside.txt", &bytes), 0);
  EXPECT_TRUE(bytes == damaged.inside);
  EXPECT_EQ(ReadAll(point / "broken.bin", &bytes), EIO);
  EXPECT_LE(bytes.size(), damaged.brokenReadable);
  EXPECT_TRUE(bytes == damaged.broken.substr(0, bytes.size()));
  EXPECT_EQ(ReadAll(point / "squeezed.txt", &bytes), EIO);
  EXPECT_TRUE(fs::is_directory(point / "loop"));
  errno = 0;
  EXPECT_EQ(::opendir((point / "loop").c_str()), nullptr);
  EXPECT_EQ(errno, EIO);

  std::string out;
  EXPECT_EQ(Shell("LC_ALL=C timeout 120 find " + Quote(point.string()), &out), 1) << out;  // not 124: it ended
  EXPECT_NE(out.find((point / "dir" / "inside.txt").string()), std::string::npos) << out;
  EXPECT_NE(out.find("find: '" + (point / "loop").string() + "': Input/output error"), std::string::npos) << out;
  // Still serving after all of that.
  EXPECT_EQ(ReadAll(point / "good.txt", &bytes), 0);
  EXPECT_TRUE(bytes == damaged.good);
  EXPECT_TRUE(ContainerBytes(damaged.path) == before);
}

// However the mount ends (qss umount, fusermount3 -u, Ctrl-C or SIGTERM in
// the foreground), the folder is unmounted and no process stays behind.
TEST_F(MountProgramTest, UnmountingLeavesNoProcessBehind) {
  const fs::path container = PackSourceTree({});
  const fs::path point = folder_ / "point";
  for (const char* how : {"qss umount", "fusermount3 -u"}) {
    Mounted mounted(container, point, folder_.path());
    ASSERT_EQ(mounted.run.code, 0) << mounted.run.err;
    const pid_t server = FindServer(point);
    ASSERT_GT(server, 0) << how;
    if (std::string(how) == "qss umount") {
      const RunResult run = RunProgram({"umount", point.string()}, folder_.path());
      EXPECT_EQ(run.code, 0) << run.err;
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_EQ(Shell("fusermount3 -u " + Quote(point.string())), 0);
    }
    EXPECT_FALSE(IsMounted(point)) << how;
    EXPECT_TRUE(WaitFor([&] { return !IsRunning(server); })) << how;
  }

  for (const int signal : {SIGTERM, SIGINT}) {
    const std::string program = ProgramPath().string();
    const std::string log = (folder_ / "foreground.log").string();
    std::vector<std::string> words = {program, "mount", "--foreground", container.string(), point.string()};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    const bool mounted = WaitFor([&] { return IsMounted(point); });
    EXPECT_TRUE(mounted) << ReadFile(log);
    std::string bytes;
    if (mounted) {
      EXPECT_EQ(ReadAll(point / "one", &bytes), 0);
    }
    ::kill(child, signal);
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; });
    if (!ended) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << "signal " << signal;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << signal << ": " << ReadFile(log);
    EXPECT_FALSE(IsMounted(point)) << "signal " << signal;
    if (IsMounted(point)) ::umount2(point.c_str(), MNT_DETACH);
  }
}

#endif  // QSS_HAVE_FUSE && !_WIN32

}  // namespace
}  // namespace qss_test

// qss mount and qss umount: a container served as a read-only folder through
// FUSE 3 (Linux), and the way to end that.
//
// MountFileSystem holds the tree and reads the streams; this file only turns
// FUSE's low-level requests into its calls. Built without FUSE, both
// commands say that they are not available.

#include "CommandLine.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "TextCodec.h"

#if QSS_HAVE_FUSE

#define FUSE_USE_VERSION 34
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>

#include "MountFileSystem.h"

extern char** environ;

using namespace qss;

namespace qss_tool {

namespace {

namespace fs = std::filesystem;

// The tree never changes while it is mounted: the kernel may keep names,
// attributes and file content as long as it likes.
constexpr double kCacheSeconds = 86400.0;
// The mount table's type of our mounts (fuse.SUBTYPE).
constexpr const char* kSubtype = "qss";

struct Served {
  MountFileSystem* tree = nullptr;
  uid_t uid = 0;
  gid_t gid = 0;
  struct timespec time {};
};

Served& ServedOf(fuse_req_t request) { return *static_cast<Served*>(fuse_req_userdata(request)); }

void FillAttributes(const Served& served, MountFileSystem::NodeId id, const MountFileSystem::Node& node,
                    struct stat* attributes) {
  *attributes = {};
  attributes->st_ino = id;
  attributes->st_uid = served.uid;
  attributes->st_gid = served.gid;
  attributes->st_atim = served.time;
  attributes->st_mtim = served.time;
  attributes->st_ctim = served.time;
  // Large pieces: cat, cp and the like size their buffers by it.
  attributes->st_blksize = 1 << 20;
  if (node.folder) {
    attributes->st_mode = S_IFDIR | 0555;
    attributes->st_nlink = 2 + node.subfolders;
  } else {
    attributes->st_mode = S_IFREG | 0444;
    attributes->st_nlink = 1;
    attributes->st_size = node.size;
    attributes->st_blocks = (node.size + 511) / 512;
  }
}

void OnInit(void*, struct fuse_conn_info* connection) {
  if (connection->capable & FUSE_CAP_ASYNC_READ) connection->want |= FUSE_CAP_ASYNC_READ;
  // File content goes from the container's file to the kernel through pipes
  // (see OnRead), never through this process's memory.
  if (connection->capable & FUSE_CAP_SPLICE_WRITE) connection->want |= FUSE_CAP_SPLICE_WRITE;
  if (connection->capable & FUSE_CAP_SPLICE_MOVE) connection->want |= FUSE_CAP_SPLICE_MOVE;
  // Nothing is ever written back.
  connection->want &= ~static_cast<unsigned>(FUSE_CAP_WRITEBACK_CACHE);
}

void OnLookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  const Served& served = ServedOf(request);
  const MountFileSystem::Node* folder = served.tree->Get(parent);
  if (folder == nullptr) return static_cast<void>(fuse_reply_err(request, ENOENT));
  if (!folder->folder) return static_cast<void>(fuse_reply_err(request, ENOTDIR));
  if (folder->error != 0) return static_cast<void>(fuse_reply_err(request, folder->error));
  struct fuse_entry_param entry {};
  entry.entry_timeout = kCacheSeconds;
  entry.attr_timeout = kCacheSeconds;
  // Id 0 answers "no such name" and lets the kernel remember that too.
  const MountFileSystem::NodeId id = served.tree->Lookup(parent, name);
  if (id != 0) {
    entry.ino = id;
    FillAttributes(served, id, *served.tree->Get(id), &entry.attr);
  }
  fuse_reply_entry(request, &entry);
}

void OnGetAttributes(fuse_req_t request, fuse_ino_t id, struct fuse_file_info*) {
  const Served& served = ServedOf(request);
  const MountFileSystem::Node* node = served.tree->Get(id);
  if (node == nullptr) return static_cast<void>(fuse_reply_err(request, ENOENT));
  struct stat attributes {};
  FillAttributes(served, id, *node, &attributes);
  fuse_reply_attr(request, &attributes, kCacheSeconds);
}

void OnOpen(fuse_req_t request, fuse_ino_t id, struct fuse_file_info* info) {
  if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) {
    return static_cast<void>(fuse_reply_err(request, EROFS));
  }
  MountFileSystem& tree = *ServedOf(request).tree;
  MountFileSystem::OpenFile* file = nullptr;
  if (const int error = tree.Open(id, &file); error != 0) return static_cast<void>(fuse_reply_err(request, error));
  info->fh = reinterpret_cast<std::uintptr_t>(file);
  // The content never changes: what the kernel cached at an earlier open
  // stays good, so a second reader of a file costs no reads here.
  info->keep_cache = 1;
  // An interrupted open is never released by the kernel.
  if (fuse_reply_open(request, info) != 0) tree.Release(file);
}

// A pipe of one serving thread, through which a read's bytes go from the
// container's file to the kernel's answer without being copied into this
// process: the stream moves them into the pipe (sendfile), FUSE splices them
// out. Empty between reads.
class ReadPipe {
 public:
  // Reads larger than this take the buffer (FUSE asks for at most 1 MiB).
  static constexpr int kCapacity = 1 << 20;

  ReadPipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    // A full pipe would make the stream's copy fail half-way (the ends do not
    // wait): it must hold a whole answer.
    const int capacity = ::fcntl(writeEnd_, F_SETPIPE_SZ, kCapacity);
    capacity_ = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
  }
  ~ReadPipe() {
    if (readEnd_ >= 0) ::close(readEnd_);
    if (writeEnd_ >= 0) ::close(writeEnd_);
  }
  ReadPipe(const ReadPipe&) = delete;
  ReadPipe& operator=(const ReadPipe&) = delete;

  bool Fits(std::size_t size) const { return writeEnd_ >= 0 && size <= capacity_; }
  int readEnd() const { return readEnd_; }
  int writeEnd() const { return writeEnd_; }
  // Empties the pipe after a read or an answer that did not take it all.
  void Drain() {
    char scrap[65536];
    while (::read(readEnd_, scrap, sizeof(scrap)) > 0) {
    }
  }

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
  std::size_t capacity_ = 0;
};

void OnRead(fuse_req_t request, fuse_ino_t, std::size_t size, off_t offset, struct fuse_file_info* info) {
  thread_local std::vector<char> buffer;
  thread_local ReadPipe pipe;
  if (buffer.size() < size) buffer.resize(size);
  MountFileSystem& tree = *ServedOf(request).tree;
  auto* file = reinterpret_cast<MountFileSystem::OpenFile*>(info->fh);
  std::size_t got = 0;
  if (pipe.Fits(size)) {
    const int error = tree.ReadToFile(file, offset, size, pipe.writeEnd(), buffer.data(), &got);
    if (error == 0) {
      struct fuse_bufvec content = FUSE_BUFVEC_INIT(got);
      content.buf[0].flags = FUSE_BUF_IS_FD;
      content.buf[0].fd = pipe.readEnd();
      if (fuse_reply_data(request, &content, FUSE_BUF_SPLICE_MOVE) != 0) pipe.Drain();
      return;
    }
    pipe.Drain();
    if (error != EIO) return static_cast<void>(fuse_reply_err(request, error));
    // The pipe may have been what failed (a system without sendfile into
    // pipes): the buffer decides whether the stream itself is damaged.
  }
  const int error = tree.Read(file, offset, size, buffer.data(), &got);
  if (error != 0) return static_cast<void>(fuse_reply_err(request, error));
  fuse_reply_buf(request, buffer.data(), got);
}

void OnRelease(fuse_req_t request, fuse_ino_t, struct fuse_file_info* info) {
  ServedOf(request).tree->Release(reinterpret_cast<MountFileSystem::OpenFile*>(info->fh));
  fuse_reply_err(request, 0);
}

void OnOpenFolder(fuse_req_t request, fuse_ino_t id, struct fuse_file_info* info) {
  const MountFileSystem::Node* node = ServedOf(request).tree->Get(id);
  if (node == nullptr) return static_cast<void>(fuse_reply_err(request, ENOENT));
  if (!node->folder) return static_cast<void>(fuse_reply_err(request, ENOTDIR));
  if (node->error != 0) return static_cast<void>(fuse_reply_err(request, node->error));
  fuse_reply_open(request, info);
}

// Position n of a listing is ".", "..", then the children in directory
// order; the offset handed back with each name is the next position.
void OnReadFolder(fuse_req_t request, fuse_ino_t id, std::size_t size, off_t offset, struct fuse_file_info*) {
  const MountFileSystem& tree = *ServedOf(request).tree;
  const MountFileSystem::Node* node = tree.Get(id);
  if (node == nullptr) return static_cast<void>(fuse_reply_err(request, ENOENT));
  if (!node->folder) return static_cast<void>(fuse_reply_err(request, ENOTDIR));
  const std::size_t total = node->children.size() + 2;
  if (offset < 0) return static_cast<void>(fuse_reply_err(request, EINVAL));
  // A directory read only in part ends in an error, after what it had.
  if (static_cast<std::size_t>(offset) >= total && node->listError != 0) {
    return static_cast<void>(fuse_reply_err(request, node->listError));
  }
  std::vector<char> buffer(size);
  std::size_t used = 0;
  for (std::size_t at = static_cast<std::size_t>(offset); at < total; ++at) {
    MountFileSystem::NodeId entryId = id;
    const char* name = ".";
    if (at == 1) {
      entryId = node->parent;
      name = "..";
    } else if (at >= 2) {
      entryId = node->children[at - 2];
      name = tree.Get(entryId)->name.c_str();
    }
    struct stat attributes {};
    attributes.st_ino = entryId;
    attributes.st_mode = tree.Get(entryId)->folder ? S_IFDIR : S_IFREG;
    const std::size_t needed = fuse_add_direntry(request, buffer.data() + used, size - used, name, &attributes,
                                                 static_cast<off_t>(at + 1));
    if (needed > size - used) break;
    used += needed;
  }
  fuse_reply_buf(request, buffer.data(), used);
}

void OnStatFileSystem(fuse_req_t request, fuse_ino_t) {
  const MountFileSystem& tree = *ServedOf(request).tree;
  struct statvfs status {};
  status.f_bsize = static_cast<unsigned long>(tree.blockSize());
  status.f_frsize = status.f_bsize;
  status.f_blocks = static_cast<fsblkcnt_t>(tree.containerBytes() / tree.blockSize());
  status.f_files = tree.NodeCount();
  status.f_namemax = 255;
  fuse_reply_statfs(request, &status);
}

// Every request that would change something. The mount is read-only, so
// the kernel refuses most of them before they get here.
void RefuseAttributes(fuse_req_t request, fuse_ino_t, struct stat*, int, struct fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseNode(fuse_req_t request, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(request, EROFS); }
void RefuseFolder(fuse_req_t request, fuse_ino_t, const char*, mode_t) { fuse_reply_err(request, EROFS); }
void RefuseRemoval(fuse_req_t request, fuse_ino_t, const char*) { fuse_reply_err(request, EROFS); }
void RefuseLink(fuse_req_t request, const char*, fuse_ino_t, const char*) { fuse_reply_err(request, EROFS); }
void RefuseRename(fuse_req_t request, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int) {
  fuse_reply_err(request, EROFS);
}
void RefuseHardLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(request, EROFS); }
void RefuseWrite(fuse_req_t request, fuse_ino_t, const char*, std::size_t, off_t, struct fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseCreate(fuse_req_t request, fuse_ino_t, const char*, mode_t, struct fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseSetAttribute(fuse_req_t request, fuse_ino_t, const char*, const char*, std::size_t, int) {
  fuse_reply_err(request, EROFS);
}
void RefuseRemoveAttribute(fuse_req_t request, fuse_ino_t, const char*) { fuse_reply_err(request, EROFS); }
void RefuseAllocate(fuse_req_t request, fuse_ino_t, int, off_t, off_t, struct fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}

struct fuse_lowlevel_ops Operations() {
  struct fuse_lowlevel_ops operations {};
  operations.init = OnInit;
  operations.lookup = OnLookup;
  operations.getattr = OnGetAttributes;
  operations.open = OnOpen;
  operations.read = OnRead;
  operations.release = OnRelease;
  operations.opendir = OnOpenFolder;
  operations.readdir = OnReadFolder;
  operations.statfs = OnStatFileSystem;
  operations.setattr = RefuseAttributes;
  operations.mknod = RefuseNode;
  operations.mkdir = RefuseFolder;
  operations.unlink = RefuseRemoval;
  operations.rmdir = RefuseRemoval;
  operations.symlink = RefuseLink;
  operations.rename = RefuseRename;
  operations.link = RefuseHardLink;
  operations.write = RefuseWrite;
  operations.create = RefuseCreate;
  operations.setxattr = RefuseSetAttribute;
  operations.removexattr = RefuseRemoveAttribute;
  operations.fallocate = RefuseAllocate;
  return operations;
}

// libfuse reports through one global function. While mounting, its words
// are kept for our own message; afterwards they go to standard error.
std::mutex g_logLock;
std::string* g_logCapture = nullptr;

extern "C" void OnFuseLog(enum fuse_log_level, const char* format, va_list arguments) {
  char text[1024];
  std::vsnprintf(text, sizeof(text), format, arguments);
  std::string line(text);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  std::lock_guard<std::mutex> guard(g_logLock);
  if (g_logCapture != nullptr) {
    if (!g_logCapture->empty()) g_logCapture->append("; ");
    g_logCapture->append(line);
  } else {
    std::fprintf(stderr, "qss: mount: %s\n", line.c_str());
  }
}

class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_logCapture = &text_;
  }
  ~LogCapture() { Stop(); }
  void Stop() {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_logCapture = nullptr;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A mount option's value as libfuse reads it: ',' and '\' escaped.
std::string EscapeOption(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == ',' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

// The absolute path of a mount point, its folder resolved but not the
// point itself (whose file system may no longer answer).
fs::path MountPointPath(const std::string& argument) {
  fs::path path = fs::absolute(PathFromArgument(argument)).lexically_normal();
  if (path.has_relative_path() && !path.has_filename()) path = path.parent_path();
  std::error_code ec;
  const fs::path folder = fs::canonical(path.parent_path(), ec);
  return ec || !path.has_filename() ? path : folder / path.filename();
}

// The mount table's fields escape space, tab, newline and backslash as \ooo.
std::string UnescapeMountField(const std::string& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
      text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
    } else {
      text.push_back(field[i]);
    }
  }
  return text;
}

// Whether a file system of type fuse.qss is mounted at path.
bool IsOurMount(const fs::path& path) {
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - TYPE SOURCE ...
    const std::size_t separator = line.find(" - ");
    if (separator == std::string::npos) continue;
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at < separator) {
      const std::size_t end = std::min(line.find(' ', at), separator);
      fields.push_back(line.substr(at, end - at));
      at = end + 1;
    }
    const std::size_t typeEnd = line.find(' ', separator + 3);
    const std::string type = line.substr(separator + 3, typeEnd == std::string::npos ? std::string::npos
                                                                                    : typeEnd - separator - 3);
    if (fields.size() >= 5 && type == std::string("fuse.") + kSubtype && UnescapeMountField(fields[4]) == path.string()) {
      return true;
    }
  }
  return false;
}

}  // namespace

int RunMount(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"foreground", false}, {"allow-other", false}}, &parsed, &error)) {
    return UsageError(context, "mount", "mount: " + error);
  }
  if (parsed.operands.size() != 2) return UsageError(context, "mount", "mount: expected CONTAINER MOUNTPOINT");
  const bool foreground = parsed.Has("foreground");
  const fs::path containerPath = PathFromArgument(parsed.operands[0]);
  const fs::path mountPoint = MountPointPath(parsed.operands[1]);

  struct stat pointStatus {};
  if (::stat(mountPoint.c_str(), &pointStatus) != 0 || !S_ISDIR(pointStatus.st_mode)) {
    return Fail(context, "mount: " + DisplayPath(mountPoint) + " is not a folder");
  }
  OpenedContainer container = OpenContainerReadOnly(containerPath);
  if (!container.root) return Fail(context, "mount: " + container.failure, container.result);

  Served served;
  served.uid = ::getuid();
  served.gid = ::getgid();
  if (struct stat containerStatus {}; ::stat(containerPath.c_str(), &containerStatus) == 0) {
    served.time = containerStatus.st_mtim;
  }
  std::vector<std::string> problems;
  MountFileSystem tree(std::move(container), &problems);
  served.tree = &tree;
  for (const std::string& problem : problems) context.err << "qss: mount: " << problem << '\n';

  std::string options = "ro,default_permissions,subtype=" + std::string(kSubtype) +
                        ",fsname=" + EscapeOption(fs::absolute(containerPath).lexically_normal().string());
  if (parsed.Has("allow-other")) options += ",allow_other";
  std::vector<std::string> words = {"qss", "-o", options};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  struct fuse_args fuseArgs = FUSE_ARGS_INIT(static_cast<int>(words.size()), argv.data());
  // Parsing may leave libfuse's own copy of the arguments here.
  struct ArgumentsKept {
    struct fuse_args* args;
    ~ArgumentsKept() { fuse_opt_free_args(args); }
  } argumentsKept{&fuseArgs};

  fuse_set_log_func(OnFuseLog);
  LogCapture log;
  const struct fuse_lowlevel_ops operations = Operations();
  struct fuse_session* session = fuse_session_new(&fuseArgs, &operations, sizeof(operations), &served);
  if (session == nullptr) {
    log.Stop();
    return Fail(context, "mount: cannot start the file system: " + log.text());
  }
  if (fuse_set_signal_handlers(session) != 0) {
    fuse_session_destroy(session);
    log.Stop();
    return Fail(context, "mount: cannot install the signal handlers: " + log.text());
  }
  if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session);
    fuse_session_destroy(session);
    log.Stop();
    return Fail(context, "mount: cannot mount " + DisplayPath(containerPath) + " on " + DisplayPath(mountPoint) +
                             (log.text().empty() ? "" : ": " + log.text()));
  }
  log.Stop();

  // The parent of a background server ends inside fuse_daemonize: what it
  // printed must be out by then, and nothing may be printed twice.
  context.out.flush();
  context.err.flush();
  std::fflush(nullptr);
  fuse_daemonize(foreground ? 1 : 0);

  struct fuse_loop_config loop {};
  loop.clone_fd = 0;
  loop.max_idle_threads = 10;
  const int loopResult = fuse_session_loop_mt(session, &loop);
  fuse_session_unmount(session);
  fuse_remove_signal_handlers(session);
  fuse_session_destroy(session);
  // Ctrl-C and SIGTERM end the loop with the signal's number: a clean end.
  if (loopResult < 0) {
    return Fail(context, "mount: serving " + DisplayPath(mountPoint) + " failed: " + std::strerror(-loopResult));
  }
  return kExitOk;
}

int RunUmount(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {}, &parsed, &error)) return UsageError(context, "umount", "umount: " + error);
  if (parsed.operands.size() != 1) return UsageError(context, "umount", "umount: expected MOUNTPOINT");
  const fs::path mountPoint = MountPointPath(parsed.operands[0]);
  // Only our own mounts: as root, a slip of the keyboard must not unmount
  // anything else.
  if (!IsOurMount(mountPoint)) {
    return Fail(context, "umount: " + DisplayPath(mountPoint) + " is not a folder mounted by qss mount");
  }
  context.out.flush();
  context.err.flush();
  const std::string point = mountPoint.string();
  std::vector<std::string> words = {"fusermount3", "-u", point};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, "fusermount3", nullptr, nullptr, argv.data(), environ);
  if (spawned == 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return kExitOk;
    return Fail(context, "umount: fusermount3 -u " + DisplayPath(mountPoint) + " failed");
  }
  // Without fusermount3 (it comes with the fuse3 package) root can still
  // unmount directly.
  if (spawned == ENOENT && ::geteuid() == 0) {
    if (::umount2(point.c_str(), 0) == 0) return kExitOk;
    return Fail(context, "umount: cannot unmount " + DisplayPath(mountPoint) + ": " + std::strerror(errno));
  }
  return Fail(context, std::string("umount: cannot run fusermount3: ") + std::strerror(spawned));
}

}  // namespace qss_tool

#else  // !QSS_HAVE_FUSE

namespace qss_tool {

namespace {
int NotAvailable(const Arguments& args, ToolContext& context, const char* command) {
  ParsedCommandLine parsed;
  std::string error;
  if (!ParseCommandLine(args, {{"foreground", false}, {"allow-other", false}}, &parsed, &error)) {
    return UsageError(context, command, std::string(command) + ": " + error);
  }
  return Fail(context, std::string(command) +
                           ": not available: this qss was built without FUSE 3, which mounting needs (Linux with "
                           "libfuse3)");
}
}  // namespace

int RunMount(const Arguments& args, ToolContext& context) { return NotAvailable(args, context, "mount"); }
int RunUmount(const Arguments& args, ToolContext& context) { return NotAvailable(args, context, "umount"); }

}  // namespace qss_tool

#endif  // QSS_HAVE_FUSE

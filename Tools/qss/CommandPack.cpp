// qss pack: a folder tree built into a new container.
//
// The folder is scanned completely before anything is written, so every
// name, link, size and permission problem is reported at once. Entries are
// created in UTF-16 name order, which makes the bytes depend on the input
// alone. The container is built beside its destination and moved over it
// only when it is complete, synced and checked (CContainerFileWriter): until
// then an older container of that name stays as it was.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "qss/AlignedBuffer.h"
#include "qss/CQssRef.h"
#include "CommandLine.h"
#include "Glob.h"
#include "Commands.h"
#include "ContainerAccess.h"
#include "ContainerRewrite.h"
#include "qss/CContainerFileWriter.h"
#include "qss/CRootStorage.h"
#include "qss/CStorage.h"
#include "qss/CStream.h"
#include "qss/CompressedImage.h"
#include "qss/NativeFile.h"
#include "qss/NativeFolder.h"
#include "ProgressBar.h"
#include "TextCodec.h"

using namespace qss;

namespace qss_tool {

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMinBlockSize = 128;
constexpr std::int64_t kMaxBlockSize = 1 << 24;
constexpr std::int32_t kMaxSegments = kMaxSegmentCount;
// The most bytes of a file one kernel copy into its stream moves: the
// progress bar moves on between them.
constexpr std::int64_t kKernelCopyPiece = 4 << 20;
constexpr std::int64_t kKernelCopyMinimumFile = 64 << 10;

struct PackNode {
  std::u16string name;
  fs::path path;
  // With --dereference, the file a symbolic link at path leads to; empty
  // when the bytes are read from path itself (most files: a second copy
  // of every path would cost a pack of many files megabytes).
  fs::path source;
  const fs::path& Source() const { return source.empty() ? path : source; }
  bool folder = false;
  bool nested = false;
  std::int64_t size = 0;     // as the scan measured it
  std::int64_t packed = 0;   // the bytes that went into the stream
  std::vector<PackNode> children;
};

struct PackOptions {
  std::int32_t blockSize = 4096;
  std::int32_t entryWidth = 4;
  bool compress = false;
  // Threads that read and compress files ahead of the writer (--compress);
  // 1 does it all on the writer's thread.
  std::int32_t threads = 0;  // 0: one per core
  std::int64_t segmentSize = kDefaultSegmentSize;
  std::set<std::string> nest;  // relative folder paths, NestKey form
  bool dereference = false;     // follow symbolic links
  bool skipSpecial = false;     // skip what cannot be a stream, with a warning
  PathFilter filter;            // --exclude
};

// A folder path relative to DIR as --nest compares it: normalised, '/'
// between components, UTF-8.
std::string NestKey(const fs::path& relative) {
  const std::u8string key = relative.lexically_normal().generic_u8string();
  return std::string(key.begin(), key.end());
}

// Why a file to pack cannot be opened for reading, from what stood at its
// path.
std::string SourceRefusal(native_file::FoundKind found, QssResult result) {
  switch (found) {
    case native_file::FoundKind::kLink:
      return "a symbolic link; not packed (copy its target instead)";
    case native_file::FoundKind::kFolder:
      return "a folder now stands where a file was found; not packed";
    case native_file::FoundKind::kSpecial:
      return "neither a file nor a folder; not packed";
    default:
      return "cannot be opened for reading: " + DescribeResult(result);
  }
}

// Opens a file to pack for reading, through the handle that the bytes then
// come from: a file swapped for a link or a FIFO after the scan is refused,
// never followed or waited for. False with the reason otherwise. *length,
// when given, receives the file's size at the open.
// folder, when given, is path's folder held open: the file is opened there
// by its name.
bool OpenSource(const fs::path& path, std::unique_ptr<NativeFile>* file, std::string* refusal,
                std::int64_t* length = nullptr, const NativeFolder* folder = nullptr) {
  native_file::FoundKind found = native_file::FoundKind::kUnknown;
  const QssResult result = folder != nullptr ? folder->OpenForReadingNoFollow(path.filename(), file, &found, length)
                                             : NativeFile::OpenForReadingNoFollow(path, file, &found, length);
  if (QssSucceeded(result)) return true;
  *refusal = SourceRefusal(found, result);
  return false;
}

// What looking at a file as the builder will open it found.
struct Probe {
  bool done = false;
  QssResult result = kQssOk;
  native_file::FoundKind found = native_file::FoundKind::kUnknown;
  std::int64_t size = 0;
};

class Scanner {
 public:
  Scanner(const PackOptions& options, std::int32_t threads, std::vector<std::string>* errors, ToolContext& context)
      : options_(options), threads_(threads), errors_(errors), context_(context) {}

  void ScanFolder(const fs::path& folder, const fs::path& relative, PackNode* node, int depth) {
    // A folder becomes a storage the tools open only above the depth limit.
    if (depth >= kMaxTreeDepth) {
      errors_->push_back(DisplayPath(folder) + ": folders nest more than " + std::to_string(kMaxTreeDepth) +
                         " levels deep, deeper than qss reads");
      return;
    }
    // With --dereference a link can lead back to a folder above it; the
    // folders on the way down, by identity, find that.
    std::error_code ec;
    const fs::path identity = fs::canonical(folder, ec);
    for (const auto& [above, where] : ancestors_) {
      if (!ec && above == identity) {
        errors_->push_back(DisplayPath(folder) + ": a symbolic link loop: it leads back to " + DisplayPath(where));
        return;
      }
    }
    ancestors_.emplace_back(ec ? fs::path() : identity, folder);
    fs::directory_iterator it(folder, ec);
    if (ec) {
      errors_->push_back("cannot read folder " + DisplayPath(folder) + ": " + ec.message());
      ancestors_.pop_back();
      return;
    }
    // In name order, so that messages (the first special file above all)
    // do not depend on the order the system lists a folder in.
    std::vector<fs::directory_entry> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) entries.push_back(*it);
    if (ec) errors_->push_back("cannot read folder " + DisplayPath(folder) + ": " + ec.message());
    // One folder's paths differ only in their last names; comparing them as
    // strings orders them alike, without splitting each into its parts.
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
      return a.path().native() < b.path().native();
    });
    // Its files are looked at by name in the folder held open; where it
    // cannot be held, by their paths.
    std::unique_ptr<NativeFolder> opened;
    static_cast<void>(NativeFolder::Open(folder, &opened));
    const std::vector<Probe> probes = ProbeFiles(entries, opened.get());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      ScanEntry(entries[i], relative, node, depth, i < probes.size() ? probes[i] : Probe{}, opened.get());
    }
    ancestors_.pop_back();
    // The entries were in order of their native names, which is the order
    // of the names' code points: only names beyond U+FFFF (UTF-16's
    // surrogates sort below U+E000) can leave the children out of order.
    // Sorting nodes in order anyway would move each of them many times.
    const auto byName = [](const PackNode& a, const PackNode& b) { return a.name < b.name; };
    if (!std::is_sorted(node->children.begin(), node->children.end(), byName)) {
      std::sort(node->children.begin(), node->children.end(), byName);
    }
  }

  // Reports the first entry that cannot be a stream, with the way past it;
  // called once the scan is done.
  void ReportSpecial() {
    if (firstSpecial_.empty()) return;
    std::string message = firstSpecial_;
    if (specialCount_ > 1) message += " (and " + std::to_string(specialCount_ - 1) + " more such entries)";
    errors_->push_back(message);
  }

  std::set<std::string> nestedFound;
  std::int64_t totalBytes = 0;

 private:
  // Something that cannot be a stream: skipped with a warning under
  // --skip-special, otherwise an error.
  void Special(const fs::path& path, const std::string& what, const std::string& way) {
    if (options_.skipSpecial) {
      Note(context_, "pack: " + DisplayPath(path) + ": " + what + "; skipped");
      return;
    }
    if (++specialCount_ == 1) {
      firstSpecial_ = DisplayPath(path) + ": " + what + "; not packed (" + way + ")";
    }
  }

  // The files of a large folder, as its listing names them, looked at on
  // several threads at once; the scan then goes through the folder in order
  // as before, so that its messages come in the same order. A folder of a
  // few files is not worth the threads.
  std::vector<Probe> ProbeFiles(const std::vector<fs::directory_entry>& entries, const NativeFolder* folder) const {
    constexpr std::size_t kFilesWorthThreads = 64;
    std::vector<Probe> probes;
    if (threads_ <= 1 || entries.size() < kFilesWorthThreads) return probes;
    probes.resize(entries.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      for (std::size_t i = next++; i < entries.size(); i = next++) {
        if (TypeSeenInListing(entries[i]).type() != fs::file_type::regular) continue;
        Probe& probe = probes[i];
        probe.result = ProbeFile(entries[i].path(), folder, &probe);
        probe.done = true;
      }
    };
    std::vector<std::thread> helpers;
    for (std::int32_t i = 1; i < threads_; ++i) helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    return probes;
  }

  // What NativeFile::ProbeForReading says of the file at path, asked in
  // folder (path's folder held open) where there is one.
  static QssResult ProbeFile(const fs::path& path, const NativeFolder* folder, Probe* probe) {
    return folder != nullptr ? folder->ProbeForReading(path.filename(), &probe->found, &probe->size)
                             : NativeFile::ProbeForReading(path, &probe->found, &probe->size);
  }

  // folderRelative: the path of the entry's folder below DIR; probe: what
  // ProbeFiles found, when it looked; folder: the entry's folder held open,
  // or null.
  void ScanEntry(const fs::directory_entry& entry, const fs::path& folderRelative, PackNode* parent, int depth,
                 Probe probe, const NativeFolder* folder) {
    const fs::path& path = entry.path();
    const auto relative = [&] { return folderRelative / path.filename(); };
    PackNode child;
    child.path = path;
    if (!EntryNameFromFileName(path.filename(), &child.name)) {
      errors_->push_back(DisplayPath(path) + ": the file name is not valid UTF-8");
      return;
    }
    if (!options_.filter.empty()) {
      const std::u8string generic = relative().generic_u8string();
      std::u16string relativeName;
      if (Utf8ToUtf16(std::string(generic.begin(), generic.end()), &relativeName) &&
          options_.filter.Excluded(relativeName, child.name)) {
        return;
      }
    }
    if (child.name.find(u'\\') != std::u16string::npos) {
      // Paths inside a container are separated by backslashes (the
      // installer's too), so such an entry could never be reached.
      errors_->push_back(DisplayPath(path) + ": the name contains '\\', which separates entry names in paths");
      return;
    }
    if (child.name.size() >= static_cast<std::size_t>(kEntryNameUnits)) {
      errors_->push_back(DisplayPath(path) + ": the name has " + std::to_string(child.name.size()) +
                         " UTF-16 units; at most 31 fit in an entry");
      return;
    }
    std::error_code ec;
    fs::file_status status = TypeSeenInListing(entry);
    if (status.type() == fs::file_type::none) status = fs::symlink_status(path, ec);
    if (ec) {
      errors_->push_back(DisplayPath(path) + ": " + ec.message());
      return;
    }
    if (fs::is_symlink(status)) {
      if (!options_.dereference) {
        Special(path, "a symbolic link", "--dereference follows it, --skip-special skips it");
        return;
      }
      status = fs::status(path, ec);
      if (ec) {
        // A link to itself or round a circle of links cannot be resolved.
        const bool loop = ec == std::errc::too_many_symbolic_link_levels;
        errors_->push_back(DisplayPath(path) + ": " +
                           (loop ? std::string("a symbolic link loop") : "the symbolic link leads nowhere: " + ec.message()));
        return;
      }
      if (!fs::is_directory(status)) child.source = fs::canonical(path, ec);
      if (ec) {
        errors_->push_back(DisplayPath(path) + ": the symbolic link cannot be followed: " + ec.message());
        return;
      }
    }
    if (fs::is_directory(status)) {
      child.folder = true;
      const fs::path below = relative();
      const std::string key = NestKey(below);
      if (options_.nest.count(key) != 0) {
        child.nested = true;
        nestedFound.insert(key);
      }
      ScanFolder(path, below, &child, depth + 1);
    } else if (fs::is_regular_file(status)) {
      // Looked at as the builder will open it, so that a file that cannot
      // be read is reported now, before anything is written; opened only
      // once, by the builder.
      // A link followed is looked at where it leads.
      if (!probe.done || !child.source.empty()) {
        probe.result = ProbeFile(child.Source(), child.source.empty() ? folder : nullptr, &probe);
      }
      child.size = probe.size;
      if (QssFailed(probe.result)) {
        errors_->push_back(DisplayPath(path) + ": " + SourceRefusal(probe.found, probe.result));
        return;
      }
      if (options_.compress && child.size > kMaxCompressibleSize) {
        errors_->push_back(DisplayPath(path) + ": " + std::to_string(child.size) +
                           " bytes are more than a compressed stream can hold (2113929216)");
        return;
      }
      totalBytes += child.size;
    } else {
      Special(path, SpecialKind(status), "--skip-special skips it");
      return;
    }
    parent->children.push_back(std::move(child));
  }

  // A file or folder as the folder's listing already told it (most systems
  // do), which spares a query per file; file_type::none when the listing
  // did not say or said something else, to be asked of the system.
  static fs::file_status TypeSeenInListing(const fs::directory_entry& entry) {
    std::error_code ec;
    // Neither call asks the system when the listing named the type.
    if (entry.is_symlink(ec) || ec) return fs::file_status(fs::file_type::none);
    if (entry.is_directory(ec) && !ec) return fs::file_status(fs::file_type::directory);
    if (entry.is_regular_file(ec) && !ec) return fs::file_status(fs::file_type::regular);
    return fs::file_status(fs::file_type::none);
  }

  static std::string SpecialKind(const fs::file_status& status) {
    switch (status.type()) {
      case fs::file_type::fifo: return "a FIFO";
      case fs::file_type::socket: return "a socket";
      case fs::file_type::block:
      case fs::file_type::character: return "a device";
      default: return "neither a file nor a folder";
    }
  }

  const PackOptions& options_;
  const std::int32_t threads_;
  std::vector<std::string>* errors_;
  ToolContext& context_;
  // The folders being scanned, outermost first: (canonical path, path).
  std::vector<std::pair<fs::path, fs::path>> ancestors_;
  std::string firstSpecial_;
  std::int64_t specialCount_ = 0;
};

struct PackFailure {
  std::string message;
  bool hasResult = false;
  QssResult result = kQssOk;
  std::string where = {};  // the file or folder it concerns, when there is one

  // "<path>: <what>" with the result, about path. Named only when something
  // fails: many small files would pay for it on every store.
  static PackFailure About(const fs::path& path, const std::string& what, QssResult result) {
    const std::string where = DisplayPath(path);
    return {where + ": " + what, true, result, where};
  }
};

// A file read (and compressed, for a compressed pack) ahead of the writer.
struct PreparedFile {
  AlignedBuffer content;
  CompressedImage image;
  std::optional<PackFailure> failure;
  // A plain pack's small file that had grown past a small file's size by
  // the time it was opened: not read here, the writer stores it in pieces.
  bool grown = false;
};

// Reads the files the writer is about to store, in the order it stores
// them, on worker threads, while the writer stores the earlier ones: the
// files a compressed pack compresses, or a plain pack's small files, whose
// opens and reads would otherwise cost the writer as much as storing them.
// The container gets the same bytes in the same order as from one thread.
// Bytes in flight (read, not yet stored) stay under a budget, except that
// one file is always let through whatever its size.
class ReadAheadPipeline {
 public:
  // Compressed files take long enough each for a deep queue to pay; small
  // plain files need only enough ahead to keep the writer busy.
  static constexpr std::int64_t kCompressedBytesInFlight = 32 << 20;
  static constexpr std::int64_t kPlainBytesInFlight = 4 << 20;

  // A file to read and the folder node it lies in.
  struct File {
    PackNode* node;
    const PackNode* folder;
  };

  ReadAheadPipeline(std::vector<File> files, std::int32_t threads, bool compress)
      : files_(std::move(files)),
        compress_(compress),
        budget_(compress ? kCompressedBytesInFlight : kPlainBytesInFlight),
        filesPerTurn_(compress ? 1 : 16) {
    results_.resize(files_.size());
    // With one thread the writer prepares each file itself when it gets there.
    const std::size_t workers = threads > 1 ? static_cast<std::size_t>(threads) : 0;
    for (std::size_t i = 0; i < workers && i < files_.size(); ++i) workers_.emplace_back([this] { Work(); });
  }
  ~ReadAheadPipeline() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
    }
    room_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }
  ReadAheadPipeline(const ReadAheadPipeline&) = delete;
  ReadAheadPipeline& operator=(const ReadAheadPipeline&) = delete;

  // Hands a prepared file back to the pipeline once the writer is done with
  // it: a small file's buffer then serves another file instead of going
  // back to the heap (an aligned allocation and its release cost a small
  // file as much as its read).
  struct GiveBack {
    ReadAheadPipeline* pipeline;
    void operator()(PreparedFile* used) const { pipeline->Recycle(std::unique_ptr<PreparedFile>(used)); }
  };
  using TakenFile = std::unique_ptr<PreparedFile, GiveBack>;

  // The next file in order, waiting for its preparation; its bytes leave
  // the budget when the result is dropped.
  TakenFile Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::size_t index = taken_++;
    if (workers_.empty()) {
      lock.unlock();
      return TakenFile(Prepare(files_[index], compress_, &writerFolder_, &writerSpares_).release(), GiveBack{this});
    }
    if (results_[index] == nullptr) {
      // Workers held back by the budget must go on, or nothing comes.
      if (workersWaiting_ > 0) room_.notify_all();
      writerWaitsFor_ = index;
      ready_.wait(lock, [&] { return results_[index] != nullptr; });
      writerWaitsFor_ = kNobody;
    }
    TakenFile result(results_[index].release(), GiveBack{this});
    inFlight_ -= files_[index].node->size;
    // Woken once half the budget is free, not for every file taken: a pack
    // of many small files would otherwise wake a worker per file.
    const bool wake = workersWaiting_ > 0 && inFlight_ <= budget_ / 2;
    lock.unlock();
    if (wake) room_.notify_all();
    return result;
  }

 private:
  // The folder a thread last opened files in, held open while the files it
  // takes up lie there (files come folder by folder).
  struct HeldFolder {
    const PackNode* node = nullptr;
    std::unique_ptr<NativeFolder> handle;

    // The folder of entry held open, or null where it cannot be: the file
    // is then opened by its path.
    const NativeFolder* For(const File& entry) {
      if (!entry.node->source.empty()) return nullptr;  // a link followed: opened where it leads
      if (entry.folder != node) {
        node = entry.folder;
        static_cast<void>(NativeFolder::Open(node->path, &handle));  // empty when it fails
      }
      return handle.get();
    }
  };

  // spares: prepared files handed back, to be used again.
  static std::unique_ptr<PreparedFile> Prepare(const File& entry, bool compress, HeldFolder* folder,
                                               std::vector<std::unique_ptr<PreparedFile>>* spares) {
    const PackNode& file = *entry.node;
    std::unique_ptr<PreparedFile> prepared;
    if (spares->empty()) {
      prepared = std::make_unique<PreparedFile>();
    } else {
      prepared = std::move(spares->back());
      spares->pop_back();
    }
    const auto where = [&file] { return DisplayPath(file.path); };
    std::unique_ptr<NativeFile> source;
    std::string refusal;
    std::int64_t opened = 0;
    if (!OpenSource(file.Source(), &source, &refusal, &opened, folder->For(entry))) {
      prepared->failure = PackFailure{where() + ": " + refusal};
      return prepared;
    }
    if (!compress) {
      if (opened >= kKernelCopyMinimumFile) {
        prepared->grown = true;
      } else {
        ReadAsOpened(source.get(), opened, file.path, prepared.get());
      }
      return prepared;
    }
    // The measured size, and one byte more to see whether the file grew.
    const std::int64_t want = std::min<std::int64_t>(file.size, kMaxCompressibleSize) + 1;
    prepared->content.Resize(static_cast<std::size_t>(want));
    std::int64_t offset = 0;
    for (;;) {
      if (offset == static_cast<std::int64_t>(prepared->content.size())) {
        // Grown past its measured size: read on in pieces.
        if (offset > kMaxCompressibleSize) {
          prepared->failure = PackFailure{where() + ": the file grew past what a compressed stream can hold"};
          return prepared;
        }
        prepared->content.Resize(std::min<std::size_t>(prepared->content.size() * 2,
                                                       static_cast<std::size_t>(kMaxCompressibleSize) + 1));
      }
      const auto room = static_cast<std::uint32_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(prepared->content.size()) - offset, 1 << 30));
      std::uint32_t got = 0;
      const QssResult result = source->ReadAt(offset, prepared->content.data() + offset, room, &got);
      if (QssFailed(result)) {
        prepared->failure = PackFailure::About(file.path, "cannot read the file", result);
        return prepared;
      }
      if (got == 0) break;
      offset += got;
    }
    prepared->content.Resize(static_cast<std::size_t>(offset));
    const QssResult compressed =
        CompressContent(prepared->content.data(), static_cast<std::int32_t>(offset), &prepared->image);
    if (QssFailed(compressed)) {
      prepared->failure = PackFailure::About(file.path, "storing the compressed stream failed", compressed);
    }
    return prepared;
  }

  // A plain pack stores the file as long as it was when opened, as the
  // writer's own reads do: what it grew by later is not waited for, and a
  // file that shrank keeps what was there.
  static void ReadAsOpened(NativeFile* source, std::int64_t opened, const fs::path& path, PreparedFile* prepared) {
    prepared->content.Resize(static_cast<std::size_t>(opened));
    std::int64_t offset = 0;
    while (offset < opened) {
      std::uint32_t got = 0;
      const QssResult result = source->ReadAt(offset, prepared->content.data() + offset,
                                              static_cast<std::uint32_t>(opened - offset), &got);
      if (QssFailed(result)) {
        prepared->failure = PackFailure::About(path, "cannot read the file", result);
        return;
      }
      if (got == 0) break;
      offset += got;
    }
    prepared->content.Resize(static_cast<std::size_t>(offset));
  }

  // Keeps a prepared file for another file, cleared of what it held. The
  // spares' buffers together stay within the budget, so that files in
  // flight and spares hold at most twice the budget; a larger buffer is
  // freed. A buffer used again has its pages already: a fresh one of a few
  // megabytes costs the kernel more to hand out (clearing every page) than
  // the file costs to read. Called from a deleter, so it never throws: a
  // spare that cannot be kept is freed.
  void Recycle(std::unique_ptr<PreparedFile> used) noexcept {
    used->content.Resize(0);
    used->image = CompressedImage{};
    used->failure.reset();
    used->grown = false;
    const std::size_t bytes = used->content.capacity();
    if (bytes > static_cast<std::size_t>(budget_)) return;
    try {
      if (workers_.empty()) {
        if (writerSpares_.empty()) writerSpares_.push_back(std::move(used));  // the writer needs one at a time
        return;
      }
      std::lock_guard<std::mutex> guard(mutex_);
      if (spareBytes_ + bytes > static_cast<std::size_t>(budget_)) return;
      spare_.push_back(std::move(used));
      spareBytes_ += bytes;
    } catch (...) {
    }
  }

  bool HasRoom() const {
    return inFlight_ == 0 || inFlight_ + files_[next_].node->size <= budget_;
  }

  // Takes up a few small files at a time (fewer trips through the lock),
  // each handed to the writer as soon as it is ready. Files to compress go
  // one at a time: the writer waits for them in order, so a run of them on
  // one thread would hold it to that thread's pace.
  void Work() {
    HeldFolder folder;
    std::vector<std::unique_ptr<PreparedFile>> spares;
    for (;;) {
      std::size_t first = 0;
      std::size_t end = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ++workersWaiting_;
        room_.wait(lock, [&] { return stopping_ || next_ >= files_.size() || HasRoom(); });
        --workersWaiting_;
        if (stopping_ || next_ >= files_.size()) return;
        first = next_;
        do {
          inFlight_ += files_[next_++].node->size;
        } while (next_ < files_.size() && next_ - first < filesPerTurn_ && HasRoom());
        end = next_;
        while (spares.size() < end - first && !spare_.empty()) {
          spareBytes_ -= spare_.back()->content.capacity();
          spares.push_back(std::move(spare_.back()));
          spare_.pop_back();
        }
      }
      for (std::size_t index = first; index < end; ++index) {
        std::unique_ptr<PreparedFile> prepared = Prepare(files_[index], compress_, &folder, &spares);
        bool wake = false;
        {
          std::lock_guard<std::mutex> guard(mutex_);
          results_[index] = std::move(prepared);
          wake = writerWaitsFor_ == index;
        }
        if (wake) ready_.notify_one();
      }
    }
  }

  static constexpr std::size_t kNobody = static_cast<std::size_t>(-1);

  std::vector<File> files_;
  const bool compress_;
  const std::int64_t budget_;
  const std::size_t filesPerTurn_;
  std::vector<std::unique_ptr<PreparedFile>> results_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable ready_;  // the writer waits for its next file
  std::condition_variable room_;   // workers wait for room in the budget
  std::size_t next_ = 0;   // the next file a worker takes up
  std::size_t taken_ = 0;  // the next file the writer takes
  std::size_t writerWaitsFor_ = kNobody;
  // The writer's, when it prepares the files itself.
  HeldFolder writerFolder_;
  std::vector<std::unique_ptr<PreparedFile>> writerSpares_;
  // Prepared files handed back, for the workers to use again, and the
  // bytes of their buffers.
  std::vector<std::unique_ptr<PreparedFile>> spare_;
  std::size_t spareBytes_ = 0;
  std::size_t workersWaiting_ = 0;
  std::int64_t inFlight_ = 0;
  bool stopping_ = false;
};

// Whether the builder takes a file from the pipeline: every file of a
// compressed pack; of a plain one the files too small for a copy inside
// the kernel.
bool ReadAhead(const PackNode& file, bool compress) { return compress || file.size < kKernelCopyMinimumFile; }

// The files of tree that the pipeline reads, in the order the builder meets them.
void ListFiles(PackNode& node, bool compress, std::vector<ReadAheadPipeline::File>* files) {
  for (PackNode& child : node.children) {
    if (child.folder) {
      ListFiles(child, compress, files);
    } else if (ReadAhead(child, compress)) {
      files->push_back({&child, &node});
    }
  }
}

class Builder {
 public:
  Builder(const PackOptions& options, ProgressBar& progress, ReadAheadPipeline* pipeline)
      : options_(options), progress_(progress), pipeline_(pipeline) {}

  bool PackChildren(CStorage* storage, PackNode& node, PackFailure* failure) {
    for (PackNode& child : node.children) {
      if (!PackChild(storage, child, failure)) return false;
    }
    return true;
  }

 private:
  bool PackChild(CStorage* storage, PackNode& child, PackFailure* failure) {
    if (child.nested) {
      CRootStorage* created = nullptr;
      const QssResult result =
          storage->CreateNestedContainer(child.name.c_str(), options_.entryWidth, options_.blockSize, &created);
      if (QssFailed(result) || created == nullptr) {
        *failure = PackFailure::About(child.path, "cannot create the nested container", result);
        return false;
      }
      CQssRef<CRootStorage> nested = CQssRef<CRootStorage>::Attach(created);
      return PackChildren(nested.get(), child, failure);
    }
    if (child.folder) {
      CStorage* created = nullptr;
      const QssResult result = storage->CreateStorage(child.name.c_str(), &created);
      if (QssFailed(result) || created == nullptr) {
        *failure = PackFailure::About(child.path, "cannot create the storage", result);
        return false;
      }
      CQssRef<CStorage> sub = CQssRef<CStorage>::Attach(created);
      return PackChildren(sub.get(), child, failure);
    }
    CStream* created = nullptr;
    const QssResult result = storage->CreateStream(child.name.c_str(), options_.compress, &created);
    if (QssFailed(result) || created == nullptr) {
      *failure = PackFailure::About(child.path, "cannot create the stream", result);
      return false;
    }
    CQssRef<CStream> stream = CQssRef<CStream>::Attach(created);
    if (options_.compress) return WriteWhole(stream.get(), child, failure);
    return ReadAhead(child, false) ? WriteReadAhead(stream.get(), child, failure)
                                   : WriteInPieces(stream.get(), child, failure);
  }

  // Reads the next piece of file at *offset; false with a failure set when
  // the read fails.
  static bool ReadPiece(NativeFile* file, const fs::path& path, std::int64_t* offset, char* buffer,
                        std::uint32_t size, std::uint32_t* got, PackFailure* failure) {
    const QssResult result = file->ReadAt(*offset, buffer, size, got);
    if (QssFailed(result)) {
      *failure = PackFailure::About(path, "cannot read the file", result);
      return false;
    }
    *offset += *got;
    return true;
  }

  // A compressed stream is stored by its first write, so the whole content
  // goes in one write, read and compressed ahead by the pipeline.
  bool WriteWhole(CStream* stream, PackNode& file, PackFailure* failure) {
    const ReadAheadPipeline::TakenFile prepared = pipeline_->Take();
    if (prepared->failure) {
      *failure = *prepared->failure;
      return false;
    }
    const auto length = static_cast<std::int32_t>(prepared->content.size());
    file.packed = length;
    if (length == 0) return true;
    std::uint32_t written = 0;
    const QssResult result =
        WriteCompressedImage(stream, prepared->content.data(), length, prepared->image, &written);
    if (result != kQssOk || written != static_cast<std::uint32_t>(length)) {
      *failure = PackFailure::About(file.path, "storing the compressed stream failed", result);
      return false;
    }
    progress_.Advance(length);
    return true;
  }

  // A small file of a plain pack, read ahead: sized first as measured, as
  // WriteInPieces does, so that the blocks are the same for every number
  // of threads.
  bool WriteReadAhead(CStream* stream, PackNode& file, PackFailure* failure) {
    const ReadAheadPipeline::TakenFile prepared = pipeline_->Take();
    if (prepared->failure) {
      *failure = *prepared->failure;
      return false;
    }
    if (prepared->grown) return WriteInPieces(stream, file, failure);
    const auto length = static_cast<std::int64_t>(prepared->content.size());
    QssResult result = file.size > 0 ? stream->SetSize(file.size) : kQssOk;
    std::uint32_t written = 0;
    if (QssSucceeded(result) && length > 0) {
      result = stream->Write(prepared->content.data(), static_cast<std::int32_t>(length), &written);
      if (QssSucceeded(result) && written != static_cast<std::uint32_t>(length)) result = kQssWriteFault;
    }
    // A file that shrank since it was measured keeps only what was read.
    if (QssSucceeded(result) && length < file.size) result = stream->SetSize(length);
    if (QssFailed(result)) {
      *failure = PackFailure::About(file.path, "writing the stream failed", result);
      return false;
    }
    progress_.Advance(length);
    file.packed = length;
    return true;
  }

  bool WriteInPieces(CStream* stream, PackNode& file, PackFailure* failure) {
    const auto where = [&file] { return DisplayPath(file.path); };
    std::unique_ptr<NativeFile> source;
    std::string refusal;
    std::int64_t opened = 0;  // the file's length when opened: what is packed
    if (!OpenSource(file.Source(), &source, &refusal, &opened)) {
      *failure = {where() + ": " + refusal};
      return false;
    }
    // Giving the stream its length first allocates all its blocks in one
    // step, so they follow each other; written piece by piece, the growing
    // table would put a table block between every few MiB of the stream.
    if (file.size > 0) {
      const QssResult result = stream->SetSize(file.size);
      if (QssFailed(result)) {
        *failure = PackFailure::About(file.path, "writing the stream failed", result);
        return false;
      }
    }
    std::int64_t total = 0;
    // Up to the measured size the bytes move from the file into the stream
    // inside the kernel where the system can: one copy instead of a read and
    // a write. What it refuses, and whatever the file grew by between the
    // scan and the open, goes through the buffer below, and so do small
    // files, for which a read and a write cost less. The file's length at
    // the open ends it: a read to find the end would cost every small file
    // one more system call, and a file that grows while it is read grows
    // past any end chosen.
    FileCopyState copy;
    copy.kernelRefused = file.size < kKernelCopyMinimumFile;
    while (total < file.size && !copy.kernelRefused) {
      const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(file.size - total, kKernelCopyPiece));
      std::uint32_t moved = 0;
      const QssResult result = stream->WriteFromFile(want, source->Handle(), total, &copy, &moved);
      total += moved;
      progress_.Advance(moved);
      if (QssFailed(result)) {
        *failure = PackFailure::About(file.path, "copying the file into the stream failed", result);
        return false;
      }
      if (!copy.kernelRefused && moved < static_cast<std::uint32_t>(want)) break;  // the file ended early
    }
    // One buffer for every file: a fresh megabyte for each of many small
    // files costs more than copying them.
    if (piece_.empty()) piece_.Resize(1 << 20);
    AlignedBuffer& piece = piece_;
    while (total < opened) {
      const auto want = static_cast<std::uint32_t>(std::min<std::int64_t>(opened - total, piece.size()));
      std::uint32_t got = 0;
      if (!ReadPiece(source.get(), file.path, &total, piece.data(), want, &got, failure)) return false;
      if (got == 0) break;
      std::uint32_t written = 0;
      const QssResult result = stream->Write(piece.data(), static_cast<std::int32_t>(got), &written);
      if (QssFailed(result) || written != got) {
        *failure = PackFailure::About(file.path, "writing the stream failed", result);
        return false;
      }
      progress_.Advance(got);
      if (got < want) break;  // it shrank since the open
    }
    file.packed = total;
    // A file that shrank since it was measured keeps only what was read.
    if (total < file.size) {
      const QssResult result = stream->SetSize(total);
      if (QssFailed(result)) {
        *failure = PackFailure::About(file.path, "writing the stream failed", result);
        return false;
      }
    }
    return true;
  }

  const PackOptions& options_;
  ProgressBar& progress_;
  ReadAheadPipeline* pipeline_;
  AlignedBuffer piece_;
};

bool ParsePackOptions(const ParsedCommandLine& parsed, PackOptions* options, std::string* error) {
  std::int64_t value = 0;
  if (parsed.Has("block-size")) {
    const std::string& text = parsed.options.at("block-size").back();
    if (!ParseInteger(text, kMinBlockSize, kMaxBlockSize, &value) || (value & (value - 1)) != 0) {
      *error = "--block-size must be a power of two from 128 to 16777216, not '" + text + "'";
      return false;
    }
    options->blockSize = static_cast<std::int32_t>(value);
  }
  if (parsed.Has("entry-width")) {
    const std::string& text = parsed.options.at("entry-width").back();
    if (!ParseInteger(text, 2, 8, &value) || (value != 2 && value != 4 && value != 8)) {
      *error = "--entry-width must be 2, 4 or 8, not '" + text + "'";
      return false;
    }
    options->entryWidth = static_cast<std::int32_t>(value);
  }
  if (parsed.Has("segment-size")) {
    const std::string& text = parsed.options.at("segment-size").back();
    if (!ParseInteger(text, 1, INT64_MAX, &value)) {
      *error = "--segment-size must be a positive number of bytes, not '" + text + "'";
      return false;
    }
    options->segmentSize = value;
  }
  options->compress = parsed.Has("compress");
  options->dereference = parsed.Has("dereference");
  options->skipSpecial = parsed.Has("skip-special");
  if (parsed.Has("exclude")) {
    for (const std::string& pattern : parsed.options.at("exclude")) {
      if (!options->filter.Add(pattern, false, error)) return false;
    }
  }
  if (parsed.Has("threads")) {
    const std::string& text = parsed.options.at("threads").back();
    if (!ParseInteger(text, 1, 256, &value)) {
      *error = "--threads must be a number from 1 to 256, not '" + text + "'";
      return false;
    }
    options->threads = static_cast<std::int32_t>(value);
  }
  if (parsed.Has("nest")) {
    for (const std::string& text : parsed.options.at("nest")) {
      const fs::path relative = PathFromArgument(text).lexically_normal();
      const std::string key = NestKey(relative);
      const bool escapes = !relative.empty() && *relative.begin() == "..";
      if (text.empty() || relative.is_absolute() || key == "." || key.empty() || escapes) {
        *error = "--nest needs a folder inside DIR, given relative to it, not '" + text + "'";
        return false;
      }
      // "a/b/" normalises to "a/b/"; drop the trailing separator.
      options->nest.insert(key.back() == '/' ? key.substr(0, key.size() - 1) : key);
    }
  }
  return true;
}

// True when path lies inside folder (or is it).
bool IsInside(const fs::path& path, const fs::path& folder) {
  std::error_code ec;
  const fs::path canonicalPath = fs::weakly_canonical(fs::absolute(path, ec), ec);
  const fs::path canonicalFolder = fs::weakly_canonical(fs::absolute(folder, ec), ec);
  auto p = canonicalPath.begin();
  for (auto f = canonicalFolder.begin(); f != canonicalFolder.end(); ++f, ++p) {
    if (f->empty()) continue;  // a trailing separator
    if (p == canonicalPath.end() || *p != *f) return false;
  }
  return true;
}

// Compares the container's directories with the tree that was packed into
// them: every entry there, of its kind, each stream of the size written,
// and nothing else. A consistent container can still lack what a failed
// directory save never wrote (an empty root passes every structural check).
void VerifyPacked(CStorage* storage, const PackNode& node, std::int64_t containerBytes,
                  std::vector<std::string>* problems) {
  const std::string where = DisplayPath(node.path);
  if (storage->EntryCount() == 0 && !node.children.empty()) {
    problems->push_back(where + ": none of its " + std::to_string(node.children.size()) + " entries was stored");
    return;
  }
  if (storage->EntryCount() != static_cast<std::int32_t>(node.children.size())) {
    problems->push_back(where + ": " + std::to_string(storage->EntryCount()) + " entries stored of " +
                        std::to_string(node.children.size()));
  }
  // While every entry so far carries its child's name, the next child's
  // entry is the next entry when the names agree: no other entry before it
  // can have that name. Past the first difference each name is looked up.
  bool inStep = true;
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    const PackNode& child = node.children[i];
    const auto childWhere = [&child] { return DisplayPath(child.path); };
    // The name came from a file name, which holds no NUL: it is asked as it
    // stands, without a copy.
    const CStorageEntry* entry = nullptr;
    if (inStep && i < static_cast<std::size_t>(storage->EntryCount())) {
      const CStorageEntry* next = storage->EntryAt(static_cast<std::int32_t>(i));
      if (next != nullptr && next->NameEquals(child.name.c_str())) entry = next;
    }
    if (entry == nullptr) {
      inStep = false;
      entry = storage->FindFirstEntry(child.name.c_str());
    }
    if (entry == nullptr) {
      problems->push_back(childWhere() + ": no entry stored");
      continue;
    }
    const std::uint32_t storedKind = entry->Kind();
    const std::uint32_t kind = child.nested ? kKindNestedContainer : child.folder ? kEntryStorage : kEntryStream;
    if (storedKind != kind) {
      problems->push_back(childWhere() + ": stored as kind " + std::to_string(storedKind));
      continue;
    }
    if (!child.folder) {
      if (entry->Size() != child.packed) {
        problems->push_back(childWhere() + ": " + std::to_string(entry->Size()) + " bytes stored of " +
                            std::to_string(child.packed));
      }
      continue;
    }
    CQssRef<CStorage> sub;
    const QssResult result = OpenChildStorage(storage, child.name, containerBytes, &sub);
    if (QssFailed(result)) {
      problems->push_back(childWhere() + ": does not open: " + DescribeResult(result));
      continue;
    }
    VerifyPacked(sub.get(), child, containerBytes, problems);
  }
}

// A failure's message. A table that cannot grow is the entry width's
// limit, which the user can lift.
int ReportFailure(ToolContext& context, const PackOptions& options, const PackFailure& failure) {
  if (!failure.hasResult) return Fail(context, "pack: " + failure.message);
  if (failure.result == kQssTableCannotGrow) {
    const std::string where = failure.where.empty() ? "" : failure.where + ": ";
    std::string advice = "the container's allocation table cannot grow";
    if (options.entryWidth == 2) advice = "the container would need more than 32,767 blocks; use --entry-width 4";
    if (options.entryWidth == 4) {
      advice = "the container would need more than 2,147,483,647 blocks; use --entry-width 8";
    }
    return FailSaid(context, "pack: " + where + advice, failure.result);
  }
  if (native_file::IsTooManyOpenFiles(failure.result)) {
    return FailSaid(context, "pack: " + failure.message + ": too many files are open for the container's segment files; "
                "use a larger --segment-size", failure.result);
  }
  return Fail(context, "pack: " + failure.message, failure.result);
}

}  // namespace

int RunPack(const Arguments& args, ToolContext& context) {
  ParsedCommandLine parsed;
  std::string error;
  const std::vector<OptionDefinition> specs = {
      {"block-size", true},   {"entry-width", true},  {"compress", false},     {"nest", true},
      {"segment-size", true}, {"dereference", false}, {"skip-special", false}, {"exclude", true},
      {"threads", true}};
  if (!ParseCommandLine(args, specs, &parsed, &error)) return UsageError(context, "pack", "pack: " + error);
  if (parsed.operands.size() != 2) return UsageError(context, "pack", "pack: expected DIR CONTAINER");
  PackOptions options;
  if (!ParsePackOptions(parsed, &options, &error)) return UsageError(context, "pack", "pack: " + error);
  const fs::path folder = PathFromArgument(parsed.operands[0]);
  const fs::path base = PathFromArgument(parsed.operands[1]);

  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return Fail(context, "pack: " + DisplayPath(folder) + " is not a folder");
  if (IsInside(base, folder)) {
    return Fail(context, "pack: the container " + DisplayPath(base) + " would lie inside the folder being packed");
  }
  if (fs::is_directory(fs::symlink_status(base, ec))) {
    return Fail(context, "pack: " + DisplayPath(base) + " is a folder, not a container");
  }

  PackNode tree;
  tree.folder = true;
  tree.path = folder;
  std::vector<std::string> errors;
  const std::int32_t threads = options.threads > 0 ? options.threads : ThreadsPerCore();
  Scanner scanner(options, threads, &errors, context);
  scanner.ScanFolder(folder, fs::path(), &tree, 0);
  scanner.ReportSpecial();
  for (const std::string& nest : options.nest) {
    if (scanner.nestedFound.count(nest) == 0) errors.push_back("--nest " + nest + ": no such folder in DIR");
  }
  if (!errors.empty()) {
    for (const std::string& message : errors) Fail(context, "pack: " + message);
    return Fail(context, "pack: nothing written");
  }
  if (scanner.totalBytes / options.segmentSize >= kMaxSegments) {
    return Fail(context, "pack: --segment-size " + std::to_string(options.segmentSize) +
                             " would need more than 9999 segment files");
  }

  // Whatever fails from here on, an existing container stays as it was.
  const bool existed = fs::exists(fs::symlink_status(base, ec));
  const std::string unchanged =
      existed ? "pack: " + DisplayPath(base) + " is unchanged" : "pack: nothing written";
  CContainerFileWriter writer(base, options.segmentSize);
  InterruptGuard interrupts(context, "pack", writer, existed);
  QssResult result = writer.Start(options.entryWidth, options.blockSize);
  if (QssFailed(result)) {
    Fail(context, "pack: cannot create the new container " + DisplayPath(writer.temporaryPath()), result);
    return Fail(context, unchanged);
  }

  PackFailure failure;
  {
    ProgressBar progress(context.err, context.progress, "pack", scanner.totalBytes);
    std::vector<ReadAheadPipeline::File> files;
    ListFiles(tree, options.compress, &files);
    ReadAheadPipeline pipeline(std::move(files), threads, options.compress);
    Builder builder(options, progress, &pipeline);
    if (!builder.PackChildren(writer.root(), tree, &failure)) {
      progress.Finish();
      writer.Discard();
      ReportFailure(context, options, failure);
      return Fail(context, unchanged);
    }
  }
  result = writer.Seal();
  if (QssFailed(result)) {
    ReportFailure(context, options, {"cannot complete the new container", true, result});
    return Fail(context, unchanged);
  }

  // The check after the pack uses as many threads as the pack did.
  return CheckAndReplace(context, "pack", writer, interrupts, unchanged,
                         [&tree](CStorage* root, std::int64_t bytes, std::vector<std::string>* problems) {
                           VerifyPacked(root, tree, bytes, problems);
                         },
                         threads);
}

}  // namespace qss_tool

// ProductBench: the work the product exists for, each figure next to its
// physical anchor measured in the same run.
//
//   1. qss cat and qss unpack of a 1 GiB plain stream (4096-byte blocks,
//      sized first) to a file                              vs  cp of a 1 GiB file
//      (1a, 1r: the installer's method, 1 MiB pieces through Read, against a
//      plain read+write loop, and its read side alone against plain reads)
//   2. the same stream with its blocks in shuffled order    vs  the same cp
//   3. read a 256 MiB compressed stream in 1 MiB pieces     vs  one LZ4_decompress_safe
//   4. open a 10 GiB container (4 KiB blocks, sparse)       vs  its allocation table's size
//   5. look up 100 000 entries by name, directory and random order
//   6. qss pack of a 1 GiB tree of 256 files                vs  cp -r of the tree
//      (6u: qss unpack of it; 6m: the peak memory of both)
//   7. the installer's whole run on a 256 MiB service       vs  cp of 256 MiB
//   8. cat of a 1 GiB stream through qss mount              vs  qss cat of it
//   9. qss pack --compress of a 1 GiB compressible tree     vs  the same on one thread
//      (the two containers are compared byte for byte)
//  10. qss pack of 100 000 files of 1 to 4 KB               vs  tar cf of the tree
//  11. qss unpack of that container                         vs  tar xf of that archive
//
// Every measured case runs in a process of its own (this program, or cp, qss
// and the installer), so that peak memory (ru_maxrss from wait4) belongs to
// that case alone; each runs several times, ours and the anchor alternating,
// and the median counts. Sources are read once before every run so that
// they come from the page cache; outputs are deleted and synced between runs;
// 1.5 GiB of memory is touched and freed before every run, and one run of
// each case goes first uncounted, since a virtual machine that hands freed
// memory back to its host makes whoever uses it next wait for it.
//
// Usage: qss_product_bench [--dir D] [--runs N] [--scale K] [--only 1,2,...]
//   --scale K divides every size by K (a quick check of the program itself).
// Internal: qss_product_bench --case NAME ARGS... (one measured case).

#include <fcntl.h>
#include <lz4.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "qss/AlignedBuffer.h"
#include "qss/CQssRef.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/CRootStorage.h"
#include "qss/CStorageEntry.h"
#include "qss/CStream.h"
#include "qss/ContainerFile.h"
#include "qss/ContainerInfo.h"

using namespace qss;

namespace fs = std::filesystem;
using namespace bench;

namespace {

const std::vector<std::u16string> kServicePath = {u"Kivra7i", u"KivMod7Win.bin"};
const std::vector<std::u16string> kBigStreamPath = {u"big.bin"};
// Memory touched and freed before every measured run: more than the largest
// case writes.
constexpr std::int64_t kBackedMiB = 1536;

// A field of /proc/self/status in KiB. The peak (VmHWM) belongs to this
// program image alone; getrusage's maximum would also count the driver's
// pages that the child had before it called exec.
long StatusKiB(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  long value = 0;
  const std::size_t length = std::strlen(field);
  while (std::fgets(line, sizeof(line), status)) {
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') value = std::atol(line + length + 1);
  }
  std::fclose(status);
  return value;
}

// Every case ends by reporting its peak memory.
int Done() {
  std::printf("peak_kib=%ld\n", StatusKiB("VmHWM"));
  return 0;
}

// ---------------------------------------------------------------------------
// Cases, each run in a child process; they print key=value lines.

struct OpenedRoot {
  CQssRef<CRootStorage> root;
};

// Opens a container the way the installer does: read access, read sharing.
OpenedRoot OpenReadOnly(const fs::path& path) {
  OpenedRoot opened;
  if (QssResult result = OpenContainerFile(path, OpenMode::kReadOnly, &opened.root); QssFailed(result))
    Fail("open container", result);
  return opened;
}

CQssRef<CStream> OpenStreamByPath(CStorage* root, const std::vector<std::u16string>& path,
                                  std::vector<CQssRef<CStorage>>* storages) {
  CStorage* parent = root;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    CStorage* opened = nullptr;
    if (QssResult result = parent->OpenStorage(path[i].c_str(), 0, &opened); QssFailed(result))
      Fail("open storage", result);
    storages->push_back(CQssRef<CStorage>::Attach(opened));
    parent = opened;
  }
  CStream* stream = nullptr;
  if (QssResult result = parent->OpenStream(path.back().c_str(), 0, &stream); QssFailed(result))
    Fail("open stream", result);
  return CQssRef<CStream>::Attach(stream);
}

// Cases 1 and 2: open, copy the stream into a new file in 1 MiB pieces.
int CaseExtract(const fs::path& container, const fs::path& output) {
  const auto start = Clock::now();
  {
    OpenedRoot opened = OpenReadOnly(container);
    std::vector<CQssRef<CStorage>> storages;
    CQssRef<CStream> stream = OpenStreamByPath(opened.root.get(), kBigStreamPath, &storages);
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail("create output", -1);
    AlignedBuffer buffer(kPiece);
    std::int64_t copied = 0;
    for (;;) {
      std::uint32_t got = 0;
      if (QssResult result = stream->Read(buffer.data(), kPiece, &got); QssFailed(result)) Fail("read", result);
      if (got > 0 && ::write(fd, buffer.data(), got) != static_cast<ssize_t>(got)) Fail("write output", -1);
      copied += got;
      if (got != static_cast<std::uint32_t>(kPiece)) break;
    }
    ::close(fd);
    std::printf("bytes=%lld\n", static_cast<long long>(copied));
  }
  std::printf("seconds=%.6f\n", Seconds(start));
  return Done();
}

// Anchor of cases 1 and 2 for the installer's method: a plain file copied
// with read and write in 1 MiB pieces.
int CaseCopyPlain(const fs::path& source, const fs::path& output) {
  const auto start = Clock::now();
  const int in = ::open(source.c_str(), O_RDONLY);
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) Fail("open plain files", -1);
  AlignedBuffer buffer(kPiece);
  for (ssize_t got; (got = ::read(in, buffer.data(), buffer.size())) > 0;) {
    if (::write(out, buffer.data(), static_cast<std::size_t>(got)) != got) Fail("write output", -1);
  }
  ::close(in);
  ::close(out);
  std::printf("seconds=%.6f\n", Seconds(start));
  return Done();
}

// Case 3, ours: the compressed stream read in 1 MiB pieces.
int CaseCompressedRead(const fs::path& container) {
  OpenedRoot opened = OpenReadOnly(container);
  std::vector<CQssRef<CStorage>> storages;
  CQssRef<CStream> stream = OpenStreamByPath(opened.root.get(), kBigStreamPath, &storages);
  std::printf("image_bytes=%d\n", stream->entry()->StoredLength());
  AlignedBuffer buffer(kPiece);
  std::uint64_t sum = 0;
  double firstRead = 0;
  const auto start = Clock::now();
  for (;;) {
    std::uint32_t got = 0;
    if (QssResult result = stream->Read(buffer.data(), kPiece, &got); QssFailed(result)) Fail("read", result);
    if (firstRead == 0) firstRead = Seconds(start);
    if (got == 0) break;
    sum += static_cast<std::uint8_t>(buffer.data()[got - 1]);
  }
  // The first read loads and decompresses the whole content; the rest copy.
  std::printf("seconds=%.6f\nfirst_read_seconds=%.6f\nchecksum=%llu\n", Seconds(start), firstRead,
              static_cast<unsigned long long>(sum));
  return Done();
}

// Case 3, anchor: the stored image read into memory (not timed), then one
// LZ4_decompress_safe into a fresh buffer of the content's length.
int CaseDecompressOnce(const fs::path& container) {
  OpenedRoot opened = OpenReadOnly(container);
  CStorageEntry* entry = opened.root->FindEntry(kBigStreamPath.back().c_str());
  if (entry == nullptr) Fail("find stream", -1);
  const std::int32_t stored = entry->StoredLength();
  const std::int64_t size = entry->Size();
  // The image as stored: the first blocks of the entry's chain, read from
  // the container's files where the layout puts them.
  ContainerLayout layout;
  if (QssResult result = InspectLayout(opened.root.get(), &layout); QssFailed(result)) Fail("read layout", result);
  std::vector<std::int64_t> blocks;
  const auto blockCount = static_cast<std::int32_t>((stored + layout.blockSize - 1) / layout.blockSize);
  if (QssResult result = ListEntryChain(opened.root.get(), entry, blockCount, &blocks);
      QssFailed(result) || static_cast<std::int32_t>(blocks.size()) != blockCount)
    Fail("list the image's blocks", result);
  CQssRef<CPhysicalByteArray> files;
  if (QssResult result = OpenContainerBytes(container, OpenMode::kReadOnly, &files); QssFailed(result))
    Fail("open container files", result);
  std::vector<char> image(static_cast<std::size_t>(stored));
  std::vector<ReadPiece> pieces;
  for (std::int32_t i = 0; i < blockCount; ++i) {
    const std::int64_t at = static_cast<std::int64_t>(i) * layout.blockSize;
    pieces.push_back({layout.dataOffset + (blocks[static_cast<std::size_t>(i)] - 1) * layout.blockSize,
                      image.data() + at, static_cast<std::uint32_t>(std::min<std::int64_t>(layout.blockSize, stored - at))});
  }
  std::uint32_t got = 0;
  if (QssResult result = files->ReadPieces(pieces.data(), pieces.size(), &got); QssFailed(result))
    Fail("read image", result);
  if (got != static_cast<std::uint32_t>(stored)) Fail("read image", -1);
  const auto start = Clock::now();
  std::unique_ptr<char[]> content(new char[static_cast<std::size_t>(size)]);
  const int length = LZ4_decompress_safe(image.data() + 16, content.get(), stored - 16, static_cast<int>(size));
  const double seconds = Seconds(start);
  if (length != size) Fail("decompress", length);
  std::printf("seconds=%.6f\nchecksum=%d\n", seconds, content[static_cast<std::size_t>(size) - 1]);
  return Done();
}

// Case 4: opening a large container; memory is what the open added.
int CaseOpen(const fs::path& container) {
  const long before = StatusKiB("VmRSS");
  const auto start = Clock::now();
  OpenedRoot opened = OpenReadOnly(container);
  const double seconds = Seconds(start);
  ContainerLayout layout;
  if (QssResult result = InspectLayout(opened.root.get(), &layout); QssFailed(result)) Fail("read layout", result);
  const std::int64_t tableBytes = layout.tableBlocks * layout.blockSize;
  std::printf("seconds=%.6f\nadded_kib=%ld\ntable_bytes=%lld\n", seconds, StatusKiB("VmHWM") - before,
              static_cast<long long>(tableBytes));
  return Done();
}

std::u16string EntryName(std::int64_t i) {
  char text[32];
  std::snprintf(text, sizeof(text), "file%06lld.bin", static_cast<long long>(i));
  return std::u16string(text, text + std::strlen(text));
}

// Case 5: every entry of the storage "dir" opened by name and released, in
// directory order, then in a random order.
int CaseLookups(const fs::path& container, std::int64_t count) {
  OpenedRoot opened = OpenReadOnly(container);
  CStorage* storage = nullptr;
  if (QssResult result = opened.root->OpenStorage(u"dir", 0, &storage); QssFailed(result))
    Fail("open storage", result);
  CQssRef<CStorage> dir = CQssRef<CStorage>::Attach(storage);
  std::vector<std::u16string> names;
  for (std::int64_t i = 0; i < count; ++i) names.push_back(EntryName(i));
  const auto lookUpAll = [&](const std::vector<std::u16string>& order) {
    const auto start = Clock::now();
    for (const std::u16string& name : order) {
      CQssRef<CStream> stream;
      if (QssResult result = dir->OpenStream(name.c_str(), 0, stream.Receive()); QssFailed(result))
        Fail("lookup", result);
    }
    return Seconds(start);
  };
  const double inOrder = lookUpAll(names);
  std::mt19937 random(1);
  std::shuffle(names.begin(), names.end(), random);
  const double shuffled = lookUpAll(names);
  std::printf("seconds=%.6f\nrandom_seconds=%.6f\n", inOrder, shuffled);
  return Done();
}

// Runs a program (stdin, stdout and stderr on /dev/null, or stdout into a
// new file output when given) and reports its wall time and peak memory.
// The driver starts programs through this small process, so that their
// peak does not include the driver's own pages.
int CaseRun(char** argv, const char* output = nullptr) {
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, 0);
    ::dup2(output ? ::open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644) : devNull, 1);
    ::dup2(devNull, 2);
    ::execvp(argv[0], argv);
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const double seconds = Seconds(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) Fail(argv[0], -1);
  std::printf("seconds=%.6f\npeak_kib=%ld\nexit=%d\n", seconds, usage.ru_maxrss, WEXITSTATUS(status));
  return 0;
}

int RunCase(int argc, char** argv) {
  const std::string name = argv[2];
  if (name == "run" && argc >= 4) return CaseRun(argv + 3);
  if (name == "run-to" && argc >= 5) return CaseRun(argv + 4, argv[3]);
  if (name == "extract" && argc == 5) return CaseExtract(argv[3], argv[4]);
  if (name == "copy-plain" && argc == 5) return CaseCopyPlain(argv[3], argv[4]);
  if (name == "compressed-read" && argc == 4) return CaseCompressedRead(argv[3]);
  if (name == "decompress-once" && argc == 4) return CaseDecompressOnce(argv[3]);
  if (name == "open" && argc == 4) return CaseOpen(argv[3]);
  if (name == "lookups" && argc == 5) return CaseLookups(argv[3], std::atoll(argv[4]));
  // The 1 GiB containers of rows 1 and 2 on their own, to profile a copy of
  // them outside the bench: make-container <path> presized|fragmented.
  if (name == "make-container" && argc == 5) {
    const std::string layout = argv[4];
    if (layout != "presized" && layout != "fragmented") return 2;
    WriteStreamContainer(argv[3], kBigStreamPath, 1024, 4096,
                         layout == "fragmented" ? StreamLayout::kFragmented : StreamLayout::kPresized);
    return 0;
  }
  std::fprintf(stderr, "unknown case\n");
  return 2;
}

// ---------------------------------------------------------------------------
// The driver.

struct Measurement {
  double seconds = 0;  // the case's own figure, or wall time for programs
  long peakKiB = 0;
  std::map<std::string, double> values;
};

// Runs argv in a child (environment additions in env), stdout captured;
// returns wall time, peak memory and the key=value lines it printed.
Measurement RunChild(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) Fail("pipe", -1);
  static const std::string self = fs::canonical("/proc/self/exe").string();
  std::vector<std::string> command = args;
  if (args[0] != self && args[0] != "--to") command.insert(command.begin(), {self, "--case", "run"});
  if (args[0] == "--to") {
    command.erase(command.begin());
    command.insert(command.begin(), {self, "--case", "run-to"});
  }
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, 0);
    ::close(pipeFds[0]);
    for (const std::string& assignment : env) ::putenv(const_cast<char*>(assignment.c_str()));
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::_Exit(127);
  }
  ::close(pipeFds[1]);
  std::string output;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipeFds[0], chunk, sizeof(chunk))) > 0;) output.append(chunk, got);
  ::close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  Measurement measured;
  measured.seconds = Seconds(start);
  measured.peakKiB = usage.ru_maxrss;
  if (!WIFEXITED(status)) {
    std::fprintf(stderr, "%s did not finish\n", args[0].c_str());
    std::exit(1);
  }
  std::size_t at = 0;
  while (at < output.size()) {
    const std::size_t end = std::min(output.find('\n', at), output.size());
    const std::string line = output.substr(at, end - at);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) measured.values[line.substr(0, equals)] = std::atof(line.c_str() + equals + 1);
    at = end + 1;
  }
  if (measured.values.count("exit") && measured.values["exit"] != 0) {
    std::fprintf(stderr, "%s failed (exit %g)\n", command[3].c_str(), measured.values["exit"]);
    std::exit(1);
  }
  // A program's own figure, where it reports one, replaces the wall time.
  if (measured.values.count("seconds")) measured.seconds = measured.values["seconds"];
  if (measured.values.count("peak_kib")) measured.peakKiB = static_cast<long>(measured.values["peak_kib"]);
  return measured;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Row {
  std::string what;
  double ours = 0;
  double anchor = 0;  // seconds, 0 when there is none
  double ratio = 0;
  std::string ratioMeaning;
  std::string aim;
  bool met = false;
  bool hasAim = false;
  double oursMiB = 0;
  double anchorMiB = 0;
};

struct Driver {
  fs::path dir;
  fs::path self;
  fs::path bin;
  int runs = 3;
  std::int64_t scale = 1;
  std::set<int> only;
  std::vector<Row> rows;

  bool Wanted(int number) const { return only.empty() || only.count(number) != 0; }

  // Runs the contenders in turn, runs times over; prepare runs before each
  // measurement and cleanUp after it. Returns each contender's runs.
  std::vector<std::vector<Measurement>> Rotate(const std::vector<std::function<Measurement()>>& contenders,
                                               const std::function<void()>& prepare,
                                               const std::function<void()>& cleanUp) {
    std::vector<std::vector<Measurement>> measured(contenders.size());
    // One run first that does not count: on a virtual machine that hands
    // freed memory back to its host, the first run of a case finds the
    // memory the case needs gone and waits for the host to give it back
    // (seen taking several times as long as the runs after it).
    prepare();
    BackFreeMemory(kBackedMiB / scale);
    static_cast<void>(contenders[0]());
    cleanUp();
    // Each run starts with a different contender: on a shared disk the
    // first writer after the warming reads is often slowed down, whoever it is.
    for (int i = 0; i < runs; ++i) {
      for (std::size_t step = 0; step < contenders.size(); ++step) {
        const std::size_t c = (step + static_cast<std::size_t>(i)) % contenders.size();
        prepare();
        // Every run, ours or the anchor, starts with memory the host backs.
        BackFreeMemory(kBackedMiB / scale);
        measured[c].push_back(contenders[c]());
        cleanUp();
      }
    }
    return measured;
  }

  std::pair<std::vector<Measurement>, std::vector<Measurement>> Alternate(
      const std::function<Measurement()>& ours, const std::function<Measurement()>& anchor,
      const std::function<void()>& prepare, const std::function<void()>& cleanUp) {
    std::vector<std::function<Measurement()>> contenders = {ours};
    if (anchor) contenders.push_back(anchor);
    auto measured = Rotate(contenders, prepare, cleanUp);
    measured.resize(2);
    return {measured[0], measured[1]};
  }

  // The single runs behind a row, to show the noise.
  static void PrintRuns(const std::string& what, const std::vector<Measurement>& runs) {
    std::printf("  %-40s", what.c_str());
    for (const Measurement& m : runs) std::printf(" %8.3f", m.seconds);
    std::printf("  s\n");
  }

  static double MedianOf(const std::vector<Measurement>& runs, const std::string& key = "") {
    std::vector<double> values;
    for (const Measurement& m : runs) values.push_back(key.empty() ? m.seconds : m.values.at(key));
    return Median(values);
  }
  static double MedianMiB(const std::vector<Measurement>& runs) {
    std::vector<double> values;
    for (const Measurement& m : runs) values.push_back(m.peakKiB / 1024.0);
    return Median(values);
  }

  // A throughput row: ratio = anchor seconds / our seconds.
  void AddThroughputRow(const std::string& what, const std::vector<Measurement>& ours,
                        const std::vector<Measurement>& anchor, double aim, const std::string& aimText) {
    Row row;
    row.what = what;
    row.ours = MedianOf(ours);
    row.anchor = MedianOf(anchor);
    row.ratio = row.anchor / row.ours;
    row.ratioMeaning = "of anchor speed";
    row.aim = aimText;
    row.hasAim = aim > 0;
    row.met = row.ratio >= aim;
    row.oursMiB = MedianMiB(ours);
    row.anchorMiB = MedianMiB(anchor);
    rows.push_back(row);
  }

  static void SyncAll() { ::sync(); }

  void Run() {
    const std::int64_t bigMiB = 1024 / scale;
    const fs::path plain = dir / "plain.bin";
    const fs::path copy = dir / "copy.bin";
    const auto removeCopy = [&] {
      fs::remove(copy);
      SyncAll();
    };
    const auto cp = [&](const fs::path& from, const fs::path& to) {
      return RunChild({"cp", from.string(), to.string()});
    };

    if (Wanted(1) || Wanted(2)) {
      WritePlainFile(plain, bigMiB);
      const fs::path unpacked = dir / "unpacked";
      const std::string qss = (bin / "qss").string();
      for (int number : {1, 2}) {
        if (!Wanted(number)) continue;
        const bool fragmented = number == 2;
        const fs::path container = dir / (fragmented ? "fragmented.qss" : "sequential.qss");
        WriteStreamContainer(container, kBigStreamPath, bigMiB, 4096,
                             fragmented ? StreamLayout::kFragmented : StreamLayout::kPresized);
        SyncAll();
        const auto measured = Rotate(
            {[&] { return RunChild({"--to", copy.string(), qss, "cat", container.string(), "big.bin"}); },
             [&] { return RunChild({qss, "unpack", container.string(), unpacked.string()}); },
             [&] { return cp(plain, copy); },
             [&] { return RunChild({self.string(), "--case", "extract", container.string(), copy.string()}); },
             [&] { return RunChild({self.string(), "--case", "copy-plain", plain.string(), copy.string()}); },
             [&] { return RunChild({self.string(), "--case", "extract", container.string(), "/dev/null"}); },
             [&] { return RunChild({self.string(), "--case", "copy-plain", plain.string(), "/dev/null"}); }},
            [&] {
              WarmFile(container);
              WarmFile(plain);
            },
            [&] {
              fs::remove_all(unpacked);
              removeCopy();
            });
        const std::string n = std::to_string(number);
        const std::string layout = fragmented ? ", shuffled blocks" : ", sequential blocks";
        const double aim = fragmented ? 0.85 : 1.0;
        const std::string aimText = fragmented ? ">= 0.85" : ">= 1.00";
        AddThroughputRow(n + " qss cat 1 GiB to a file" + layout, measured[0], measured[2], aim, aimText);
        AddThroughputRow(n + "u qss unpack of it", measured[1], measured[2], aim, aimText);
        AddThroughputRow(n + "a Read in 1 MiB pieces vs read+write", measured[3], measured[4], 0, "-");
        AddThroughputRow(n + "r  read only vs plain read 1 MiB", measured[5], measured[6], 0, "-");
        const char* names[] = {"qss cat to file",  "qss unpack",           "cp",        "Read 1 MiB + write",
                               "plain read+write", "Read to /dev/null",    "plain read"};
        for (std::size_t c = 0; c < measured.size(); ++c) PrintRuns(n + ": " + names[c], measured[c]);
        RemoveContainer(container);
      }
      fs::remove(plain);
    }

    if (Wanted(3)) {
      const fs::path container = dir / "compressed.qss";
      WriteStreamContainer(container, kBigStreamPath, 256 / scale, 4096, StreamLayout::kCompressed);
      SyncAll();
      auto [ours, anchors] = Alternate(
          [&] { return RunChild({self.string(), "--case", "compressed-read", container.string()}); },
          [&] { return RunChild({self.string(), "--case", "decompress-once", container.string()}); },
          [&] { WarmFile(container); }, [] {});
      Row row;
      PrintRuns("3: compressed read", ours);
      PrintRuns("3: one decompression", anchors);
      std::printf("  3: of which the first read (load, decompress) %.3f s; stored image %.1f MiB\n",
                  MedianOf(ours, "first_read_seconds"), MedianOf(ours, "image_bytes") / 1048576.0);
      row.what = "3 read 256 MiB compressed, 1 MiB pieces";
      row.ours = MedianOf(ours);
      row.anchor = MedianOf(anchors);
      row.ratio = row.ours / row.anchor;
      row.ratioMeaning = "x anchor time";
      row.aim = "<= 1.10";
      row.hasAim = true;
      row.met = row.ratio <= 1.1;
      row.oursMiB = MedianMiB(ours);
      row.anchorMiB = MedianMiB(anchors);
      rows.push_back(row);
      RemoveContainer(container);
    }

    if (Wanted(4)) {
      const fs::path container = dir / "large.qss";
      CreateLargeSparseContainer(container, (10ll << 30) / scale);
      SyncAll();
      auto [ours, unused] =
          Alternate([&] { return RunChild({self.string(), "--case", "open", container.string()}); }, nullptr,
                    [] {}, [] {});
      Row row;
      row.what = "4 open 10 GiB container (4 KiB blocks)";
      row.ours = MedianOf(ours);
      const double addedMiB = MedianOf(ours, "added_kib") / 1024.0;
      const double tableMiB = ours.front().values.at("table_bytes") / 1048576.0;
      row.ratio = addedMiB / tableMiB;
      row.ratioMeaning = "x table size (memory)";
      row.aim = "<= 1.20";
      row.hasAim = true;
      row.met = row.ratio <= 1.2;
      row.oursMiB = MedianMiB(ours);
      row.anchorMiB = tableMiB;
      rows.push_back(row);
      std::printf("  (4: the open added %.1f MiB of peak memory; the table is %.1f MiB)\n", addedMiB, tableMiB);
      RemoveContainer(container);
    }

    if (Wanted(5)) {
      const std::int64_t count = 100000 / scale;
      const fs::path container = dir / "entries.qss";
      const auto start = Clock::now();
      CreateManyEntries(container, count);
      std::printf("  (5: writing %lld entries took %.2f s)\n", static_cast<long long>(count), Seconds(start));
      auto [ours, unused] = Alternate(
          [&] {
            return RunChild({self.string(), "--case", "lookups", container.string(), std::to_string(count)});
          },
          nullptr, [&] { WarmFile(container); }, [] {});
      Row row;
      row.what = "5 100 000 lookups, directory order";
      row.ours = MedianOf(ours);
      row.oursMiB = MedianMiB(ours);
      rows.push_back(row);
      Row random;
      random.what = "5 100 000 lookups, random order";
      random.ours = MedianOf(ours, "random_seconds");
      random.ratio = random.ours / row.ours;
      random.ratioMeaning = "x directory order";
      random.oursMiB = row.oursMiB;
      rows.push_back(random);
      RemoveContainer(container);
    }

    if (Wanted(6)) {
      const fs::path tree = dir / "tree";
      const fs::path treeCopy = dir / "tree-copy";
      const fs::path packed = dir / "tree.qss";
      const fs::path unpacked = dir / "tree-unpacked";
      const std::string qss = (bin / "qss").string();
      WriteTree(tree, 256 / scale, 4, false);
      SyncAll();
      const auto warmTree = [&] { WarmTree(tree); };
      auto [ours, anchors] = Alternate(
          [&] { return RunChild({qss, "pack", tree.string(), packed.string()}); },
          [&] { return RunChild({"cp", "-r", tree.string(), treeCopy.string()}); }, warmTree,
          [&] {
            RemoveContainer(packed);
            fs::remove_all(treeCopy);
            SyncAll();
          });
      AddThroughputRow("6 qss pack 1 GiB tree (256 files)", ours, anchors, 0.95, ">= 0.95");
      PrintRuns("6: qss pack", ours);
      PrintRuns("6: cp -r", anchors);
      // The unpack's source: one more pack, not measured.
      RunChild({qss, "pack", tree.string(), packed.string()});
      auto [unpacks, copies] = Alternate(
          [&] { return RunChild({qss, "unpack", packed.string(), unpacked.string()}); },
          [&] { return RunChild({"cp", "-r", tree.string(), treeCopy.string()}); },
          [&] {
            WarmFile(packed);
            WarmTree(tree);
          },
          [&] {
            fs::remove_all(unpacked);
            fs::remove_all(treeCopy);
            SyncAll();
          });
      AddThroughputRow("6u qss unpack of it", unpacks, copies, 0, "-");
      PrintRuns("6u: qss unpack", unpacks);
      PrintRuns("6u: cp -r", copies);
      Row memory;
      memory.what = "6m peak memory, pack / unpack";
      memory.ours = std::max(MedianMiB(ours), MedianMiB(unpacks));
      memory.oursMiB = memory.ours;
      memory.ratioMeaning = "MiB, the larger";
      memory.aim = "<= 64 MB";
      memory.hasAim = true;
      memory.met = memory.ours * 1048576.0 <= 64e6;
      rows.push_back(memory);
      std::printf("  6m: peak memory of pack %.1f MiB, of unpack %.1f MiB\n", MedianMiB(ours), MedianMiB(unpacks));
      RemoveContainer(packed);
      fs::remove_all(tree);
    }

    if (Wanted(7)) {
      const std::int64_t mebibytes = 256 / scale;
      const fs::path package = dir / "firmware.qss";
      const fs::path system = dir / "system";
      const fs::path database = dir / "installer.db";
      // The service: a script that succeeds at once, padded to size.
      WriteStreamContainer(package, kServicePath, mebibytes, 4096, StreamLayout::kPresized, "#!/bin/sh\nexit 0\n");
      WritePlainFile(plain, mebibytes);
      {
        const std::string product = "{0C6B2F35-7D1E-4A88-9E53-2F4A61D0B7C2}";
        FILE* db = std::fopen(database.c_str(), "w");
        std::fprintf(db, "related\t{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}\t%s\n", product.c_str());
        std::fprintf(db, "component\t%s\t{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}\t%s\n", product.c_str(),
                     package.c_str());
        std::fclose(db);
      }
      SyncAll();
      const std::vector<std::string> env = {"ORVIK_INSTALLER_DB=" + database.string(),
                                            "ORVIK_SYSTEM_DIR=" + system.string()};
      auto [ours, anchors] = Alternate(
          [&] {
            fs::create_directories(system);
            return RunChild({(bin / "OrvikInstallService").string()}, env);
          },
          [&] { return cp(plain, copy); },
          [&] {
            WarmFile(package);
            WarmFile(plain);
          },
          [&] {
            fs::remove_all(system);
            removeCopy();
          });
      AddThroughputRow("7 installer run, 256 MiB service", ours, anchors, 0.8, ">= 0.80");
      PrintRuns("7: installer", ours);
      PrintRuns("7: cp", anchors);
      RemoveContainer(package);
      fs::remove(plain);
      fs::remove(database);
    }
    if (Wanted(8)) MeasureMount(bigMiB);

    if (Wanted(9)) {
      const fs::path tree = dir / "text-tree";
      const fs::path single = dir / "text-1.qss";
      const fs::path parallel = dir / "text-n.qss";
      const std::string qss = (bin / "qss").string();
      WriteTree(tree, 256 / scale, 4, true);
      SyncAll();
      auto [ours, anchors] = Alternate(
          [&] { return RunChild({qss, "pack", "--compress", tree.string(), parallel.string()}); },
          [&] { return RunChild({qss, "pack", "--compress", "--threads", "1", tree.string(), single.string()}); },
          [&] { WarmTree(tree); },
          [&] {
            RemoveContainer(single);
            RemoveContainer(parallel);
            SyncAll();
          });
      AddThroughputRow("9 pack --compress 1 GiB, all cores vs 1", ours, anchors, 1.7, ">= 1.70");
      PrintRuns("9: pack --compress, all cores", ours);
      PrintRuns("9: pack --compress --threads 1", anchors);
      RunChild({qss, "pack", "--compress", tree.string(), parallel.string()});
      RunChild({qss, "pack", "--compress", "--threads", "1", tree.string(), single.string()});
      const bool same = SameBytes(single, parallel);
      std::printf("  9: the containers of all cores and of one thread are %s\n",
                  same ? "identical" : "DIFFERENT");
      if (!same) rows.back().met = false;
      RemoveContainer(single);
      RemoveContainer(parallel);
      fs::remove_all(tree);
    }

    if (Wanted(10) || Wanted(11)) {
      const fs::path tree = dir / "small-tree";
      const fs::path packed = dir / "small.qss";
      const fs::path archive = dir / "small.tar";
      const fs::path unpacked = dir / "small-unpacked";
      const std::string qss = (bin / "qss").string();
      const std::int64_t files = 100000 / scale;
      WriteSmallFiles(tree, files);
      SyncAll();
      if (Wanted(10)) {
        auto [ours, anchors] = Alternate(
            [&] { return RunChild({qss, "pack", tree.string(), packed.string()}); },
            [&] { return RunChild({"tar", "cf", archive.string(), "-C", tree.string(), "."}); },
            [&] { WarmTree(tree); },
            [&] {
              RemoveContainer(packed);
              fs::remove(archive);
              SyncAll();
            });
        AddThroughputRow("10 qss pack 100 000 files of 1-4 KB", ours, anchors, 1.0, ">= 1.00");
        PrintRuns("10: qss pack", ours);
        PrintRuns("10: tar cf", anchors);
      }
      if (Wanted(11)) {
        RunChild({qss, "pack", tree.string(), packed.string()});
        RunChild({"tar", "cf", archive.string(), "-C", tree.string(), "."});
        auto [ours, anchors] = Alternate(
            [&] { return RunChild({qss, "unpack", packed.string(), unpacked.string()}); },
            [&] {
              fs::create_directories(unpacked);
              return RunChild({"tar", "xf", archive.string(), "-C", unpacked.string()});
            },
            [&] {
              WarmFile(packed);
              WarmFile(archive);
            },
            [&] {
              fs::remove_all(unpacked);
              SyncAll();
            });
        AddThroughputRow("11 qss unpack of that container", ours, anchors, 1.0, ">= 1.00");
        PrintRuns("11: qss unpack", ours);
        PrintRuns("11: tar xf", anchors);
      }
      RemoveContainer(packed);
      fs::remove(archive);
      fs::remove_all(tree);
    }
  }

  // files files of megabytes MiB each in 8 folders: FillPiece content, or
  // text-like content that compresses when compressible.
  static void WriteTree(const fs::path& tree, std::int64_t files, std::int64_t megabytes, bool compressible) {
    std::vector<std::uint8_t> piece(kPiece);
    for (std::int64_t i = 0; i < files; ++i) {
      const fs::path folder = tree / ("folder" + std::to_string(i % 8));
      fs::create_directories(folder);
      const fs::path path = folder / ("file" + std::to_string(i) + ".bin");
      if (!compressible) {
        WritePlainFile(path, megabytes);
        continue;
      }
      FILE* file = std::fopen(path.c_str(), "wb");
      if (file == nullptr) Fail("create tree file", -1);
      for (std::int64_t m = 0; m < megabytes; ++m) {
        FillCompressiblePiece(piece, i * megabytes + m);
        if (std::fwrite(piece.data(), 1, piece.size(), file) != piece.size()) Fail("write tree file", -1);
      }
      std::fclose(file);
    }
  }

  // count files of 1 to 4 KB in folders of 1000.
  static void WriteSmallFiles(const fs::path& tree, std::int64_t count) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> piece(4096);
    for (std::int64_t i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof(name), "d%lld", static_cast<long long>(i / 1000));
      const fs::path folder = tree / name;
      if (i % 1000 == 0) fs::create_directories(folder);
      FillPiece(piece, i);
      const std::size_t size = 1024 + random() % 3073;
      std::snprintf(name, sizeof(name), "f%lld", static_cast<long long>(i));
      FILE* file = std::fopen((folder / name).c_str(), "wb");
      if (file == nullptr || std::fwrite(piece.data(), 1, size, file) != size) Fail("write small file", -1);
      std::fclose(file);
    }
  }

  static void WarmTree(const fs::path& tree) {
    for (const auto& item : fs::recursive_directory_iterator(tree))
      if (item.is_regular_file()) WarmFile(item.path());
  }

  // Whether two containers (their base files and segments) hold the same bytes.
  static bool SameBytes(const fs::path& a, const fs::path& b) {
    const auto read = [](const fs::path& path) {
      std::string bytes;
      FILE* file = std::fopen(path.c_str(), "rb");
      if (file == nullptr) return std::string("\x01missing");
      char chunk[65536];
      for (std::size_t got; (got = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) bytes.append(chunk, got);
      std::fclose(file);
      return bytes;
    };
    if (read(a) != read(b)) return false;
    std::error_code ignored;
    for (int segment = 2; segment <= 9999; ++segment) {
      const fs::path sa = SegmentFileName(a, segment);
      const fs::path sb = SegmentFileName(b, segment);
      const bool ea = fs::exists(sa, ignored);
      if (ea != fs::exists(sb, ignored)) return false;
      if (!ea) return true;
      if (read(sa) != read(sb)) return false;
    }
    return true;
  }

  // Case 8: cat of a stream through qss mount against qss cat of it, both to
  // /dev/null. Every run mounts afresh, so nothing of the file is in the
  // kernel's cache of the mount; the container itself is read once before.
  // Where qss cannot mount (no FUSE, not permitted) the case says so.
  void MeasureMount(std::int64_t mebibytes) {
    const fs::path container = dir / "mounted.qss";
    const fs::path point = dir / "mount";
    const std::string qss = (bin / "qss").string();
    fs::create_directories(point);
    WriteStreamContainer(container, kBigStreamPath, mebibytes, 4096, StreamLayout::kPresized);
    SyncAll();
    bool mounted = false;
    std::string failure;
    const auto mount = [&] {
      const std::string log = (dir / "mount.log").string();
      mounted = std::system(("'" + qss + "' mount '" + container.string() + "' '" + point.string() + "' 2>'" + log +
                             "'").c_str()) == 0;
      if (!mounted) {
        std::ifstream in(log);
        std::getline(in, failure);
      }
      return mounted;
    };
    const auto unmount = [&] {
      if (mounted && std::system(("'" + qss + "' umount '" + point.string() + "'").c_str()) != 0) {
        std::fprintf(stderr, "cannot unmount %s\n", point.c_str());
        std::exit(1);
      }
      mounted = false;
    };
    if (!mount()) {
      std::printf("  (8: skipped: qss mount does not work here: %s)\n", failure.c_str());
      RemoveContainer(container);
      return;
    }
    unmount();
    const std::string file = (point / kBigStreamPath.back()).string();
    const std::string name(kBigStreamPath.back().begin(), kBigStreamPath.back().end());
    const auto measured = Rotate(
        {[&] { return RunChild({"cat", file}); }, [&] { return RunChild({qss, "cat", container.string(), name}); },
         // The same file again in the same mount: the kernel's cache of it.
         [&] {
           RunChild({"cat", file});
           return RunChild({"cat", file});
         }},
        [&] {
          WarmFile(container);
          if (!mount()) {
            std::fprintf(stderr, "qss mount failed: %s\n", failure.c_str());
            std::exit(1);
          }
        },
        unmount);
    AddThroughputRow("8 cat 1 GiB stream through qss mount", measured[0], measured[1], 0.7, ">= 0.70");
    AddThroughputRow("8c the same read again (kernel cache)", measured[2], measured[1], 0, "-");
    PrintRuns("8: cat through the mount", measured[0]);
    PrintRuns("8: qss cat", measured[1]);
    PrintRuns("8: cat again through the mount", measured[2]);
    RemoveContainer(container);
    fs::remove(point);
  }

  // A container of the given length whose one stream takes nearly all of it;
  // the file is sparse, only the table blocks are written.
  static void CreateLargeSparseContainer(const fs::path& path, std::int64_t bytes) {
    RemoveContainer(path);
    CQssRef<CRootStorage> root = CreateContainerFile(path, 4, 4096);
    {
      CQssRef<CStream> stream;
      if (QssResult result = root->CreateStream(u"big.bin", false, stream.Receive()); QssFailed(result))
        Fail("create stream", result);
      // The table takes about one block in 1024.
      if (QssResult result = stream->SetSize(bytes - bytes / 1024 - (1 << 20)); QssFailed(result))
        Fail("size the stream", result);
    }
    CommitContainer(path, &root);
  }

  // A container whose storage "dir" holds count empty streams.
  static void CreateManyEntries(const fs::path& path, std::int64_t count) {
    RemoveContainer(path);
    CQssRef<CRootStorage> root = CreateContainerFile(path, 4, 4096);
    {
      CQssRef<CStorage> dir;
      if (QssResult result = root->CreateStorage(u"dir", dir.Receive()); QssFailed(result))
        Fail("create storage", result);
      for (std::int64_t i = 0; i < count; ++i) {
        CQssRef<CStream> stream;
        if (QssResult result = dir->CreateStream(EntryName(i).c_str(), false, stream.Receive()); QssFailed(result))
          Fail("create entry", result);
      }
    }
    CommitContainer(path, &root);
  }

  void Print() const {
    std::printf("\n%-42s %10s %10s %9s  %-22s %-8s %-5s %9s %9s\n", "case (median of runs)", "ours s", "anchor s",
                "ratio", "meaning", "aim", "met", "ours MiB", "anch MiB");
    for (const Row& row : rows) {
      char anchor[32] = "-";
      if (row.anchor > 0) std::snprintf(anchor, sizeof(anchor), "%.3f", row.anchor);
      char ratio[32] = "-";
      if (row.ratio > 0) std::snprintf(ratio, sizeof(ratio), "%.2f", row.ratio);
      char anchorMiB[32] = "-";
      if (row.anchorMiB > 0) std::snprintf(anchorMiB, sizeof(anchorMiB), "%.1f", row.anchorMiB);
      std::printf("%-42s %10.3f %10s %9s  %-22s %-8s %-5s %9.1f %9s\n", row.what.c_str(), row.ours, anchor, ratio,
                  row.ratioMeaning.c_str(), row.aim.empty() ? "-" : row.aim.c_str(),
                  row.hasAim ? (row.met ? "yes" : "NO") : "-", row.oursMiB, anchorMiB);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--case") == 0) return RunCase(argc, argv);
  Driver driver;
  driver.self = fs::canonical("/proc/self/exe");
  driver.bin = driver.self.parent_path();
  driver.dir = fs::temp_directory_path();
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "usage: %s [--dir D] [--runs N] [--scale K] [--only 1,2,...]\n", argv[0]);
      return 2;
    } else if (option == "--dir") {
      driver.dir = argv[i + 1];
    } else if (option == "--runs") {
      driver.runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--scale") {
      driver.scale = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--only") {
      for (const char* at = argv[i + 1]; *at; ++at)
        if (*at >= '1' && *at <= '9') {
          // 10 and 11 are the numbers of two digits.
          const bool twoDigits = at[0] == '1' && (at[1] == '0' || at[1] == '1');
          driver.only.insert(twoDigits ? 10 + (at[1] - '0') : *at - '0');
          if (twoDigits) ++at;
        }
    } else {
      std::fprintf(stderr, "usage: %s [--dir D] [--runs N] [--scale K] [--only 1,2,...]\n", argv[0]);
      return 2;
    }
  }
  driver.dir /= "qss-product-bench-" + std::to_string(::getpid());
  fs::create_directories(driver.dir);
  std::printf("working in %s, %d runs per case, sizes divided by %lld\n", driver.dir.c_str(), driver.runs,
              static_cast<long long>(driver.scale));
  std::fflush(stdout);
  driver.Run();
  fs::remove_all(driver.dir);
  driver.Print();
  return 0;
}

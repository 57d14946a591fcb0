// StreamReadBench: reading a large stream out of a container file, against a
// plain sequential read of a file of the same size on the same disk.
//
// Writes a plain file of the given size (default 1 GiB) and the same bytes as
// one stream into two container files, in 1 MiB pieces: one written as it
// comes (the table grows with every few MiB, so a table block sits between
// stretches of the stream), one given its full length by SetSize first (the
// stream's blocks follow each other). Then reads all three back in 1 MiB
// pieces, after dropping them from the page cache ("cold") and from the
// cache ("warm"), best of three each. Prints one table to stdout. Writes are
// timed without syncing.
//
// Usage: qss_stream_bench [directory] [MiB] [blockSize] [entryWidth]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "qss/CQssRef.h"
#include "BenchSupport.h"
#include "qss/CRootStorage.h"
#include "qss/CStream.h"
#include "qss/ContainerFile.h"

using namespace qss;

namespace {

using bench::Clock;
using bench::Fail;
using bench::FillPiece;
using bench::kPiece;
using bench::Seconds;

// Writes back and drops a file's pages so the next read comes from the disk.
void DropFromCache(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

struct Row {
  std::string what;
  double seconds;
  std::int64_t bytes;
};

// Reads the plain file in 1 MiB pieces; returns a checksum.
std::uint64_t ReadPlain(const std::filesystem::path& path, std::vector<std::uint8_t>& buffer) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) Fail("open plain file", -1);
  std::uint64_t sum = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got <= 0) break;
    sum += buffer[0] + buffer[static_cast<std::size_t>(got) - 1];
  }
  ::close(fd);
  return sum;
}

// The one stream of the benchmark's containers.
constexpr const char16_t* kStreamName = u"stream.bin";

// Opens the container read-only and reads its stream in 1 MiB pieces;
// returns a checksum.
std::uint64_t ReadContainer(const std::filesystem::path& path, std::vector<std::uint8_t>& buffer,
                            double* openSeconds) {
  const auto opening = Clock::now();
  CQssRef<CRootStorage> root;
  if (QssResult result = OpenContainerFile(path, OpenMode::kReadOnly, &root); QssFailed(result))
    Fail("open container", result);
  CQssRef<CStream> stream;
  if (QssResult result = root->OpenStream(kStreamName, 0, stream.Receive()); QssFailed(result))
    Fail("open stream", result);
  *openSeconds = Seconds(opening);
  std::uint64_t sum = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (QssResult result = stream->Read(buffer.data(), kPiece, &got); QssFailed(result)) Fail("read", result);
    if (got == 0) break;
    sum += buffer[0] + buffer[got - 1];
  }
  return sum;
}

// Writes a container holding one stream of the given MiB in 1 MiB pieces;
// with presize the stream is first given its full length by SetSize, so its
// blocks (and the table blocks) are allocated in one step.
double WriteContainer(const std::filesystem::path& path, std::int64_t mebibytes, std::int32_t blockSize,
                      std::int32_t entryWidth, bool presize, std::vector<std::uint8_t>& buffer) {
  bench::RemoveContainer(path);
  CQssRef<CRootStorage> root = bench::CreateContainerFile(path, entryWidth, blockSize);
  CQssRef<CStream> stream;
  if (QssResult result = root->CreateStream(kStreamName, false, stream.Receive()); QssFailed(result))
    Fail("create stream", result);
  const auto start = Clock::now();
  if (presize) {
    if (QssResult result = stream->SetSize(mebibytes * kPiece); QssFailed(result)) Fail("presize", result);
  }
  for (std::int64_t i = 0; i < mebibytes; ++i) {
    FillPiece(buffer, i);
    if (QssResult result = stream->Write(buffer.data(), kPiece, nullptr); QssFailed(result)) Fail("write", result);
  }
  stream.Reset();
  bench::CommitContainer(path, &root);  // the table's changed blocks and the files' flush
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path directory = argc > 1 ? argv[1] : ".";
  const std::int64_t mebibytes = argc > 2 ? std::atoll(argv[2]) : 1024;
  const std::int32_t blockSize = argc > 3 ? std::atoi(argv[3]) : 4096;
  const std::int32_t entryWidth = argc > 4 ? std::atoi(argv[4]) : 4;
  const std::int64_t total = mebibytes * kPiece;
  const std::filesystem::path containerPath = directory / "qss_bench_container.qss";
  const std::filesystem::path plainPath = directory / "qss_bench_plain.bin";
  std::vector<std::uint8_t> buffer(kPiece);
  std::vector<Row> rows;

  // The plain file of the same bytes.
  {
    const int fd = ::open(plainPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail("create plain file", -1);
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < mebibytes; ++i) {
      FillPiece(buffer, i);
      if (::write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size())) Fail("write plain", -1);
    }
    ::close(fd);
    rows.push_back({"plain write (1 MiB pieces)", Seconds(start), total});
  }

  // The same bytes in containers of both layouts.
  const std::filesystem::path presizedPath = directory / "qss_bench_presized.qss";
  rows.push_back({"container write (1 MiB pieces)",
                  WriteContainer(containerPath, mebibytes, blockSize, entryWidth, false, buffer), total});
  rows.push_back({"pre-sized container write",
                  WriteContainer(presizedPath, mebibytes, blockSize, entryWidth, true, buffer), total});

  // Each read is repeated, alternating plain and container, and the best
  // time counts: the disk and the cache are shared with other work.
  constexpr int kRepeats = 3;
  const auto best = [&](const std::string& what, bool cold, const std::filesystem::path& path,
                        const std::function<std::uint64_t()>& read, std::uint64_t* sum) {
    double fastest = 0;
    for (int i = 0; i < kRepeats; ++i) {
      if (cold) DropFromCache(path);
      const auto start = Clock::now();
      *sum = read();
      const double seconds = Seconds(start);
      if (i == 0 || seconds < fastest) fastest = seconds;
    }
    rows.push_back({what, fastest, total});
  };
  double openCold = 0;
  double openWarm = 0;
  double unused = 0;
  std::uint64_t sums[6] = {};
  best("plain read, cold", true, plainPath, [&] { return ReadPlain(plainPath, buffer); }, &sums[0]);
  best("container stream read, cold", true, containerPath,
       [&] { return ReadContainer(containerPath, buffer, &openCold); }, &sums[1]);
  best("pre-sized container stream read, cold", true, presizedPath,
       [&] { return ReadContainer(presizedPath, buffer, &unused); }, &sums[2]);
  best("plain read, warm", false, plainPath, [&] { return ReadPlain(plainPath, buffer); }, &sums[3]);
  best("container stream read, warm", false, containerPath,
       [&] { return ReadContainer(containerPath, buffer, &openWarm); }, &sums[4]);
  best("pre-sized container stream read, warm", false, presizedPath,
       [&] { return ReadContainer(presizedPath, buffer, &unused); }, &sums[5]);
  for (std::uint64_t sum : sums) {
    if (sum != sums[0]) {
      std::fprintf(stderr, "contents differ\n");
      return 1;
    }
  }

  std::printf("stream of %lld MiB, block size %d, entry width %d, in %s\n", static_cast<long long>(mebibytes),
              blockSize, entryWidth, directory.c_str());
  std::printf("%-40s %10s %12s\n", "run", "seconds", "MiB/s");
  for (const Row& row : rows)
    std::printf("%-40s %10.3f %12.1f\n", row.what.c_str(), row.seconds,
                static_cast<double>(row.bytes) / kPiece / row.seconds);
  const auto rate = [&](std::size_t i) { return static_cast<double>(rows[i].bytes) / rows[i].seconds; };
  std::printf("%-40s %10.3f\n", "  container open (table load), cold", openCold);
  std::printf("%-40s %10.3f\n", "  container open (table load), warm", openWarm);
  const auto ratio = [&](const char* what, std::size_t container, std::size_t plain) {
    std::printf("%-40s %10s %11.1f%%\n", what, "", 100.0 * rate(container) / rate(plain));
  };
  ratio("container / plain, cold", 4, 3);
  ratio("pre-sized container / plain, cold", 5, 3);
  ratio("container / plain, warm", 7, 6);
  ratio("pre-sized container / plain, warm", 8, 6);

  std::filesystem::remove(plainPath);
  std::filesystem::remove(containerPath);
  std::filesystem::remove(presizedPath);
  return 0;
}

// StreamReadBench: reading a large stream out of a container file, against a
// plain sequential read of a file of the same size on the same disk.
//
// Writes a stream of the given size (default 1 GiB) into a new container file
// in 1 MiB pieces, writes a plain file of the same bytes, then reads both
// back in 1 MiB pieces: once after dropping them from the page cache ("cold")
// and once more from the cache ("warm"). Prints one table to stdout.
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

#include "Base/CQssRef.h"
#include "ByteArrays/CMultiFileArray.h"
#include "Container/CBlockAllocationTable.h"
#include "Container/CStorageEntry.h"
#include "Container/CStream.h"
#include "Container/CreateContainer.h"

namespace {

constexpr std::int32_t kPiece = 1 << 20;
using Clock = std::chrono::steady_clock;

void Fail(const char* what, QssResult result) {
  std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(result));
  std::exit(1);
}

void FillPiece(std::vector<std::uint8_t>& piece, std::int64_t index) {
  for (std::size_t i = 0; i < piece.size(); i += 8) {
    const std::uint64_t value = static_cast<std::uint64_t>(index) * 0x9E3779B97F4A7C15ull + i;
    std::memcpy(piece.data() + i, &value, 8);
  }
}

// Writes back and drops a file's pages so the next read comes from the disk.
void DropFromCache(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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

// Opens the container read-only, attaches a stream to the saved record and
// reads it in 1 MiB pieces; returns a checksum.
std::uint64_t ReadContainer(const std::filesystem::path& path, const std::uint8_t* record,
                            std::vector<std::uint8_t>& buffer) {
  CQssRef<CMultiFileArray> array(new CMultiFileArray(path, native_file::kGenericRead, native_file::kShareRead,
                                                     native_file::kAttributeNormal));
  if (QssResult result = array->Open(); QssFailed(result)) Fail("open container", result);
  CQssRef<CBlockAllocationTable> table(new CBlockAllocationTable(array.get()));
  if (!table->valid()) Fail("open table", table->status());
  CQssRef<CStorageEntry> entry(new CStorageEntry);
  std::memcpy(entry->record, record, kEntryRecordSize);
  entry->readOnly = true;
  CQssRef<CStream> stream(new CStream);
  stream->Attach(nullptr, table.get(), entry.get());
  std::uint64_t sum = 0;
  for (;;) {
    std::uint32_t got = 0;
    if (QssResult result = stream->Read(buffer.data(), kPiece, &got); QssFailed(result)) Fail("read", result);
    if (got == 0) break;
    sum += buffer[0] + buffer[got - 1];
  }
  return sum;
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

  // The container: header, table, one stream written in 1 MiB pieces.
  std::uint8_t record[kEntryRecordSize];
  {
    CQssRef<CMultiFileArray> array(new CMultiFileArray(containerPath,
                                                       native_file::kGenericRead | native_file::kGenericWrite, 0,
                                                       native_file::kAttributeNormal));
    if (QssResult result = array->Create(); QssFailed(result)) Fail("create container file", result);
    if (QssResult result = CreateContainer(array.get(), entryWidth, blockSize); QssFailed(result))
      Fail("create container", result);
    CQssRef<CBlockAllocationTable> table(new CBlockAllocationTable(array.get()));
    if (!table->valid()) Fail("open new table", table->status());
    CQssRef<CStorageEntry> entry(new CStorageEntry);
    entry->SetFlags(kEntryStream);
    CQssRef<CStream> stream(new CStream);
    stream->Attach(nullptr, table.get(), entry.get());
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < mebibytes; ++i) {
      FillPiece(buffer, i);
      if (QssResult result = stream->Write(buffer.data(), kPiece, nullptr); QssFailed(result)) Fail("write", result);
    }
    stream.Reset();
    table.Reset();  // flushes the table
    array->Flush();
    DropFromCache(containerPath);
    rows.push_back({"container write (1 MiB pieces)", Seconds(start), total});
    std::memcpy(record, entry->record, kEntryRecordSize);
  }

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
    DropFromCache(plainPath);
    rows.push_back({"plain write (1 MiB pieces)", Seconds(start), total});
  }

  const auto timed = [&](const std::string& what, const std::function<std::uint64_t()>& read) {
    const auto start = Clock::now();
    const std::uint64_t sum = read();
    rows.push_back({what, Seconds(start), total});
    return sum;
  };
  DropFromCache(plainPath);
  const std::uint64_t plainCold = timed("plain read, cold", [&] { return ReadPlain(plainPath, buffer); });
  DropFromCache(containerPath);
  const std::uint64_t containerCold =
      timed("container stream read, cold", [&] { return ReadContainer(containerPath, record, buffer); });
  const std::uint64_t plainWarm = timed("plain read, warm", [&] { return ReadPlain(plainPath, buffer); });
  const std::uint64_t containerWarm =
      timed("container stream read, warm", [&] { return ReadContainer(containerPath, record, buffer); });
  if (plainCold != containerCold || plainWarm != containerWarm || plainCold != plainWarm) {
    std::fprintf(stderr, "contents differ\n");
    return 1;
  }

  std::printf("stream of %lld MiB, block size %d, entry width %d, in %s\n", static_cast<long long>(mebibytes),
              blockSize, entryWidth, directory.c_str());
  std::printf("%-34s %10s %12s\n", "run", "seconds", "MiB/s");
  for (const Row& row : rows)
    std::printf("%-34s %10.3f %12.1f\n", row.what.c_str(), row.seconds,
                static_cast<double>(row.bytes) / kPiece / row.seconds);
  const auto rate = [&](std::size_t i) { return static_cast<double>(rows[i].bytes) / rows[i].seconds; };
  std::printf("%-34s %10s %11.1f%%\n", "container / plain, cold", "", 100.0 * rate(3) / rate(2));
  std::printf("%-34s %10s %11.1f%%\n", "container / plain, warm", "", 100.0 * rate(5) / rate(4));

  std::filesystem::remove(plainPath);
  std::filesystem::remove(containerPath);
  return 0;
}

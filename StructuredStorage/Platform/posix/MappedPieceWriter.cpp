#include "Platform/posix/MappedPieceWriter.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

namespace qss {

namespace {

// Pieces per writev or gathering read; the system takes at least 1024.
constexpr int kPiecesPerWrite = 256;
// Bytes gathered into memory, then written, at a time.
constexpr std::size_t kGatherBytes = 1 << 20;
// A file that keeps growing under its readers is served the plain way once
// it has been mapped this many times.
constexpr std::size_t kMostMappings = 8;
// Regions whose pages are mapped together. Once an eighth of a region's
// pages were asked for, mapping the rest costs at most eight pages' mapping
// per page used, and the faults it saves cost more.
constexpr std::int64_t kRegionBytes = 16 << 20;
constexpr std::int64_t kPageBytes = 4096;
constexpr std::uint32_t kBusyRegionPages = kRegionBytes / kPageBytes / 8;
constexpr std::uint32_t kRegionMapped = std::numeric_limits<std::uint32_t>::max();
// A write of at least this many bytes tells whether faults are costly.
constexpr std::uint32_t kFaultSampleBytes = 1 << 20;

// Faults the calling thread has taken so far; -1 where the system does not
// say.
long ThreadFaults() {
#if defined(RUSAGE_THREAD)
  rusage usage {};
  if (::getrusage(RUSAGE_THREAD, &usage) == 0) return usage.ru_minflt + usage.ru_majflt;
#endif
  return -1;
}

}  // namespace

MappedPieceWriter::~MappedPieceWriter() {
  for (const auto& [start, length] : mappings_) ::munmap(start, length);
}

const unsigned char* MappedPieceWriter::MappingCovering(std::int64_t end) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!mappings_.empty() && static_cast<std::uint64_t>(end) <= mappings_.back().second)
    return static_cast<const unsigned char*>(mappings_.back().first);
  if (unavailable_) return nullptr;
  struct stat status {};
  if (::fstat(descriptor_, &status) != 0 || status.st_size < end) return nullptr;
  if (mappings_.size() >= kMostMappings ||
      static_cast<std::uint64_t>(status.st_size) > std::numeric_limits<std::size_t>::max()) {
    unavailable_ = true;
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(status.st_size);
  void* start = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor_, 0);
  if (start == MAP_FAILED) {
    unavailable_ = true;  // not a file the system maps, or not open for reading
    return nullptr;
  }
  mappings_.emplace_back(start, length);
  regionPages_.assign(static_cast<std::size_t>((status.st_size + kRegionBytes - 1) / kRegionBytes), 0);
  return static_cast<const unsigned char*>(start);
}

void MappedPieceWriter::MapBusyRegions(const unsigned char* base, const ReadPiece* pieces, std::size_t count) {
#if defined(MADV_POPULATE_READ)
  std::lock_guard<std::mutex> guard(lock_);
  if (mappings_.empty() || base != mappings_.back().first) return;  // a longer mapping came meanwhile
  const auto mappedEnd = static_cast<std::int64_t>(mappings_.back().second);
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t end = std::min(pieces[i].offset + pieces[i].length, mappedEnd);
    for (std::int64_t page = pieces[i].offset / kPageBytes * kPageBytes; page < end; page += kPageBytes) {
      const auto region = static_cast<std::size_t>(page / kRegionBytes);
      if (regionPages_[region] == kRegionMapped || ++regionPages_[region] < kBusyRegionPages) continue;
      regionPages_[region] = kRegionMapped;
      const std::int64_t first = static_cast<std::int64_t>(region) * kRegionBytes;
      // Only a saving: an older system without the request, or a file cut
      // short under the mapping, leaves the pages to the faults.
      static_cast<void>(::madvise(const_cast<unsigned char*>(base) + first,
                                  static_cast<std::size_t>(std::min(kRegionBytes, mappedEnd - first)),
                                  MADV_POPULATE_READ));
    }
  }
#else
  static_cast<void>(base);
  static_cast<void>(pieces);
  static_cast<void>(count);
#endif
}

QssResult MappedPieceWriter::Write(const ReadPiece* pieces, std::size_t count, int target, std::uint32_t* done,
                                   bool* refused) {
  *done = 0;
  *refused = false;
  std::int64_t end = 0;
  for (std::size_t i = 0; i < count; ++i) end = std::max(end, pieces[i].offset + pieces[i].length);
  const unsigned char* base = MappingCovering(end);
  if (base == nullptr) {
    *refused = true;
    return kQssOk;
  }
  const bool mapRegions = faultsCostly_.load(std::memory_order_relaxed);
  if (mapRegions) MapBusyRegions(base, pieces, count);
  const long faultsBefore = mapRegions ? -1 : ThreadFaults();
  PieceCursor cursor{pieces, count};
  QssResult result = kQssOk;
  if (gatherAllowed_.load(std::memory_order_relaxed)) result = Gather(base, target, &cursor, refused);
  if (QssSucceeded(result) && !*refused && !cursor.Finished()) result = WriteFromMapping(base, target, &cursor, refused);
  *done = cursor.total;
  if (faultsBefore >= 0 && cursor.total >= kFaultSampleBytes) {
    const long faults = ThreadFaults() - faultsBefore;
    if (faults * pagesPerFault_ * kPageBytes > static_cast<long>(cursor.total)) faultsCostly_ = true;
  }
  return result;
}

void MappedPieceWriter::PieceCursor::Advance(std::uint64_t bytes) {
  total += static_cast<std::uint32_t>(bytes);
  while (bytes > 0) {
    const std::uint32_t rest = pieces[next].length - written;
    if (bytes < rest) {
      written += static_cast<std::uint32_t>(bytes);
      return;
    }
    bytes -= rest;
    ++next;
    written = 0;
  }
  while (next < count && pieces[next].length == 0) ++next;
}

QssResult MappedPieceWriter::Gather(const unsigned char* base, int target, PieceCursor* cursor, bool* refused) {
  thread_local std::unique_ptr<unsigned char[]> buffer;
  if (!buffer) buffer = std::make_unique<unsigned char[]>(kGatherBytes);
  const pid_t self = ::getpid();  // asked each time: a forked child has its own
  iovec batch[kPiecesPerWrite];
  while (!cursor->Finished()) {
    int used = 0;
    std::size_t wanted = 0;
    for (std::size_t i = cursor->next; i < cursor->count && used < kPiecesPerWrite && wanted < kGatherBytes; ++i) {
      const std::uint32_t skip = i == cursor->next ? cursor->written : 0;
      const std::size_t length = std::min<std::size_t>(cursor->pieces[i].length - skip, kGatherBytes - wanted);
      batch[used].iov_base = const_cast<unsigned char*>(base + cursor->pieces[i].offset + skip);
      batch[used].iov_len = length;
      wanted += length;
      ++used;
    }
    const iovec into{buffer.get(), wanted};
    const ssize_t got = ::process_vm_readv(self, &into, 1, batch, static_cast<unsigned long>(used), 0);
    if (got < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EFAULT) {
        *refused = true;  // the file was cut short under the mapping
        return kQssOk;
      }
      // A sandbox that forbids reading process memory, or a system without
      // the call: the kernel copies from the mapping itself from now on.
      gatherAllowed_ = false;
      return kQssOk;
    }
    if (const QssResult result = WriteWhole(target, buffer.get(), static_cast<std::size_t>(got), cursor);
        QssFailed(result))
      return result;
    if (static_cast<std::size_t>(got) < wanted) {
      *refused = true;  // a page past the end of a file cut short
      return kQssOk;
    }
  }
  return kQssOk;
}

QssResult MappedPieceWriter::WriteWhole(int target, const unsigned char* bytes, std::size_t length,
                                        PieceCursor* cursor) {
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t n = ::write(target, bytes + sent, length - sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      return QssResultFromSystemError(errno);
    }
    if (n == 0) return QssResultFromSystemError(EIO);  // the system took nothing and gave no reason
    sent += static_cast<std::size_t>(n);
    cursor->Advance(static_cast<std::uint64_t>(n));
  }
  return kQssOk;
}

QssResult MappedPieceWriter::WriteFromMapping(const unsigned char* base, int target, PieceCursor* cursor,
                                              bool* refused) {
  iovec batch[kPiecesPerWrite];
  while (!cursor->Finished()) {
    int used = 0;
    for (std::size_t i = cursor->next; i < cursor->count && used < kPiecesPerWrite; ++i) {
      const std::uint32_t skip = i == cursor->next ? cursor->written : 0;
      batch[used].iov_base = const_cast<unsigned char*>(base + cursor->pieces[i].offset + skip);
      batch[used].iov_len = cursor->pieces[i].length - skip;
      ++used;
    }
    const ssize_t n = ::writev(target, batch, used);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EFAULT) {
        *refused = true;
        return kQssOk;
      }
      return QssResultFromSystemError(error);
    }
    if (n == 0) return QssResultFromSystemError(EIO);  // the system took nothing and gave no reason
    cursor->Advance(static_cast<std::uint64_t>(n));
  }
  return kQssOk;
}

}  // namespace qss

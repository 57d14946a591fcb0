#include "Platform/posix/MappedPieceWriter.h"

// Only Linux has the calls these copies are made of; elsewhere files copy
// the plain way.
#if defined(__linux__)

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

#include "Base/ScratchVector.h"

namespace qss {

namespace {

// Pieces per writev or gathering read; the system takes at least 1024.
constexpr int kPiecesPerWrite = 256;
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
  // The gathering call takes its faults inside the kernel, on both threads
  // at once; mapping regions ahead would only make one thread take them
  // alone. It pays where this thread faults the pages in itself, writing
  // straight from the mapping.
  const bool fromMapping = !gatherAllowed_.load(std::memory_order_relaxed);
  const bool mapRegions = fromMapping && faultsCostly_.load(std::memory_order_relaxed);
  if (mapRegions) MapBusyRegions(base, pieces, count);
  const long faultsBefore = fromMapping && !mapRegions ? ThreadFaults() : -1;
  PieceCursor cursor{pieces, count};
  QssResult result = kQssOk;
  std::uint64_t mine = 0;  // bytes this thread took from the mapping, for the faults it took
  if (!fromMapping) result = Gather(base, target, &cursor, refused, &mine);
  if (QssSucceeded(result) && !*refused && !cursor.Finished()) {
    const std::uint32_t before = cursor.total;
    result = WriteFromMapping(base, target, &cursor, refused);
    mine += cursor.total - before;
  }
  *done = cursor.total;
  if (faultsBefore >= 0 && mine >= kFaultSampleBytes) {
    const long faults = ThreadFaults() - faultsBefore;
    if (faults * pagesPerFault_ * kPageBytes > static_cast<long>(mine)) faultsCostly_ = true;
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

void MappedPieceWriter::PlanBatches(const unsigned char* base, const PieceCursor& cursor, std::vector<iovec>* ranges,
                                    std::vector<GatherBatch>* batches) {
  // The batches' pieces are counted while the ranges grow, and pointed to
  // once the ranges stop moving.
  ranges->clear();
  batches->clear();
  ranges->reserve(cursor.count - cursor.next);
  std::size_t batchBytes = 0;
  std::size_t first = 0;
  const auto close = [&] {
    if (ranges->size() > first) {
      batches->push_back(GatherBatch{nullptr, static_cast<int>(ranges->size() - first), batchBytes});
    }
    first = ranges->size();
    batchBytes = 0;
  };
  for (std::size_t i = cursor.next; i < cursor.count; ++i) {
    std::uint32_t from = i == cursor.next ? cursor.written : 0;
    while (from < cursor.pieces[i].length) {
      if (batchBytes == GatheredCopy::kBufferBytes || ranges->size() - first == kPiecesPerWrite) close();
      const auto length = static_cast<std::uint32_t>(
          std::min<std::size_t>(cursor.pieces[i].length - from, GatheredCopy::kBufferBytes - batchBytes));
      ranges->push_back(iovec{const_cast<unsigned char*>(base + cursor.pieces[i].offset + from), length});
      batchBytes += length;
      from += length;
    }
  }
  close();
  const iovec* next = ranges->data();
  for (GatherBatch& batch : *batches) {
    batch.pieces = next;
    next += batch.count;
  }
}

QssResult MappedPieceWriter::Gather(const unsigned char* base, int target, PieceCursor* cursor, bool* refused,
                                    std::uint64_t* gathered) {
  thread_local std::unique_ptr<unsigned char[]> buffer;
  if (!buffer) buffer = std::make_unique<unsigned char[]>(GatheredCopy::kBufferBytes);
  thread_local std::vector<iovec> spareRanges;
  thread_local std::vector<GatherBatch> spareBatches;
  ScratchVector<iovec> ranges(&spareRanges);
  ScratchVector<GatherBatch> batches(&spareBatches);
  PlanBatches(base, *cursor, ranges.get(), batches.get());
  if (batches->empty()) return kQssOk;
  const bool shared = batches->size() > 1;
  GatheredCopy copy(*batches, target);
  if (shared && helper_.Take(&copy)) {
    *gathered = copy.Run(0, 2, buffer.get());
    copy.WaitForHelper();
  } else {
    *gathered = copy.Run(0, 1, buffer.get());
  }
  cursor->Advance(copy.written());
  if (copy.disallowed()) gatherAllowed_ = false;  // the kernel copies from the mapping itself from now on
  *refused = copy.refused();
  return copy.result();
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

#endif  // __linux__

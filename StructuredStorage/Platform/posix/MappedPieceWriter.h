#ifndef QSS_PLATFORM_POSIX_MAPPEDPIECEWRITER_H_
#define QSS_PLATFORM_POSIX_MAPPEDPIECEWRITER_H_

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "Platform/posix/GatheredCopy.h"
#include "qss/CPhysicalByteArray.h"
#include "qss/ResultCodes.h"

namespace qss {

// Writes scattered pieces of one file to another file from a read-only
// mapping of the source, a batch of pieces at a time, without a system call
// per piece: the kernel gathers a batch from the mapping into memory in one
// call (process_vm_readv on this process), and one write sends it. Where a
// write has several batches, a second thread gathers every other one, so
// that one batch is gathered while the one before is written.
//
// The kernel could also write straight from the mapping (writev). But a
// first access to each page of a new mapping through the processor's own
// translation costs far more than the copy on some machines (virtual ones),
// while the gathering call finds the pages in software and copies through
// the kernel's own mapping of memory. Where the system refuses that call (a
// sandbox), the writer falls back to writev.
//
// Only the kernel ever touches the mapping. A page it cannot fault in (the
// file was cut short under it) fails the call with EFAULT where a read by
// this process would have raised SIGBUS; the writer then refuses, and the
// caller reads the rest the plain way, which reports the short file.
//
// A fault on the mapping maps the pages around the one touched too, as a
// rule. Where it does not (pages that have sat in the cache a while can
// take a fault each), the faults cost more than the copies: once a write
// took a fault for every few pages, a region of the file the pieces keep
// coming back to (a scattered chain spread over the whole file) has its
// pages mapped in one request instead, once an eighth of them were asked
// for. Where faults are few, that request would only add its own cost. This
// is for writes straight from the mapping only: the gathering call takes its
// faults in the kernel on both threads at once, where one request would make
// one thread map the pages alone.
//
// Threads: any number may write at once. A mapping is never unmapped before
// the writer goes, since another thread may still be writing from it; a file
// that grew gets a new, longer mapping, up to a few of them.
class MappedPieceWriter {
 public:
  // Faults are costly when a write takes one for fewer pages than this.
  static constexpr long kPagesPerFault = 4;

  // gather false writes straight from the mapping from the start.
  explicit MappedPieceWriter(int descriptor, long pagesPerFault = kPagesPerFault, bool gather = true)
      : descriptor_(descriptor), pagesPerFault_(pagesPerFault), gatherAllowed_(gather) {}
  ~MappedPieceWriter();
  MappedPieceWriter(const MappedPieceWriter&) = delete;
  MappedPieceWriter& operator=(const MappedPieceWriter&) = delete;

  // Writes the pieces' bytes (their buffers are not used) in order at
  // target's position. *done receives the bytes written. *refused is set,
  // with nothing more written, when the pieces cannot be mapped (a piece
  // past the end of the file, a file the system will not map) or a page
  // could not be faulted in; a failure writing target is the result.
  QssResult Write(const ReadPiece* pieces, std::size_t count, int target, std::uint32_t* done, bool* refused);

 private:
  // Where a write stands in its pieces.
  struct PieceCursor {
    const ReadPiece* pieces;
    std::size_t count;
    std::size_t next = 0;       // the first piece not wholly written
    std::uint32_t written = 0;  // bytes of it already written
    std::uint32_t total = 0;    // bytes written in all
    bool Finished() const { return next >= count; }
    // Counts bytes written past the cursor.
    void Advance(std::uint64_t bytes);
  };

  // The cursor's pieces as ranges of the mapping at base, in *ranges, and
  // *batches of them that each fill at most a buffer; a piece longer than
  // what is left of a batch goes on in the next.
  static void PlanBatches(const unsigned char* base, const PieceCursor& cursor, std::vector<iovec>* ranges,
                          std::vector<GatherBatch>* batches);
  // Gathers the cursor's pieces from the mapping at base into memory and
  // writes them to target, until done, refused or no longer allowed, with
  // the helper thread where it is free. *gathered receives the bytes this
  // thread gathered.
  QssResult Gather(const unsigned char* base, int target, PieceCursor* cursor, bool* refused,
                   std::uint64_t* gathered);
  // Writes the cursor's pieces to target straight from the mapping at base.
  QssResult WriteFromMapping(const unsigned char* base, int target, PieceCursor* cursor, bool* refused);
  // The start of a mapping of at least end bytes, or null.
  const unsigned char* MappingCovering(std::int64_t end);
  // Counts the pieces' pages against their regions of the mapping at base,
  // and maps the pages of each region that has had enough.
  void MapBusyRegions(const unsigned char* base, const ReadPiece* pieces, std::size_t count);

  const int descriptor_;
  const long pagesPerFault_;
  std::mutex lock_;
  // Every mapping made (start, length); the longest, current one last.
  std::vector<std::pair<void*, std::size_t>> mappings_;
  // Pages asked for in each region of the current mapping; kRegionMapped
  // once the region's pages were mapped.
  std::vector<std::uint32_t> regionPages_;
  // A write took a fault for every few pages: regions are mapped whole.
  std::atomic<bool> faultsCostly_{false};
  // The system lets this process gather from its own memory.
  std::atomic<bool> gatherAllowed_;
  // Takes every other batch of a gathered write, one write at a time.
  GatherHelper helper_;
  bool unavailable_ = false;
};

}  // namespace qss

#endif  // QSS_PLATFORM_POSIX_MAPPEDPIECEWRITER_H_

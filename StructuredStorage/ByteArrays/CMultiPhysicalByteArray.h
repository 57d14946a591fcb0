// CMultiPhysicalByteArray: one byte array spread over numbered segments of a
// fixed size.
//
// Segment 1 holds bytes 0 to segmentSize-1, segment 2 the next segmentSize
// bytes, and so on; only the last may be shorter. This class does the
// arithmetic (which segment, where in it, how a transfer is cut at segment
// boundaries, how a new size is spread) and leaves making, opening, deleting
// and measuring one segment to four primitives. It has no lock: a subclass
// that is shared between threads serialises the calls (see CMultiFileArray).
//
// Segment n >= 2 is named basePath + ".F" + four digits, so at most
// kMaxSegmentCount segments can exist; an array that would need more is
// refused.

#ifndef STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIPHYSICALBYTEARRAY_H_
#define STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIPHYSICALBYTEARRAY_H_

#include <cstdint>
#include <filesystem>
#include <vector>

#include "qss/CPhysicalByteArray.h"
#include "qss/CQssRef.h"
#include "qss/Segments.h"

namespace qss {

class CMultiPhysicalByteArray : public CPhysicalByteArray {
 public:
  // A segmentSize of 0 or less means kDefaultSegmentSize.
  explicit CMultiPhysicalByteArray(std::filesystem::path basePath, std::int64_t segmentSize = kDefaultSegmentSize);
  ~CMultiPhysicalByteArray() override;

  // Flush and SetTimestamp go to every segment and return the first failure,
  // so that one segment left unflushed is not hidden by those after it.
  QssResult Flush() override;
  // Reads what the segments hold; a read whose start lies beyond the last
  // segment reads nothing and succeeds.
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  // Pieces are cut at segment boundaries; those of one segment that follow
  // each other go to it together.
  QssResult ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) override;
  QssResult CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target, std::uint32_t* bytesMoved,
                         bool* refused) override;
  QssResult CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source, std::int64_t sourceOffset,
                           std::uint32_t* bytesMoved, bool* refused) override;
  QssResult CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                               std::uint32_t* bytesMoved, bool* refused) override;
  // Grows the array first when the write runs past its end.
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  // With no segment held, measures the segment files on disk instead.
  QssResult GetSize(std::int64_t* size) override;
  // Creates or drops segments as needed. A shrink that ends on a segment
  // boundary keeps the next segment, empty; dropped segments are truncated,
  // closed and left on disk. Refused while segment files exist on disk but
  // none is held (neither Open nor Create was called).
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(FileTime time) override;
  // Deletes the segment files 1, 2, 3, ... now, up to the first that cannot be
  // deleted. Held segments stay held.
  QssResult Remove() override;

  // Starts a new array of one empty segment (after Remove).
  virtual QssResult Create();
  // Opens the segments that exist, from segment 1 upwards, and takes the
  // segment size from segment 1 when there are several (or when a single one
  // is larger than the configured size). kQssNotFound when segment 1 does not
  // exist; the failure itself (and no segment held) when a segment that
  // exists does not open.
  virtual QssResult Open();

  // The name of segment n (n >= 1): basePath, or basePath.F0002 and so on.
  std::filesystem::path BuildSegmentName(std::int32_t n) const { return SegmentName(basePath_, n); }
  // The same for any base path, for those who name files of an array they
  // do not hold.
  static std::filesystem::path SegmentName(const std::filesystem::path& basePath, std::int32_t n);

  std::int64_t segmentSize() const { return segmentSize_; }
  std::int32_t segmentCount() const { return static_cast<std::int32_t>(segments_.size()); }
  const std::filesystem::path& basePath() const { return basePath_; }

 protected:
  // CreateSegment and OpenSegment produce a segment at reference count 0; the
  // caller takes the reference. CreateSegment truncates an existing segment.
  virtual QssResult CreateSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) = 0;
  virtual QssResult OpenSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) = 0;
  virtual QssResult DeleteSegment(const std::filesystem::path& name) = 0;
  virtual QssResult QuerySegmentLength(const std::filesystem::path& name, std::int64_t* length) = 0;

  // Releases every held segment (closing its file).
  void ReleaseSegments();
  // Deletes segment files 1, 2, 3, ... until a deletion fails.
  void DeleteSegmentFiles();

  std::int64_t segmentSize_;
  // Element i is segment i + 1.
  std::vector<CQssRef<CPhysicalByteArray>> segments_;
  std::filesystem::path basePath_;

 private:
  template <typename Transfer>
  QssResult TransferAcrossSegments(std::int64_t offset, std::uint32_t count, std::uint32_t* done, Transfer transfer);
  // Runs operation on every held segment; the first failure, else the last result.
  template <typename Operation>
  QssResult ForEverySegment(Operation operation);
  QssResult Grow(std::int64_t size);
  QssResult Shrink(std::int64_t current, std::int64_t size);
  // Runs CreateSegment or OpenSegment and takes the segment into *segment at
  // once, so that one produced by a failing call is released too (*segment
  // is then empty). Returns what the call returned.
  template <typename Produce>
  QssResult ProduceSegment(Produce produce, CQssRef<CPhysicalByteArray>* segment);
  void DropLastSegment();
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIPHYSICALBYTEARRAY_H_

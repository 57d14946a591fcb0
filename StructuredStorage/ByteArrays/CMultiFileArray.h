// CMultiPhysicalByteArray, CMultiFileArray: one byte array spread over
// numbered segments of a fixed size.
//
// Segment 1 holds bytes 0 to segmentSize-1, segment 2 the next segmentSize
// bytes, and so on; only the last may be shorter. CMultiPhysicalByteArray
// does the arithmetic and leaves making, opening, deleting and measuring one
// segment to four primitives. CMultiFileArray implements them with files
// named basePath, basePath.F0002, basePath.F0003, ... and serialises the data
// operations with its lock.

#ifndef STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIFILEARRAY_H_
#define STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIFILEARRAY_H_

#include <cstdint>
#include <filesystem>

#include "Base/CLock.h"
#include "ByteArrays/CPhysicalByteArray.h"

inline constexpr std::int64_t kDefaultSegmentSize = 10000000000LL;

class CMultiPhysicalByteArray : public CPhysicalByteArray {
 public:
  explicit CMultiPhysicalByteArray(std::filesystem::path basePath, std::int64_t segmentSize = kDefaultSegmentSize);
  ~CMultiPhysicalByteArray() override;

  QssResult Flush() override;
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  QssResult GetSize(std::int64_t* size) override;
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(native_file::FileTime time) override;
  QssResult Remove() override;

  // Starts a new array of one empty segment.
  virtual QssResult Create();
  // Opens the segments that exist, from segment 1 upwards.
  virtual QssResult Open();

  // The name of segment n (n >= 1).
  std::filesystem::path BuildSegmentName(std::int32_t n) const;

  std::int64_t segmentSize() const { return segmentSize_; }
  std::int32_t segmentCount() const { return segmentCount_; }
  const std::filesystem::path& basePath() const { return basePath_; }

 protected:
  // Each produces a segment at reference count 0; the caller takes the reference.
  virtual QssResult CreateSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) = 0;
  virtual QssResult OpenSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) = 0;
  virtual QssResult DeleteSegment(const std::filesystem::path& name) = 0;
  virtual QssResult QuerySegmentLength(const std::filesystem::path& name, std::int64_t* length) = 0;

  void ReleaseSegments();

  std::int64_t segmentSize_;
  std::int32_t segmentCount_ = 0;
  CPhysicalByteArray** segments_ = nullptr;
  std::int32_t segmentCapacity_ = 0;
  std::filesystem::path basePath_;
};

class CMultiFileArray : public CMultiPhysicalByteArray {
 public:
  CMultiFileArray(std::filesystem::path basePath, std::uint32_t desiredAccess, std::uint32_t shareMode,
                  std::uint32_t flagsAndAttributes, std::int64_t segmentSize = kDefaultSegmentSize);
  ~CMultiFileArray() override;

  QssResult Flush() override;
  QssResult ReadAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t* bytesRead) override;
  QssResult WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                    std::uint32_t* bytesWritten) override;
  QssResult GetSize(std::int64_t* size) override;
  QssResult SetSize(std::int64_t size) override;
  QssResult SetTimestamp(native_file::FileTime time) override;
  // Marks the segment files for deletion when the array is destroyed.
  QssResult Remove() override;

 protected:
  QssResult CreateSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) override;
  QssResult OpenSegment(const std::filesystem::path& name, CPhysicalByteArray** segment) override;
  QssResult DeleteSegment(const std::filesystem::path& name) override;
  QssResult QuerySegmentLength(const std::filesystem::path& name, std::int64_t* length) override;

 private:
  std::uint32_t desiredAccess_;
  std::uint32_t shareMode_;
  std::uint32_t flagsAndAttributes_;
  bool removeOnDestroy_ = false;
  CLock lock_;
};

#endif  // STRUCTUREDSTORAGE_BYTEARRAYS_CMULTIFILEARRAY_H_

#include "ByteArrays/CMultiPhysicalByteArray.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace qss {

namespace {

constexpr std::int64_t kMaxOffset = std::numeric_limits<std::int64_t>::max();

// How a walk of pieces by segment ended.
enum class PieceWalkEnd {
  kAll,              // every piece was handed on
  kBadRange,         // a piece's range does not fit in 64 bits
  kNoBuffer,         // a piece that needs a buffer has none
  kPastLastSegment,  // a piece reaches beyond the last segment
  kStopped,          // send asked to stop
};

// Cuts the pieces at segment boundaries and hands the consecutive pieces of
// one segment, with offsets inside it, to send(segment, batch, size) together;
// send returns false to stop. What comes before a piece that ends the walk
// is handed on first. withBuffers: each piece carries its buffer, which is
// cut along with it.
template <typename Send>
PieceWalkEnd WalkPiecesBySegment(const ReadPiece* pieces, std::size_t count, std::int64_t segmentSize,
                                 std::int64_t segmentCount, bool withBuffers, Send send) {
  // Pieces that all lie in the first segment (a container of one file, or
  // the start of any) go on as they are, without a copy.
  const bool allInFirst = segmentCount > 0 && std::all_of(pieces, pieces + count, [&](const ReadPiece& piece) {
    return piece.length > 0 && piece.offset >= 0 && piece.offset <= segmentSize - piece.length &&
           (!withBuffers || piece.buffer != nullptr);
  });
  if (allInFirst) return count == 0 || send(0, pieces, count) ? PieceWalkEnd::kAll : PieceWalkEnd::kStopped;

  std::vector<ReadPiece> batch;
  std::int64_t batchSegment = -1;
  const auto sendBatch = [&]() {
    if (batch.empty()) return true;
    const bool goOn = send(batchSegment, batch.data(), batch.size());
    batch.clear();
    return goOn;
  };
  const auto end = [&](PieceWalkEnd why) { return sendBatch() ? why : PieceWalkEnd::kStopped; };
  for (std::size_t i = 0; i < count; ++i) {
    const ReadPiece& piece = pieces[i];
    if (piece.length == 0) continue;
    if (piece.offset < 0 || piece.offset > kMaxOffset - piece.length) return end(PieceWalkEnd::kBadRange);
    if (withBuffers && piece.buffer == nullptr) return end(PieceWalkEnd::kNoBuffer);
    std::int64_t offset = piece.offset;
    auto* bytes = static_cast<unsigned char*>(piece.buffer);
    std::uint32_t left = piece.length;
    while (left > 0) {
      const std::int64_t index = offset / segmentSize;
      if (index >= segmentCount) return end(PieceWalkEnd::kPastLastSegment);
      if (index != batchSegment && !sendBatch()) return PieceWalkEnd::kStopped;
      batchSegment = index;
      const std::int64_t within = offset - index * segmentSize;
      const auto chunk = static_cast<std::uint32_t>(std::min<std::int64_t>(left, segmentSize - within));
      batch.push_back(ReadPiece{within, withBuffers ? bytes : nullptr, chunk});
      if (withBuffers) bytes += chunk;
      offset += chunk;
      left -= chunk;
    }
  }
  return end(PieceWalkEnd::kAll);
}

}  // namespace

CMultiPhysicalByteArray::CMultiPhysicalByteArray(std::filesystem::path basePath, std::int64_t segmentSize)
    : segmentSize_(segmentSize > 0 ? segmentSize : kDefaultSegmentSize), basePath_(std::move(basePath)) {}

CMultiPhysicalByteArray::~CMultiPhysicalByteArray() { ReleaseSegments(); }

std::filesystem::path CMultiPhysicalByteArray::SegmentName(const std::filesystem::path& basePath, std::int32_t n) {
  if (n <= 1) return basePath;
  // Only the last four digits appear; callers never go past kMaxSegmentCount,
  // where names would start to repeat.
  std::string suffix = ".F0000";
  for (std::size_t position = suffix.size(); position-- > 2;) {
    suffix[position] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  std::filesystem::path name = basePath;
  name += suffix;
  return name;
}

template <typename Produce>
QssResult CMultiPhysicalByteArray::ProduceSegment(Produce produce, CQssRef<CPhysicalByteArray>* segment) {
  CPhysicalByteArray* produced = nullptr;
  const QssResult result = produce(&produced);
  *segment = CQssRef<CPhysicalByteArray>(produced);
  if (QssFailed(result)) segment->Reset();
  return result;
}

void CMultiPhysicalByteArray::DropLastSegment() { segments_.pop_back(); }

void CMultiPhysicalByteArray::ReleaseSegments() {
  // Moved out first: a segment's teardown then sees no half-emptied vector.
  std::vector<CQssRef<CPhysicalByteArray>> held = std::move(segments_);
  segments_.clear();
}

void CMultiPhysicalByteArray::DeleteSegmentFiles() {
  for (std::int32_t n = 1; n <= kMaxSegmentCount; ++n) {
    if (QssFailed(DeleteSegment(BuildSegmentName(n)))) break;
  }
}

QssResult CMultiPhysicalByteArray::Remove() {
  DeleteSegmentFiles();
  return kQssOk;
}

QssResult CMultiPhysicalByteArray::Create() {
  // Closed first: a platform may refuse to delete a file that is open.
  ReleaseSegments();
  if (QssResult removed = Remove(); QssFailed(removed)) return removed;
  CQssRef<CPhysicalByteArray> first;
  const QssResult result =
      ProduceSegment([this](CPhysicalByteArray** made) { return CreateSegment(basePath_, made); }, &first);
  if (QssFailed(result)) return result;
  if (!first) return kQssUnspecifiedFailure;
  segments_.push_back(std::move(first));
  return result;
}

QssResult CMultiPhysicalByteArray::Open() {
  ReleaseSegments();
  while (segmentCount() < kMaxSegmentCount) {
    CQssRef<CPhysicalByteArray> segment;
    // The first missing segment ends the array. One that exists but does not
    // open (too many open files, no access, not a file) is a failure: taking
    // it for the end would cut the container short without a word.
    const std::filesystem::path name = BuildSegmentName(segmentCount() + 1);
    const QssResult opened =
        ProduceSegment([this, &name](CPhysicalByteArray** made) { return OpenSegment(name, made); }, &segment);
    if (!segment) {
      std::int64_t length = 0;
      if (QssFailed(opened) && QssSucceeded(QuerySegmentLength(name, &length))) {
        ReleaseSegments();
        return opened;
      }
      break;
    }
    segments_.push_back(std::move(segment));
  }
  if (segments_.empty()) return kQssNotFound;

  std::int64_t firstSize = 0;
  if (QssFailed(segments_.front()->GetSize(&firstSize))) firstSize = 0;  // unmeasured: the configured size stays
  if (segmentCount() > 1) {
    // The array was written with the size of its first segment. An empty first
    // segment says nothing about that; the configured size stays.
    if (firstSize > 0) segmentSize_ = firstSize;
  } else if (firstSize > segmentSize_) {
    segmentSize_ = firstSize;  // one large file is one segment
  }
  return kQssOk;
}

template <typename Transfer>
QssResult CMultiPhysicalByteArray::TransferAcrossSegments(std::int64_t offset, std::uint32_t count,
                                                          std::uint32_t* done, Transfer transfer) {
  std::int64_t index = offset / segmentSize_;
  std::int64_t offsetInSegment = offset - index * segmentSize_;
  std::uint32_t total = 0;
  QssResult result = kQssOk;
  while (total < count && index < segmentCount()) {
    std::uint32_t chunk = count - total;
    if (chunk > segmentSize_ - offsetInSegment) chunk = static_cast<std::uint32_t>(segmentSize_ - offsetInSegment);
    std::uint32_t moved = 0;
    result = transfer(segments_[static_cast<std::size_t>(index)].get(), offsetInSegment, total, chunk, &moved);
    total += moved;
    // A short segment ends the transfer: the next segment's bytes belong
    // further on than where the buffer has reached.
    if (moved < chunk) break;
    ++index;
    offsetInSegment = 0;
  }
  if (done) *done = total;
  return result;
}

QssResult CMultiPhysicalByteArray::ReadAt(std::int64_t offset, void* buffer, std::uint32_t count,
                                          std::uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (offset < 0 || offset > kMaxOffset - count) return kQssInvalidArgument;
  if (count != 0 && buffer == nullptr) return kQssInvalidPointer;
  auto* bytes = static_cast<unsigned char*>(buffer);
  return TransferAcrossSegments(
      offset, count, bytesRead,
      [bytes](CPhysicalByteArray* segment, std::int64_t at, std::uint32_t from, std::uint32_t chunk,
              std::uint32_t* moved) { return segment->ReadAt(at, bytes + from, chunk, moved); });
}

QssResult CMultiPhysicalByteArray::ReadPieces(const ReadPiece* pieces, std::size_t count, std::uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  std::uint32_t total = 0;
  QssResult result = kQssOk;
  const PieceWalkEnd end = WalkPiecesBySegment(
      pieces, count, segmentSize_, segmentCount(), true,
      [&](std::int64_t segment, const ReadPiece* batch, std::size_t size) {
        std::uint64_t wanted = 0;
        for (std::size_t i = 0; i < size; ++i) wanted += batch[i].length;
        std::uint32_t got = 0;
        result = segments_[static_cast<std::size_t>(segment)]->ReadPieces(batch, size, &got);
        total += got;
        // Pieces that did not all arrive end the whole read.
        return QssSucceeded(result) && got == wanted;
      });
  // Beyond the last segment there is nothing to read, as in ReadAt.
  if (end == PieceWalkEnd::kBadRange) result = kQssInvalidArgument;
  if (end == PieceWalkEnd::kNoBuffer) result = kQssInvalidPointer;
  if (bytesRead) *bytesRead = total;
  return result;
}

QssResult CMultiPhysicalByteArray::CopyToHandle(std::int64_t offset, std::uint32_t count, std::intptr_t target,
                                                std::uint32_t* bytesMoved, bool* refused) {
  if (bytesMoved) *bytesMoved = 0;
  if (refused) *refused = false;
  if (offset < 0 || offset > kMaxOffset - count) return kQssInvalidArgument;
  bool declined = false;
  const QssResult result = TransferAcrossSegments(
      offset, count, bytesMoved,
      [target, &declined](CPhysicalByteArray* segment, std::int64_t at, std::uint32_t, std::uint32_t chunk,
                          std::uint32_t* moved) {
        const QssResult copied = segment->CopyToHandle(at, chunk, target, moved, &declined);
        return copied;
      });
  if (refused) *refused = declined;
  return result;
}

QssResult CMultiPhysicalByteArray::CopyPiecesToHandle(const ReadPiece* pieces, std::size_t count, std::intptr_t target,
                                                      std::uint32_t* bytesMoved, bool* refused) {
  if (bytesMoved) *bytesMoved = 0;
  if (refused) *refused = false;
  std::uint32_t total = 0;
  bool declined = false;
  QssResult result = kQssOk;
  const PieceWalkEnd end = WalkPiecesBySegment(
      pieces, count, segmentSize_, segmentCount(), false,
      [&](std::int64_t segment, const ReadPiece* batch, std::size_t size) {
        std::uint32_t moved = 0;
        result = segments_[static_cast<std::size_t>(segment)]->CopyPiecesToHandle(batch, size, target, &moved,
                                                                               &declined);
        total += moved;
        return QssSucceeded(result) && !declined;
      });
  // A piece the segments cannot serve is the caller's to move.
  if (end == PieceWalkEnd::kBadRange || end == PieceWalkEnd::kPastLastSegment) declined = true;
  if (bytesMoved) *bytesMoved = total;
  if (refused) *refused = declined;
  return result;
}

QssResult CMultiPhysicalByteArray::CopyFromHandle(std::int64_t offset, std::uint32_t count, std::intptr_t source,
                                                  std::int64_t sourceOffset, std::uint32_t* bytesMoved,
                                                  bool* refused) {
  if (bytesMoved) *bytesMoved = 0;
  if (refused) *refused = false;
  if (offset < 0 || offset > kMaxOffset - count || sourceOffset < 0 || sourceOffset > kMaxOffset - count)
    return kQssInvalidArgument;
  std::int64_t size = 0;
  if (QssResult sized = GetSize(&size); QssFailed(sized)) return sized;
  if (offset + count > size) {
    // Growing the store (and adding segments) is WriteAt's business.
    if (refused) *refused = true;
    return kQssOk;
  }
  bool declined = false;
  const QssResult result = TransferAcrossSegments(
      offset, count, bytesMoved,
      [source, sourceOffset, &declined](CPhysicalByteArray* segment, std::int64_t at, std::uint32_t from,
                                        std::uint32_t chunk, std::uint32_t* moved) {
        return segment->CopyFromHandle(at, chunk, source, sourceOffset + from, moved, &declined);
      });
  if (refused) *refused = declined;
  return result;
}

QssResult CMultiPhysicalByteArray::WriteAt(std::int64_t offset, const void* buffer, std::uint32_t count,
                                           std::uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (buffer == nullptr) return kQssInvalidPointer;
  if (offset < 0 || offset > kMaxOffset - count) return kQssInvalidArgument;
  std::int64_t size = 0;
  QssResult extended = GetSize(&size);
  if (QssSucceeded(extended) && offset + count > size) extended = SetSize(offset + count);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t done = 0;
  QssResult result = TransferAcrossSegments(
      offset, count, &done,
      [bytes](CPhysicalByteArray* segment, std::int64_t at, std::uint32_t from, std::uint32_t chunk,
              std::uint32_t* moved) { return segment->WriteAt(at, bytes + from, chunk, moved); });
  // Bytes that found no segment (the array could not grow, or holds no
  // segments yet) are a failure, even when every segment call succeeded.
  if (done < count && QssSucceeded(result)) result = QssFailed(extended) ? extended : kQssUnspecifiedFailure;
  if (bytesWritten) *bytesWritten = done;
  return result;
}

QssResult CMultiPhysicalByteArray::GetSize(std::int64_t* size) {
  if (size) *size = 0;
  std::int64_t total = 0;
  QssResult result = kQssOk;
  if (segments_.empty()) {
    // Nothing is open: measure the files on disk.
    for (std::int32_t n = 1; n <= kMaxSegmentCount; ++n) {
      std::int64_t length = 0;
      if (QssFailed(QuerySegmentLength(BuildSegmentName(n), &length))) break;
      if (length < 0 || length > kMaxOffset - total) return kQssInvalidArgument;
      total += length;
    }
  } else {
    std::int64_t lastSize = 0;
    result = segments_.back()->GetSize(&lastSize);
    // Segment sizes come from the files (Open), so the sum may not fit.
    const std::int64_t fullSegments = segmentCount() - 1;
    if (fullSegments > kMaxOffset / segmentSize_) return kQssInvalidArgument;
    const std::int64_t before = fullSegments * segmentSize_;
    if (lastSize < 0 || lastSize > kMaxOffset - before) return kQssInvalidArgument;
    total = before + lastSize;
  }
  if (size) *size = total;
  return result;
}

QssResult CMultiPhysicalByteArray::SetSize(std::int64_t size) {
  if (size < 0) return kQssInvalidArgument;
  std::int64_t current = 0;
  const QssResult measured = GetSize(&current);
  if (QssFailed(measured)) return measured;
  if (size == current) return kQssOk;
  // Segment files on disk that are not open: growing would create (and so
  // truncate) them from segment 1 on, shrinking could not reach them.
  if (segments_.empty() && current > 0) return kQssUnspecifiedFailure;
  return size > current ? Grow(size) : Shrink(current, size);
}

QssResult CMultiPhysicalByteArray::Grow(std::int64_t size) {
  const std::int64_t lastIndex = (size - 1) / segmentSize_;
  // Segment kMaxSegmentCount + 1 would be named like an earlier segment.
  if (lastIndex >= kMaxSegmentCount) return kQssInvalidArgument;
  const std::int64_t tail = size - lastIndex * segmentSize_;  // 1 to segmentSize

  if (lastIndex >= segmentCount()) {
    if (!segments_.empty()) {
      const QssResult filled = segments_.back()->SetSize(segmentSize_);
      if (QssFailed(filled)) return filled;
    }
    segments_.reserve(static_cast<std::size_t>(lastIndex + 1));
    for (std::int64_t index = segmentCount(); index <= lastIndex; ++index) {
      CQssRef<CPhysicalByteArray> segment;
      const std::filesystem::path name = BuildSegmentName(static_cast<std::int32_t>(index + 1));
      const QssResult created =
          ProduceSegment([this, &name](CPhysicalByteArray** made) { return CreateSegment(name, made); }, &segment);
      if (QssFailed(created)) return created;
      if (!segment) return kQssUnspecifiedFailure;
      segments_.push_back(std::move(segment));
      if (index < lastIndex) {
        const QssResult filled = segments_.back()->SetSize(segmentSize_);
        if (QssFailed(filled)) {
          DropLastSegment();
          return filled;
        }
      }
    }
  }
  return segments_.back()->SetSize(tail);
}

QssResult CMultiPhysicalByteArray::Shrink(std::int64_t current, std::int64_t size) {
  std::int64_t remaining = current - size;
  while (remaining > 0 && !segments_.empty()) {
    CPhysicalByteArray* last = segments_.back().get();
    std::int64_t lastSize = 0;
    const QssResult measured = last->GetSize(&lastSize);
    if (QssFailed(measured)) return measured;
    if (lastSize >= remaining) {
      // Ends inside this segment, or on its start: then it stays, empty.
      const QssResult cut = last->SetSize(lastSize - remaining);
      if (QssFailed(cut)) return cut;
      remaining = 0;
    } else {
      const QssResult cut = last->SetSize(0);
      if (QssFailed(cut)) return cut;
      remaining -= lastSize;
      DropLastSegment();
    }
  }
  return kQssOk;
}

template <typename Operation>
QssResult CMultiPhysicalByteArray::ForEverySegment(Operation operation) {
  QssResult first = kQssOk;
  for (const CQssRef<CPhysicalByteArray>& segment : segments_) {
    const QssResult result = operation(segment.get());
    if (QssSucceeded(first)) first = result;
  }
  return first;
}

QssResult CMultiPhysicalByteArray::Flush() {
  return ForEverySegment([](CPhysicalByteArray* segment) { return segment->Flush(); });
}

QssResult CMultiPhysicalByteArray::SetTimestamp(FileTime time) {
  return ForEverySegment([time](CPhysicalByteArray* segment) { return segment->SetTimestamp(time); });
}

}  // namespace qss

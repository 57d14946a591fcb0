#include "Container/CCompressedStream.h"

#include <lz4.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "qss/CLockGuard.h"
#include "Format/Format.h"
#include "Platform/NativeMemory.h"
#include "qss/CStorageEntry.h"
#include "qss/CompressedImage.h"
#include "qss/NativeFile.h"

namespace qss {

namespace {
static_assert(kMaxCompressedContentLength == LZ4_MAX_INPUT_SIZE, "the format's longest content is LZ4's largest input");
constexpr std::uint8_t kFillByte = 0x20;

std::int32_t Low32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

// Room that in-place decompression needs beyond the content's length. The
// compressed block ends the buffer, so the distance from output to unread
// input is this margin plus what the rest of the block still expands by
// (at most one byte in 255 plus two) and must stay wider than the decoder's
// overlong copies (32 bytes). The margin LZ4 documents, (length >> 8) + 32,
// falls a few bytes short: a short well-compressed stretch before a long
// incompressible one garbled the content.
std::int64_t InPlaceMargin(std::int64_t contentLength) { return (contentLength >> 7) + 256; }

// Buffers from this length on lie on huge pages, where the system offers
// them: a few megabytes more of address space is nothing beside them.
constexpr std::int64_t kHugeBufferMinimum = 4 * static_cast<std::int64_t>(native_memory::kHugePageBytes);

// An image's buffer is handed to the caller as it is.
std::unique_ptr<std::uint8_t[]> TryAllocate(std::int64_t length) {
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(length)]);
}

}  // namespace

void CCompressedStream::BufferRelease::operator()(std::uint8_t* bytes) const {
  if (huge) {
    native_memory::ReleaseHugeAligned(bytes);
  } else {
    delete[] bytes;
  }
}

// Working buffers are as large as the content; their failure is a result,
// not the end of the program.
CCompressedStream::ContentBuffer CCompressedStream::TryAllocateContent(std::int64_t length) {
  const auto bytes = static_cast<std::size_t>(length);
  if (length < kHugeBufferMinimum) return ContentBuffer(new (std::nothrow) std::uint8_t[bytes], BufferRelease{false});
  return ContentBuffer(static_cast<std::uint8_t*>(native_memory::AllocateHugeAligned(bytes)), BufferRelease{true});
}

bool CCompressedStream::IsCompressed() const {
  return entry_ && static_cast<std::int64_t>(entry_->StoredLength()) != entry_->Size();
}

void CCompressedStream::DropContent() {
  content_.reset();
  contentLength_ = 0;
}

QssResult CCompressedStream::Write(const void* buffer, std::int32_t count, std::uint32_t* written) {
  if (written) *written = 0;
  if (!entry_) return kQssInvalidRequest;
  if (entry_->readOnly) return kQssReadOnly;
  CLockGuard guard(lock_);
  if (count < 0) return kQssInvalidArgument;
  if (entry_->Size() == 0) return WriteFirst(buffer, count, written);
  if (count == 0) return kQssOk;
  if (!IsCompressed()) {
    if (position_ < 0 || position_ > kMaxCompressedContentLength - count) return kQssInvalidArgument;
    return WritePlain(buffer, count, written);
  }
  return Rewrite(buffer, count, written);
}

QssResult CCompressedStream::WritePlain(const void* buffer, std::int32_t count, std::uint32_t* written) {
  DropContent();
  const QssResult result = CStream::Write(buffer, count, written);
  // Whatever the write achieved, the entry describes plain content of the
  // length actually stored.
  entry_->SetStoredLength(Low32(entry_->Size()));
  return result;
}

QssResult CompressContent(const void* content, std::int32_t length, CompressedImage* image) {
  if (image == nullptr || (content == nullptr && length > 0)) return kQssInvalidPointer;
  *image = CompressedImage{};
  if (length < 0 || length > kMaxCompressedContentLength) return kQssInvalidArgument;
  image->contentLength = length;
  if (length == 0) return kQssOk;
  const int bound = LZ4_compressBound(length);
  auto bytes = TryAllocate(kCompressedImageHeaderSize + static_cast<std::int64_t>(bound));
  if (!bytes) return kQssOutOfMemory;
  const int compressed = LZ4_compress_default(static_cast<const char*>(content),
                                              reinterpret_cast<char*>(bytes.get() + kCompressedImageHeaderSize),
                                              length, bound);
  const std::int64_t imageLength = kCompressedImageHeaderSize + static_cast<std::int64_t>(compressed);
  // Content that would not shrink is stored plain.
  if (compressed <= 0 || imageLength >= length) return kQssOk;
  CompressedImageHeader imageHeader;
  imageHeader.contentLength = static_cast<std::uint32_t>(length);
  imageHeader.imageLength = static_cast<std::uint32_t>(imageLength);
  imageHeader.EncodeTo(bytes.get());
  image->bytes = std::move(bytes);
  image->length = static_cast<std::int32_t>(imageLength);
  return kQssOk;
}

QssResult WriteCompressedImage(CStream* stream, const void* content, std::int32_t length,
                               const CompressedImage& image, std::uint32_t* written) {
  if (written) *written = 0;
  auto* compressed = dynamic_cast<CCompressedStream*>(stream);
  if (compressed == nullptr || image.contentLength != length) return kQssInvalidRequest;
  return compressed->WriteImage(content, length, image, written);
}

QssResult CCompressedStream::WriteImage(const void* buffer, std::int32_t count, const CompressedImage& image,
                                        std::uint32_t* written) {
  if (written) *written = 0;
  if (!entry_) return kQssInvalidRequest;
  if (entry_->readOnly) return kQssReadOnly;
  CLockGuard guard(lock_);
  if (entry_->Size() != 0) return kQssInvalidRequest;
  return StoreFirst(buffer, count, image, written);
}

QssResult CCompressedStream::WriteFirst(const void* buffer, std::int32_t count, std::uint32_t* written) {
  CompressedImage image;
  if (QssResult result = CompressContent(buffer, count, &image); QssFailed(result)) return result;
  return StoreFirst(buffer, count, image, written);
}

QssResult CCompressedStream::StoreFirst(const void* buffer, std::int32_t count, const CompressedImage& image,
                                        std::uint32_t* written) {
  DropContent();
  // New content is always stored from the start of the chain, where the mode
  // test and Read expect it.
  position_ = 0;
  logicalPosition_ = count;
  if (!image.compressed()) return WritePlain(buffer, count, written);
  const std::int32_t imageLength = image.length;

  std::uint32_t stored = 0;
  const QssResult result = CStream::Write(image.bytes.get(), imageLength, &stored);
  if (QssFailed(result) || stored != static_cast<std::uint32_t>(imageLength)) {
    // A partial image is no content at all: leave the stream empty rather
    // than an entry that describes an image that is not there. Blocks that
    // cannot be freed stay on the chain, behind a length of 0.
    static_cast<void>(CStream::SetSize(0));
    entry_->SetSize(0);
    entry_->SetStoredLength(0);
    position_ = 0;
    logicalPosition_ = 0;
    return QssFailed(result) ? result : kQssWriteFault;
  }
  entry_->SetStoredLength(imageLength);
  entry_->SetSize(count);
  if (written) *written = static_cast<std::uint32_t>(count);
  return result;
}

QssResult CCompressedStream::Rewrite(const void* buffer, std::int32_t count, std::uint32_t* written) {
  const std::int64_t position = logicalPosition_;
  if (position < 0) return kQssInvalidArgument;
  const std::int64_t newLength = std::max(entry_->Size(), position + count);
  if (newLength > kMaxCompressedContentLength) return kQssInvalidArgument;

  // Content that cannot be read back is not silently replaced by fill bytes.
  // A previous Read may have left the content decompressed already.
  const QssResult loaded = LoadContent();
  if (loaded != kQssOk) return loaded;
  auto patched = TryAllocateContent(newLength);
  if (!patched) return kQssOutOfMemory;
  std::memset(patched.get(), kFillByte, static_cast<std::size_t>(newLength));
  std::memcpy(patched.get(), content_.get(), static_cast<std::size_t>(contentLength_));
  std::memcpy(patched.get() + position, buffer, static_cast<std::size_t>(count));
  DropContent();

  // Empty the stream (the chain stays; the new image overwrites it from the
  // start) and store the whole content again by the first-write rule.
  const std::int64_t heldBefore = entry_->StoredLength();
  logicalPosition_ = 0;
  position_ = 0;
  entry_->SetStoredLength(0);
  entry_->SetSize(0);
  QssResult result = WriteFirst(patched.get(), static_cast<std::int32_t>(newLength), nullptr);
  if (QssSucceeded(result)) result = FreeBlocksPast(heldBefore);
  if (QssSucceeded(result)) result = Seek(position + count, kSeekBegin, nullptr);
  if (result == kQssOk && written) *written = static_cast<std::uint32_t>(count);
  return result;
}

QssResult CCompressedStream::FreeBlocksPast(std::int64_t heldBefore) {
  const std::int64_t size = entry_->Size();
  const std::int32_t storedLength = entry_->StoredLength();
  if (heldBefore <= storedLength) return kQssOk;
  // The chain's own length, for the plain stream's shrinking; the entry's
  // fields are put back whatever it achieved.
  entry_->SetSize(heldBefore);
  const QssResult result = CStream::SetSize(storedLength);
  entry_->SetSize(size);
  entry_->SetStoredLength(storedLength);
  return result;
}

QssResult CCompressedStream::LoadContent() {
  if (content_) return kQssOk;
  const std::int64_t size = entry_->Size();
  const std::int32_t storedLength = entry_->StoredLength();
  // The entry alone must describe an image LZ4 could have made.
  if (storedLength < kCompressedImageHeaderSize || size <= 0 || size > kMaxCompressedContentLength ||
      size > kMaxCompressionRatio * (storedLength - kCompressedImageHeaderSize)) {
    return kQssNotAContainer;
  }

  std::uint8_t header[kCompressedImageHeaderSize];
  std::uint32_t got = 0;
  position_ = 0;
  QssResult result = CStream::Read(header, kCompressedImageHeaderSize, &got);
  if (QssFailed(result) || got != static_cast<std::uint32_t>(kCompressedImageHeaderSize)) return kQssNotAContainer;
  CompressedImageHeader imageHeader;
  if (QssFailed(CompressedImageHeader::Decode(header, got, &imageHeader)) ||
      !imageHeader.Describes(size, storedLength)) {
    return kQssNotAContainer;
  }
  // The chain must really hold the whole image before a buffer of the length
  // the entry claims is made.
  std::uint8_t last = 0;
  position_ = storedLength - 1;
  result = CStream::Read(&last, 1, &got);
  if (QssFailed(result) || got != 1) return kQssNotAContainer;

  // The image is read into the tail of the content's own buffer and
  // decompressed in place: no second buffer of the image's length, and the
  // pages the image lands in are pages the content fills anyway.
  const std::int64_t bufferLength = std::max<std::int64_t>(size + InPlaceMargin(size), storedLength);
  auto content = TryAllocateContent(bufferLength);
  if (!content) return kQssOutOfMemory;
  std::uint8_t* image = content.get() + (bufferLength - storedLength);
  position_ = 0;
  result = CStream::Read(image, storedLength, &got);
  if (QssFailed(result) || got != static_cast<std::uint32_t>(storedLength)) return kQssNotAContainer;
  if (std::memcmp(image, header, kCompressedImageHeaderSize) != 0) return kQssNotAContainer;
  const int decompressed = LZ4_decompress_safe(reinterpret_cast<const char*>(image + kCompressedImageHeaderSize),
                                               reinterpret_cast<char*>(content.get()),
                                               storedLength - kCompressedImageHeaderSize, static_cast<int>(size));
  if (decompressed < 0) return kQssNotAContainer;
  content_ = std::move(content);
  contentLength_ = decompressed;
  return kQssOk;
}

QssResult CCompressedStream::Read(void* buffer, std::int32_t count, std::uint32_t* read) {
  if (!entry_) return kQssInvalidRequest;
  CLockGuard guard(lock_);
  if (!IsCompressed()) return CStream::Read(buffer, count, read);
  if (read) *read = 0;
  if (count < 0) return kQssInvalidArgument;
  if (count == 0) return kQssOk;
  const QssResult loaded = LoadContent();
  if (loaded != kQssOk) return loaded;
  if (logicalPosition_ < 0) return kQssBeforeHead;
  const std::int64_t available = std::max<std::int64_t>(0, contentLength_ - static_cast<std::int64_t>(logicalPosition_));
  const std::int64_t n = std::min<std::int64_t>(count, available);
  if (n > 0) std::memcpy(buffer, content_.get() + logicalPosition_, static_cast<std::size_t>(n));
  logicalPosition_ += static_cast<std::int32_t>(n);
  if (read) *read = static_cast<std::uint32_t>(n);
  return kQssOk;
}

QssResult CCompressedStream::ReadToFile(std::int32_t count, std::intptr_t target, void* buffer, FileCopyState* state,
                                        std::uint32_t* read) {
  if (!entry_) return kQssInvalidRequest;
  CLockGuard guard(lock_);
  if (!IsCompressed()) return CStream::ReadToFile(count, target, buffer, state, read);
  if (read) *read = 0;
  if (state == nullptr || buffer == nullptr) return kQssInvalidPointer;
  std::uint32_t got = 0;
  const QssResult result = Read(buffer, count, &got);
  if (result != kQssOk || got == 0) return result;
  std::uint32_t written = 0;
  QssResult sent = native_file::WriteToHandle(target, buffer, got, &written);
  if (QssSucceeded(sent) && written < got) sent = kQssWriteFault;
  // Bytes read but not written are read again by the next call.
  logicalPosition_ -= static_cast<std::int32_t>(got - written);
  if (read) *read = written;
  if (QssFailed(sent)) state->targetFailed = true;
  return sent;
}

QssResult CCompressedStream::WriteFromFile(std::int32_t, std::intptr_t, std::int64_t, FileCopyState* state,
                                           std::uint32_t* written) {
  if (written) *written = 0;
  if (state == nullptr) return kQssInvalidPointer;
  state->kernelRefused = true;
  return kQssOk;
}

QssResult CCompressedStream::SetSize(std::int64_t newSize) {
  if (!entry_) return kQssInvalidRequest;
  CLockGuard guard(lock_);
  if (newSize < 0 || newSize > kMaxCompressedContentLength) return kQssInvalidArgument;
  DropContent();
  if (!IsCompressed()) {
    const QssResult result = CStream::SetSize(newSize);
    entry_->SetStoredLength(Low32(entry_->Size()));
    return result;
  }
  // Compressed content changes only as a whole.
  if (newSize != 0) return kQssInvalidRequest;
  logicalPosition_ = 0;
  entry_->SetStoredLength(0);
  return CStream::SetSize(0);
}

QssResult CCompressedStream::Seek(std::int64_t offset, std::int32_t origin, std::int64_t* newPosition) {
  CLockGuard guard(lock_);
  if (!IsCompressed()) return CStream::Seek(offset, origin, newPosition);
  // The logical position is 32-bit: only the low 32 bits of offset count.
  const auto delta = static_cast<std::uint32_t>(static_cast<std::uint64_t>(offset));
  auto position = static_cast<std::uint32_t>(logicalPosition_);
  switch (origin) {
    case kSeekBegin:
      position = delta;
      break;
    case kSeekCurrent:
      position += delta;
      break;
    case kSeekEnd:
      position = static_cast<std::uint32_t>(Low32(entry_->Size())) - delta;
      break;
    default:
      break;
  }
  logicalPosition_ = static_cast<std::int32_t>(position);
  if (newPosition) *newPosition = logicalPosition_;
  return kQssOk;
}

}  // namespace qss

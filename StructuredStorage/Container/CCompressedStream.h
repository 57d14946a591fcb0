// CCompressedStream: a stream whose content is stored as one LZ4 block.
//
// The stored image is a header (CompressedImageHeader, Format/Format.h) and
// the content compressed as a single LZ4 block.
// Content that would not shrink is stored plain, and then the stream behaves
// exactly as a CStream. The entry's storedLength tells the two apart: plain
// when it equals size, compressed otherwise. Compressed content changes only
// as a whole: a resize to another non-zero length is refused
// (kQssInvalidRequest), and an image that does not restore reads as
// kQssNotAContainer.

#ifndef STRUCTUREDSTORAGE_CONTAINER_CCOMPRESSEDSTREAM_H_
#define STRUCTUREDSTORAGE_CONTAINER_CCOMPRESSEDSTREAM_H_

#include <cstdint>
#include <memory>

#include "Format/Format.h"
#include "qss/CStream.h"

namespace qss {

struct CompressedImage;

class CCompressedStream : public CStream {
 public:
  CCompressedStream() = default;

  QssResult Write(const void* buffer, std::int32_t count, std::uint32_t* written) override;
  QssResult Read(void* buffer, std::int32_t count, std::uint32_t* read) override;
  // Compressed content goes through buffer: it exists only decompressed.
  QssResult ReadToFile(std::int32_t count, std::intptr_t target, void* buffer, FileCopyState* state,
                       std::uint32_t* read) override;
  // Refused (state->kernelRefused): content is stored compressed, so the
  // caller's Write must see it.
  QssResult WriteFromFile(std::int32_t count, std::intptr_t source, std::int64_t sourceOffset, FileCopyState* state,
                          std::uint32_t* written) override;
  QssResult SetSize(std::int64_t newSize) override;
  QssResult Seek(std::int64_t offset, std::int32_t origin, std::int64_t* newPosition) override;

  bool IsCompressed() const;
  // The first write, with the content compressed already (see
  // WriteCompressedImage).
  QssResult WriteImage(const void* buffer, std::int32_t count, const CompressedImage& image, std::uint32_t* written);

 private:
  QssResult WriteFirst(const void* buffer, std::int32_t count, std::uint32_t* written);
  QssResult StoreFirst(const void* buffer, std::int32_t count, const CompressedImage& image, std::uint32_t* written);
  QssResult Rewrite(const void* buffer, std::int32_t count, std::uint32_t* written);
  // Frees the blocks past those the stored bytes now need, of a chain that
  // held heldBefore bytes: a rewrite stores its content over the old chain
  // from the start, and a shorter image leaves the rest behind.
  QssResult FreeBlocksPast(std::int64_t heldBefore);
  // Stores count bytes plain at the current position, keeping the content
  // marked plain (storedLength = size).
  QssResult WritePlain(const void* buffer, std::int32_t count, std::uint32_t* written);
  // Reads and checks the stored image and keeps its decompressed content
  // until the next Write or SetSize. kQssNotAContainer when the image is not
  // valid.
  QssResult LoadContent();
  void DropContent();

  // Frees a buffer as long as a whole content. A long one was aligned to
  // huge pages and asked for them: a fault then maps 2 MiB of a content
  // that is written from end to end anyway, not 4 KiB.
  struct BufferRelease {
    bool huge;
    void operator()(std::uint8_t* bytes) const;
  };
  using ContentBuffer = std::unique_ptr<std::uint8_t[], BufferRelease>;
  // A buffer of length bytes, or null when there is no memory for it.
  static ContentBuffer TryAllocateContent(std::int64_t length);

  std::int32_t logicalPosition_ = 0;
  // The decompressed content, so that reading it in pieces decompresses once.
  ContentBuffer content_;
  std::int32_t contentLength_ = 0;
};

}  // namespace qss

#endif  // STRUCTUREDSTORAGE_CONTAINER_CCOMPRESSEDSTREAM_H_

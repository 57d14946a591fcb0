// CompressedImage: a compressed stream's content, compressed ahead of
// storing it.
//
// A compressed stream compresses its content in its first Write, under the
// container's locks. A writer with several files to store can instead
// compress the next ones on other threads with CompressContent while it
// stores the current one with WriteCompressedImage: the container receives
// exactly the bytes, in the order, that Write would have stored.

#ifndef QSS_COMPRESSEDIMAGE_H_
#define QSS_COMPRESSEDIMAGE_H_

#include <cstdint>
#include <memory>

#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

class CStream;

/// A compressed stream's stored image, made ahead of storing it; the image
/// owns its bytes.
struct CompressedImage {
  /// The stored image (header and LZ4 block); empty when the content would
  /// not shrink and is stored plain.
  std::unique_ptr<std::uint8_t[]> bytes;
  /// Bytes of the image.
  std::int32_t length = 0;
  /// The length of the content it was made from.
  std::int32_t contentLength = 0;

  /// Whether the content is stored compressed (false: plain).
  bool compressed() const { return bytes != nullptr; }
};

/// Compresses length bytes of content (at most 2113929216) the way a
/// compressed stream's first Write does. Safe on any thread; it touches no
/// container. kQssOutOfMemory when the image's buffer cannot be had.
QSS_EXPORT QssResult CompressContent(const void* content, std::int32_t length, CompressedImage* image);

/// Stores content through image, which CompressContent made of it, as the
/// first write of the empty compressed stream stream: the same bytes as
/// stream->Write(content, length, written). kQssInvalidRequest for any
/// other stream, a stream that is not empty, or an image of other content's
/// length.
QSS_EXPORT QssResult WriteCompressedImage(CStream* stream, const void* content, std::int32_t length,
                                          const CompressedImage& image, std::uint32_t* written);

}  // namespace qss

#endif  // QSS_COMPRESSEDIMAGE_H_

// CreateContainer: writes a new, empty container into a byte array.
//
// The header gets the magic, entryWidth, blockSize, a dataOffset of at least
// 256 that is a multiple of the block size, tableStart 1 and a root record
// (flags storage, firstBlock -1, size 0); block 1 is the first allocation
// table block. Open the result with CRootStorage.

#ifndef QSS_CREATECONTAINER_H_
#define QSS_CREATECONTAINER_H_

#include <cstdint>

#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

class CPhysicalByteArray;

/// entryWidth 2, 4 or 8; blockSize a power of two below 2^31 and at least
/// twice entryWidth (a table block describes itself and more). Anything else:
/// kQssInvalidArgument, nothing written. A write of the byte array that stores
/// fewer bytes than given is kQssWriteFault.
QSS_EXPORT QssResult CreateContainer(CPhysicalByteArray* array, std::int32_t entryWidth, std::int32_t blockSize);

}  // namespace qss

#endif  // QSS_CREATECONTAINER_H_

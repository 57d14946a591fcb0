#include "Platform/NativeMemory.h"

namespace qss::native_memory {

// Large pages on Windows need a privilege a user rarely holds; buffers keep
// the usual pages.
void AdviseHugePages(void* /*start*/, std::size_t /*length*/) {}

bool HugePagesOnRequest() { return false; }

}  // namespace qss::native_memory

// The reading-side harness: treats a byte string as a container file.
//
// It opens the bytes as a root storage on a memory byte array, walks every
// storage and nested container to a bounded depth, reads every stream
// (plain and compressed) in pieces, twice with different piece sizes, and
// checks what a reader may rely on whatever the bytes say: results are codes,
// successful reads are consistent, an entry cannot be opened twice at once,
// and a walk that only reads leaves the bytes unchanged. Then the qss
// consistency checker meets the same bytes.
//
// It lives apart from the libFuzzer entry point so that an ordinary test can
// replay saved inputs through the very same code.

#ifndef FUZZ_CONTAINERREADHARNESS_H_
#define FUZZ_CONTAINERREADHARNESS_H_

#include <cstddef>
#include <cstdint>
#include <string>

struct ReadHarnessReport {
  bool opened = false;        // the bytes held a container that opened
  int storagesOpened = 0;     // sub-storages and nested containers walked
  int streamsRead = 0;        // streams opened and read
  std::int64_t bytesRead = 0;
  std::string problem;        // empty, or what went wrong: a fault of the library
};

ReadHarnessReport RunReadHarness(const std::uint8_t* data, std::size_t size);

#endif  // FUZZ_CONTAINERREADHARNESS_H_

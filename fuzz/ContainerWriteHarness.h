// The writing-side harness: a byte string decoded as a sequence of
// operations on a fresh container.
//
// The first byte chooses the container's entry width and block size; every
// further group of bytes is one operation: create a stream (plain or
// compressed), a storage or a nested container; write, seek, resize, read
// back; commit; release an object; open an existing entry by name; reopen
// the whole container. A model keeps what every stream must hold and what
// every call must answer; after each reopen the whole tree is read back and
// compared with it. Bytes that a resize adds have no defined value and are
// not compared.

#ifndef FUZZ_CONTAINERWRITEHARNESS_H_
#define FUZZ_CONTAINERWRITEHARNESS_H_

#include <cstddef>
#include <cstdint>
#include <string>

struct WriteHarnessReport {
  int operations = 0;
  int reopens = 0;
  int objectsCreated = 0;
  std::int64_t bytesWritten = 0;
  std::int64_t bytesVerified = 0;  // compared with the model after reopens
  std::string problem;  // empty, or the first disagreement with the model
};

WriteHarnessReport RunWriteHarness(const std::uint8_t* data, std::size_t size);

#endif  // FUZZ_CONTAINERWRITEHARNESS_H_

// Seed inputs for the fuzzers, made with the library's own writing side.
//
// Containers: every entry width, small and larger blocks, plain, compressed
// and incompressible streams, sub-storages, nested containers, a stream
// long enough for the chain cache, a stream with a head offset, and the
// smallest useful container built byte by byte. Operation strings for the
// writing-side harness are made from a fixed pseudo-random sequence.

#ifndef FUZZ_SEEDCONTAINERS_H_
#define FUZZ_SEEDCONTAINERS_H_

#include <cstdint>
#include <string>
#include <vector>

struct SeedInput {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

// Returns false (and what is made so far) when the library refused to build one.
bool MakeReadSeeds(std::vector<SeedInput>* seeds, std::string* problem);
std::vector<SeedInput> MakeWriteSeeds();

#endif  // FUZZ_SEEDCONTAINERS_H_

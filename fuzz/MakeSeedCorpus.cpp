// Writes the seed corpus of both fuzzers: containers into <dir>/read and
// operation strings into <dir>/write.

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "SeedContainers.h"

namespace {
bool WriteAll(const std::filesystem::path& folder, const std::vector<SeedInput>& seeds) {
  std::filesystem::create_directories(folder);
  for (const SeedInput& seed : seeds) {
    std::ofstream out(folder / seed.name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
    if (!out) return false;
  }
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: qss_fuzz_seeds DIRECTORY\n", stderr);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  std::vector<SeedInput> readSeeds;
  std::string problem;
  if (!MakeReadSeeds(&readSeeds, &problem)) {
    std::fprintf(stderr, "qss_fuzz_seeds: %s\n", problem.c_str());
    return 1;
  }
  if (!WriteAll(root / "read", readSeeds) || !WriteAll(root / "write", MakeWriteSeeds())) {
    std::fputs("qss_fuzz_seeds: cannot write the corpus\n", stderr);
    return 1;
  }
  std::printf("%zu container seeds, %zu operation seeds in %s\n", readSeeds.size(), MakeWriteSeeds().size(),
              root.string().c_str());
  return 0;
}

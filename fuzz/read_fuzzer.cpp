// libFuzzer entry point of the reading-side harness.

#include <cstdio>
#include <cstdlib>

#include "ContainerReadHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ReadHarnessReport report = RunReadHarness(data, size);
  if (!report.problem.empty()) {
    std::fprintf(stderr, "read harness: %s\n", report.problem.c_str());
    std::abort();
  }
  return 0;
}

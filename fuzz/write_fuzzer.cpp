// libFuzzer entry point of the writing-side harness.

#include <cstdio>
#include <cstdlib>

#include "ContainerWriteHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const WriteHarnessReport report = RunWriteHarness(data, size);
  if (!report.problem.empty()) {
    std::fprintf(stderr, "write harness: %s\n", report.problem.c_str());
    std::abort();
  }
  return 0;
}

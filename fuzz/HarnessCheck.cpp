#include "HarnessCheck.h"

#include <string>
#include <vector>

#include "qss/ContainerCheck.h"

using namespace qss;

int RunConsistencyCheck(CPhysicalByteArray* array) {
  std::vector<std::string> problems;
  // A refusal lists its reasons; the count is what the harness compares.
  static_cast<void>(CheckContainer(array, &problems));
  return static_cast<int>(problems.size());
}

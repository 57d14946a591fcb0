#include "HarnessCheck.h"

#include <string>
#include <vector>

#include "ContainerChecker.h"

int RunConsistencyCheck(CPhysicalByteArray* array) {
  std::vector<std::string> problems;
  qss::CheckContainer(array, &problems);
  return static_cast<int>(problems.size());
}

#include "HarnessCheck.h"

#include <string>
#include <vector>

#include "ContainerChecker.h"

using namespace qss;

int RunConsistencyCheck(CPhysicalByteArray* array) {
  std::vector<std::string> problems;
  qss_tool::CheckContainer(array, &problems);
  return static_cast<int>(problems.size());
}

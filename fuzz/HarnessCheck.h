// Runs the qss consistency checker over a container, when the build has it.
// Returns the number of problems it reported (0 without a checker).

#ifndef FUZZ_HARNESSCHECK_H_
#define FUZZ_HARNESSCHECK_H_

class CPhysicalByteArray;

int RunConsistencyCheck(CPhysicalByteArray* array);

#endif  // FUZZ_HARNESSCHECK_H_

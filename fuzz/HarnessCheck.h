// Runs the library's consistency check over a container and returns
// the number of problems it reported (0 for a sound container).

#ifndef FUZZ_HARNESSCHECK_H_
#define FUZZ_HARNESSCHECK_H_

namespace qss { class CPhysicalByteArray; }

int RunConsistencyCheck(qss::CPhysicalByteArray* array);

#endif  // FUZZ_HARNESSCHECK_H_

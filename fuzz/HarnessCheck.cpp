#include "HarnessCheck.h"

// Bound to the checker of the qss tool once it is part of the build.
int RunConsistencyCheck(CPhysicalByteArray*) { return 0; }

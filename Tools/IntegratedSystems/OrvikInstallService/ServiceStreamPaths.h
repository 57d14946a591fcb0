// g_serviceStreamPaths: where, inside the firmware package, the service
// executable may be stored, in the order the installer tries them.
//
// Each path is storage names separated by one backslash, ending in the name
// of a stream. Names are matched exactly as written.

#ifndef TOOLS_ORVIKINSTALLSERVICE_SERVICESTREAMPATHS_H_
#define TOOLS_ORVIKINSTALLSERVICE_SERVICESTREAMPATHS_H_

#include <string>
#include <vector>

extern const std::vector<std::u16string> g_serviceStreamPaths;

#endif  // TOOLS_ORVIKINSTALLSERVICE_SERVICESTREAMPATHS_H_

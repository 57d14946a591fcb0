// ServiceExtraction: taking the service executable out of the firmware
// package, putting it in the system directory and having it registered.
//
// The executable is copied into a temporary file first and then moved over
// the final name, so a half-written file never stands under the name the
// service runs from. When the final file is in use the move is left to the
// next restart, and registration runs anyway.

#ifndef TOOLS_ORVIKINSTALLSERVICE_SERVICEEXTRACTION_H_
#define TOOLS_ORVIKINSTALLSERVICE_SERVICEEXTRACTION_H_

#include <string>

#include "InstallerServices.h"

namespace qss { class CStorage; }

inline constexpr char16_t kTemporaryServiceFileName[] = u"Win_Talvane_Kivra7.tmp";
inline constexpr char16_t kServiceFileName[] = u"Win_Talvane_Kivra7.exe";

// Follows path (storage names separated by backslashes, then a stream name)
// from storage and copies the stream into outputPath. True when the stream
// was found and the file now holds all of it; false when the path cannot be
// followed, the stream cannot be opened or the copy could not be completed
// (then no file of ours is left at outputPath).
bool ExtractStream(InstallerServices& services, std::u16string path, qss::CStorage& storage,
                   const std::u16string& outputPath);

// Opens the package, extracts the service executable from the first of
// g_serviceStreamPaths that yields it, puts it in place and registers it.
// True when that happened; false when nothing could be extracted.
bool ExtractService(InstallerServices& services, const std::u16string& packagePath);

#endif  // TOOLS_ORVIKINSTALLSERVICE_SERVICEEXTRACTION_H_

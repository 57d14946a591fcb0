// NameText: entry names as text for people.
//
// Entry names are UTF-16 code units as stored and may hold unpaired
// surrogates, which no UTF-8 text can carry.

#ifndef QSS_NAMETEXT_H_
#define QSS_NAMETEXT_H_

#include <string>
#include <string_view>

#include "qss/Export.h"

namespace qss {

/// UTF-16 to UTF-8; every unpaired surrogate becomes U+FFFD.
QSS_EXPORT std::string EntryNameToUtf8(std::u16string_view name);
/// True when name holds no unpaired surrogate.
QSS_EXPORT bool IsWellFormedEntryName(std::u16string_view name);
/// The name for one-entry-per-line text (UTF-8): control characters shown as
/// `\xNN` and a backslash doubled, so that a name can neither break a line nor
/// pass for a path of several names.
QSS_EXPORT std::string PrintableEntryName(std::u16string_view name);

}  // namespace qss

#endif  // QSS_NAMETEXT_H_

// QssResultText: a result code in words, for messages to people.

#ifndef QSS_RESULTTEXT_H_
#define QSS_RESULTTEXT_H_

#include <string>

#include "qss/Export.h"
#include "qss/ResultCodes.h"

namespace qss {

/// What the code means, in lower-case words without a full stop ("no such
/// entry"). A code made from an operating-system error (0x8007xxxx) carries
/// the system's own text for that error ("No such file or directory"); a code
/// the library does not know is "unknown result 0x........". The hexadecimal
/// code itself is not part of the text.
QSS_EXPORT std::string QssResultText(QssResult code);

}  // namespace qss

#endif  // QSS_RESULTTEXT_H_

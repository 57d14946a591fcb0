#include "ServiceStreamPaths.h"

const std::vector<std::u16string> g_serviceStreamPaths = {
    u"Kivra7i\\KivMod7Win.bin",
    u"Kivra7i\\Win_Talvane_Kivra7.bin",
    u"Brova3i\\KivMod7Win.bin",
};

#include "qss/ResultText.h"

#include <cstdint>
#include <cstdio>

#include "qss/NativeFile.h"

namespace qss {

namespace {

const char* LibraryText(QssResult code) {
  switch (static_cast<std::int32_t>(code)) {
    case kQssOk: return "success";
    case kQssPartial: return "success with reservations";
    case kQssInvalidPointer: return "a buffer is not accessible";
    case kQssUnspecifiedFailure: return "unspecified failure";
    case kQssInvalidRequest: return "request not valid for this entry";
    case kQssNotFound: return "no such entry";
    case kQssAlreadyOpen: return "the entry is already open";
    case kQssNotAContainer: return "not a valid container, or damaged";
    case kQssBeforeHead: return "position before the stream's first readable byte";
    case kQssTruncated: return "the container is truncated";
    case kQssNotEmpty: return "the storage is not empty";
    case kQssNoRoomInPlace: return "no room to change the container in place (its allocation table would have to grow)";
    case kQssTableCannotGrow: return "the allocation table cannot grow";
    case kQssNullName: return "no name given";
    case kQssNullResult: return "no place for the result given";
    case kQssReadOnly: return "read-only";
    default: return nullptr;
  }
}

}  // namespace

std::string QssResultText(QssResult code) {
  if (const char* text = LibraryText(code)) return text;
  const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(code));
  if ((value & 0xFFFF0000u) == 0x80070000u) {
    // These three are the system's codes too, but the library uses them in a
    // sense of its own.
    if (code == kQssOutOfMemory) return "out of memory";
    if (code == kQssWriteFault) return "a write was cut short (disk full or file too large?)";
    if (code == kQssInvalidArgument) return "invalid argument (a negative or out-of-range offset, size or count)";
    std::string text = native_file::SystemErrorText(value & 0xFFFFu);
    if (!text.empty()) return text;
    char fallback[48];
    std::snprintf(fallback, sizeof(fallback), "system error %u", static_cast<unsigned>(value & 0xFFFFu));
    return fallback;
  }
  char unknown[48];
  std::snprintf(unknown, sizeof(unknown), "unknown result 0x%08x", static_cast<unsigned>(value));
  return unknown;
}

}  // namespace qss

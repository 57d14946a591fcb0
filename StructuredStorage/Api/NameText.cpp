#include "qss/NameText.h"

#include <cstdio>

namespace qss {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Calls visit(code point, wellFormed) for each code point of text.
template <typename Visit>
void DecodeUtf16(std::u16string_view text, Visit visit) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      visit(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00), true);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      visit(kReplacement, false);
    } else {
      visit(unit, true);
    }
  }
}

}  // namespace

std::string EntryNameToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  DecodeUtf16(text, [&](char32_t code, bool) { AppendUtf8(code, &out); });
  return out;
}

bool IsWellFormedEntryName(std::u16string_view text) {
  bool wellFormed = true;
  DecodeUtf16(text, [&](char32_t, bool ok) { wellFormed = wellFormed && ok; });
  return wellFormed;
}

std::string PrintableEntryName(std::u16string_view name) {
  std::string out;
  for (const char c : EntryNameToUtf8(name)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace qss

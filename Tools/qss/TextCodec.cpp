#include "TextCodec.h"

#include <cstdint>
#include <cstdio>

#include "qss/NameText.h"

namespace qss_tool {
std::string Utf16ToUtf8(std::u16string_view text) { return qss::EntryNameToUtf8(text); }

bool IsWellFormedUtf16(std::u16string_view text) { return qss::IsWellFormedEntryName(text); }

bool Utf8ToUtf16(std::string_view text, std::u16string* out) {
  out->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int length;
    char32_t code;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < static_cast<std::size_t>(length)) return false;
    for (int k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      out->push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += static_cast<std::size_t>(length);
  }
  return true;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string PrintableName(std::u16string_view name) { return qss::PrintableEntryName(name); }

bool FileNameFromEntryName(std::u16string_view name, std::filesystem::path* fileName, std::string* reason) {
  if (name.empty()) {
    *reason = "the name is empty";
    return false;
  }
  if (name == u"." || name == u"..") {
    *reason = "the name is \".\" or \"..\"";
    return false;
  }
  for (const char16_t unit : name) {
    if (unit == u'/') {
      *reason = "the name contains '/'";
      return false;
    }
    if (unit == 0) {
      *reason = "the name contains a NUL character";
      return false;
    }
#ifdef _WIN32
    // Windows separates folders with '\' as well, and a ':' names a drive
    // or a stream of a file: either would lead out of the target folder.
    if (unit == u'\\') {
      *reason = "the name contains '\\'";
      return false;
    }
    if (unit == u':') {
      *reason = "the name contains ':'";
      return false;
    }
#endif
  }
  if (!IsWellFormedUtf16(name)) {
    *reason = "the name contains an unpaired surrogate";
    return false;
  }
#ifdef _WIN32
  *fileName = std::filesystem::path(std::wstring(name.begin(), name.end()));
#else
  *fileName = std::filesystem::path(Utf16ToUtf8(name));
#endif
  return true;
}

bool EntryNameFromFileName(const std::filesystem::path& fileName, std::u16string* name) {
#ifdef _WIN32
  const std::wstring& native = fileName.native();
  *name = std::u16string(native.begin(), native.end());
  return IsWellFormedUtf16(*name);
#else
  return Utf8ToUtf16(fileName.native(), name);
#endif
}

std::filesystem::path PathFromArgument(const std::string& argument) {
#ifdef _WIN32
  std::u16string wide;
  if (Utf8ToUtf16(argument, &wide)) return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
#endif
  return std::filesystem::path(argument);
}

std::string DisplayPath(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::wstring& native = path.native();
  return Utf16ToUtf8(std::u16string(native.begin(), native.end()));
#else
  return path.native();
#endif
}

}  // namespace qss_tool

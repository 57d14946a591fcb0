#include "ConsolePrint.h"

namespace {

struct Directive {
  bool leftJustify = false;
  bool zeroPad = false;
  std::size_t width = 0;
  bool hasPrecision = false;
  std::size_t precision = 0;
  char16_t conversion = 0;
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads a run of digits, saturating instead of overflowing.
std::size_t ReadNumber(std::u16string_view format, std::size_t& i) {
  std::size_t value = 0;
  while (i < format.size() && IsDigit(format[i])) {
    if (value < 100000) value = value * 10 + (format[i] - u'0');
    ++i;
  }
  return value;
}

std::u16string NumberText(std::uint32_t number, char16_t conversion) {
  const bool negative = conversion == u'd' && static_cast<std::int32_t>(number) < 0;
  std::uint64_t magnitude = number;
  if (negative) magnitude = static_cast<std::uint64_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(number)));
  const unsigned base = (conversion == u'x' || conversion == u'X') ? 16 : 10;
  const char16_t* digits = conversion == u'X' ? u"0123456789ABCDEF" : u"0123456789abcdef";
  std::u16string text;
  do {
    text.insert(text.begin(), digits[magnitude % base]);
    magnitude /= base;
  } while (magnitude != 0);
  if (negative) text.insert(text.begin(), u'-');
  return text;
}

void AppendPadded(std::u16string& out, std::u16string_view body, const Directive& directive, bool numeric) {
  if (body.size() >= directive.width) {
    out.append(body);
    return;
  }
  const std::size_t padding = directive.width - body.size();
  if (directive.leftJustify) {
    out.append(body);
    out.append(padding, u' ');
  } else if (numeric && directive.zeroPad) {
    // Zeros go between the sign and the digits.
    if (!body.empty() && body.front() == u'-') {
      out.push_back(u'-');
      body.remove_prefix(1);
    }
    out.append(padding, u'0');
    out.append(body);
  } else {
    out.append(padding, u' ');
    out.append(body);
  }
}

}  // namespace

std::u16string FormatConsoleText(std::u16string_view format, std::span<const ConsoleArgument> arguments) {
  std::u16string out;
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    const char16_t c = format[i];
    if (c != u'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::size_t start = i++;
    Directive directive;
    for (; i < format.size() && (format[i] == u'-' || format[i] == u'0'); ++i) {
      (format[i] == u'-' ? directive.leftJustify : directive.zeroPad) = true;
    }
    directive.width = ReadNumber(format, i);
    if (i < format.size() && format[i] == u'.') {
      ++i;
      directive.hasPrecision = true;
      directive.precision = ReadNumber(format, i);
    }
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    directive.conversion = format[i++];
    switch (directive.conversion) {
      case u'%':
        out.push_back(u'%');
        break;
      case u's':
        if (next < arguments.size() && arguments[next].isText()) {
          std::u16string_view text = arguments[next].text();
          if (directive.hasPrecision) text = text.substr(0, directive.precision);
          AppendPadded(out, text, directive, false);
        }
        ++next;
        break;
      case u'x':
      case u'X':
      case u'u':
      case u'd':
        if (next < arguments.size() && !arguments[next].isText()) {
          AppendPadded(out, NumberText(arguments[next].number(), directive.conversion), directive, true);
        }
        ++next;
        break;
      default:
        out.append(format.substr(start, i - start));
        break;
    }
  }
  return out;
}

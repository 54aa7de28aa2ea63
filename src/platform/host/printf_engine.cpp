#include "platform/host/printf_engine.h"

#include <cstdint>
#include <cstdio>

namespace veltocam::host {

std::string ToUtf8(const WCHAR* text, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string ToUtf8(const std::u16string& text) {
  return ToUtf8(text.data(), text.size());
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    // A byte that starts no UTF-8 sequence is kept as Latin-1.
    std::uint32_t c = b;
    int extra = 0;
    if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, extra = 3;
    }
    if (extra > 0 && i + extra >= text.size()) extra = 0, c = b;  // truncated sequence
    for (int k = 1; k <= extra; ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

namespace {

std::size_t Length16(const WCHAR* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// The variable arguments, carried by reference between the engine's steps.
struct Arguments {
  va_list list;
};

// One conversion: "%", flags and width as written ("*" already replaced by
// its argument), the precision (-1 none), the length modifiers and the letter.
struct Conversion {
  std::string spec = "%";
  int precision = -1;
  int longs = 0;
  bool half = false;
  bool wide = false;
  bool size = false;
  char letter = 0;
};

template <typename FormatChar>
void ParseWidthAndPrecision(const FormatChar*& p, Arguments& a, Conversion& c) {
  while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
    c.spec += static_cast<char>(*p++);
  }
  if (*p == '*') {
    c.spec += std::to_string(va_arg(a.list, int));
    ++p;
  } else {
    while (*p >= '0' && *p <= '9') c.spec += static_cast<char>(*p++);
  }
  if (*p != '.') return;
  ++p;
  if (*p == '*') {
    c.precision = va_arg(a.list, int);
    ++p;
    return;
  }
  c.precision = 0;
  while (*p >= '0' && *p <= '9') c.precision = c.precision * 10 + (*p++ - '0');
}

// p points just after the '%'; on return, at the conversion letter.
template <typename FormatChar>
Conversion ParseConversion(const FormatChar*& p, Arguments& a) {
  Conversion c;
  ParseWidthAndPrecision(p, a, c);
  // Length modifiers: h, hh, l, ll, w (wide), I64, z.
  for (;;) {
    if (*p == 'l') {
      ++c.longs, ++p;
    } else if (*p == 'h') {
      c.half = true, ++p;
    } else if (*p == 'w') {
      c.wide = true, ++p;
    } else if (*p == 'z') {
      c.size = true, ++p;
    } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
      c.longs = 2, p += 3;
    } else {
      break;
    }
  }
  c.letter = static_cast<char>(*p);
  return c;
}

// The C library formats one number: the flags and width as given, the
// precision, then the length and letter for the argument's type.
template <typename T>
void AppendNumber(std::string& out, const Conversion& c, const char* length, T value) {
  std::string format = c.spec;
  if (c.precision >= 0) format.append(".").append(std::to_string(c.precision));
  format.append(length);
  format += c.letter;
  char buffer[128];
  const int n = std::snprintf(buffer, sizeof buffer, format.c_str(), value);
  if (n > 0)
    out.append(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

void AppendInteger(std::string& out, const Conversion& c, Arguments& a) {
  const bool isSigned = c.letter == 'd' || c.letter == 'i';
  if (c.longs >= 2) {
    if (isSigned) return AppendNumber(out, c, "ll", va_arg(a.list, long long));
    return AppendNumber(out, c, "ll", va_arg(a.list, unsigned long long));
  }
  if (c.longs == 1 || c.size) {
    if (isSigned) return AppendNumber(out, c, "l", va_arg(a.list, long));
    return AppendNumber(out, c, "l", va_arg(a.list, unsigned long));
  }
  if (isSigned) {
    const int v = va_arg(a.list, int);
    return AppendNumber(out, c, "", c.half ? static_cast<short>(v) : v);
  }
  const unsigned v = va_arg(a.list, unsigned);
  AppendNumber(out, c, "", c.half ? static_cast<unsigned short>(v) : v);
}

// Text conversions honour the precision (a cut) and the width (padding).
void AppendPadded(std::string& out, const Conversion& c, std::string text) {
  if (c.precision >= 0 && text.size() > static_cast<std::size_t>(c.precision)) {
    text.resize(static_cast<std::size_t>(c.precision));
  }
  const bool left = c.spec.find('-') != std::string::npos;
  std::size_t width = 0;
  for (char d : c.spec) {
    if (d >= '0' && d <= '9') width = width * 10 + static_cast<std::size_t>(d - '0');
  }
  if (text.size() < width) text.insert(left ? text.size() : 0, width - text.size(), ' ');
  out += text;
}

// In a narrow format %c/%s are narrow and %C/%S wide; in a wide format the
// other way round; w or l always means wide, h always narrow.
std::string TextArgument(const Conversion& c, Arguments& a, bool wideFormat) {
  const bool upper = c.letter == 'C' || c.letter == 'S';
  bool wide = c.wide || c.longs > 0 || upper != wideFormat;
  if (c.half) wide = false;
  if (c.letter == 'c' || c.letter == 'C') {
    const int v = va_arg(a.list, int);
    const auto ch = static_cast<WCHAR>(v);
    return wide ? ToUtf8(&ch, 1) : std::string(1, static_cast<char>(v));
  }
  if (wide) {
    const WCHAR* s = va_arg(a.list, const WCHAR*);
    return s == nullptr ? "(null)" : ToUtf8(s, Length16(s));
  }
  const char* s = va_arg(a.list, const char*);
  return s == nullptr ? "(null)" : s;
}

// %Z takes an ANSI_STRING*, %wZ a UNICODE_STRING*.
std::string CountedString(const Conversion& c, Arguments& a) {
  if (c.wide) {
    const UNICODE_STRING* s = va_arg(a.list, const UNICODE_STRING*);
    return s == nullptr || s->Buffer == nullptr ? "(null)" : ToUtf8(s->Buffer, s->Length / 2);
  }
  const ANSI_STRING* s = va_arg(a.list, const ANSI_STRING*);
  return s == nullptr || s->Buffer == nullptr ? "(null)" : std::string(s->Buffer, s->Length);
}

void AppendConversion(std::string& out, const Conversion& c, Arguments& a, bool wideFormat) {
  switch (c.letter) {
    case '%':
      out += '%';
      break;
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      AppendInteger(out, c, a);
      break;
    case 'p':
      AppendNumber(out, c, "", va_arg(a.list, void*));
      break;
    case 'c':
    case 'C':
    case 's':
    case 'S':
      AppendPadded(out, c, TextArgument(c, a, wideFormat));
      break;
    case 'Z':
      AppendPadded(out, c, CountedString(c, a));
      break;
    default:
      // Unknown conversion: keep it visible rather than guess its argument.
      out += c.spec + c.letter;
      break;
  }
}

// Formats into UTF-8; FormatWide converts the result. Both formats share one
// parser: the format's own width decides which of %s and %S is wide.
template <typename FormatChar>
std::string Format(const FormatChar* format, va_list args, bool wideFormat) {
  Arguments a;
  va_copy(a.list, args);
  std::string out;
  for (const FormatChar* p = format; *p != 0; ++p) {
    if (*p != '%') {
      const auto ch = static_cast<WCHAR>(*p);
      if constexpr (sizeof(FormatChar) == 1) {
        out += static_cast<char>(*p);
      } else {
        out += ToUtf8(&ch, 1);
      }
      continue;
    }
    ++p;
    const Conversion c = ParseConversion(p, a);
    if (c.letter == 0) break;
    AppendConversion(out, c, a, wideFormat);
  }
  va_end(a.list);
  return out;
}

}  // namespace

std::string FormatNarrow(const char* format, va_list args) {
  return Format(format, args, false);
}

std::u16string FormatWide(const WCHAR* format, va_list args) {
  return FromUtf8(Format(format, args, true));
}

}  // namespace veltocam::host

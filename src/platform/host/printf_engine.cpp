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

// Formats into UTF-8; FormatWide converts the result. Both formats share one
// parser: the format's own width decides which of %s and %S is wide.
template <typename FormatChar>
std::string Format(const FormatChar* format, va_list args, bool wideFormat) {
  std::string out;
  for (const FormatChar* p = format; *p != 0; ++p) {
    if (*p != '%') {
      if constexpr (sizeof(FormatChar) == 1) {
        out += static_cast<char>(*p);
      } else {
        WCHAR c = static_cast<WCHAR>(*p);
        out += ToUtf8(&c, 1);
      }
      continue;
    }
    std::string spec = "%";
    ++p;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0')
      spec += static_cast<char>(*p++);
    if (*p == '*') {
      spec += std::to_string(va_arg(args, int));
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') spec += static_cast<char>(*p++);
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        precision = 0;
        while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
      }
    }
    // Length modifiers: h, hh, l, ll, w (wide), I64, z.
    int longs = 0;
    bool half = false, wide = false, size = false;
    for (;;) {
      if (*p == 'l') {
        ++longs, ++p;
      } else if (*p == 'h') {
        half = true, ++p;
      } else if (*p == 'w') {
        wide = true, ++p;
      } else if (*p == 'z') {
        size = true, ++p;
      } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
        longs = 2, p += 3;
      } else {
        break;
      }
    }
    const char conversion = static_cast<char>(*p);
    if (conversion == 0) break;
    auto append = [&](const char* fmt, auto value) {
      char buffer[128];
      int n = std::snprintf(buffer, sizeof buffer, fmt, value);
      if (n > 0)
        out.append(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
    };
    auto padText = [&](const std::string& text) {
      std::string s = precision >= 0 && text.size() > static_cast<std::size_t>(precision)
                          ? text.substr(0, precision)
                          : text;
      std::string flags = spec.substr(1);
      bool left = flags.find('-') != std::string::npos;
      std::size_t width = 0;
      for (char c : flags) {
        if (c >= '0' && c <= '9') width = width * 10 + (c - '0');
      }
      if (s.size() < width) {
        if (left) {
          s.append(width - s.size(), ' ');
        } else {
          s.insert(0, width - s.size(), ' ');
        }
      }
      out += s;
    };
    // The C library formats one number: the flags and width as given, the
    // precision, then the length and conversion for the argument's type.
    std::string numberSpec = spec;
    if (precision >= 0) numberSpec.append(".").append(std::to_string(precision));
    auto conversionSpec = [&](const char* length, char conversion) {
      std::string full = numberSpec;
      full.append(length);
      full += conversion;
      return full;
    };
    switch (conversion) {
      case '%':
        out += '%';
        break;
      case 'd':
      case 'i':
        if (longs >= 2) {
          append(conversionSpec("ll", 'd').c_str(), va_arg(args, long long));
        } else if (longs == 1 || size) {
          append(conversionSpec("l", 'd').c_str(), va_arg(args, long));
        } else {
          int v = va_arg(args, int);
          append(conversionSpec("", 'd').c_str(), half ? static_cast<short>(v) : v);
        }
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        if (longs >= 2) {
          append(conversionSpec("ll", conversion).c_str(), va_arg(args, unsigned long long));
        } else if (longs == 1 || size) {
          append(conversionSpec("l", conversion).c_str(), va_arg(args, unsigned long));
        } else {
          unsigned v = va_arg(args, unsigned);
          append(conversionSpec("", conversion).c_str(), half ? static_cast<unsigned short>(v) : v);
        }
        break;
      }
      case 'p':
        append(conversionSpec("", 'p').c_str(), va_arg(args, void*));
        break;
      case 'c':
      case 'C': {
        bool wideChar = wide || (conversion == 'C') != wideFormat;
        int v = va_arg(args, int);
        if (wideChar) {
          WCHAR c = static_cast<WCHAR>(v);
          padText(ToUtf8(&c, 1));
        } else {
          padText(std::string(1, static_cast<char>(v)));
        }
        break;
      }
      case 's':
      case 'S': {
        bool wideText = wide || (longs > 0) || ((conversion == 'S') != wideFormat);
        if (half) wideText = false;
        if (wideText) {
          const WCHAR* s = va_arg(args, const WCHAR*);
          padText(s == nullptr ? "(null)" : ToUtf8(s, Length16(s)));
        } else {
          const char* s = va_arg(args, const char*);
          padText(s == nullptr ? "(null)" : s);
        }
        break;
      }
      case 'Z':
        if (wide) {
          const UNICODE_STRING* s = va_arg(args, const UNICODE_STRING*);
          padText(s == nullptr || s->Buffer == nullptr ? "(null)"
                                                       : ToUtf8(s->Buffer, s->Length / 2));
        } else {
          const ANSI_STRING* s = va_arg(args, const ANSI_STRING*);
          padText(s == nullptr || s->Buffer == nullptr ? "(null)"
                                                       : std::string(s->Buffer, s->Length));
        }
        break;
      default:
        // Unknown conversion: keep it visible rather than guess its argument.
        out += spec + conversion;
        break;
    }
  }
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

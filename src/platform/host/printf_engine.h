// printf-style formatting with the kernel's string conventions: in a narrow
// format %s is narrow and %S/%ws wide, in a wide format the other way round;
// %Z takes an ANSI_STRING*, %wZ a UNICODE_STRING*. Wide text is UTF-16.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/ntdef.h"

namespace veltocam::host {

std::string FormatNarrow(const char* format, va_list args);
std::u16string FormatWide(const WCHAR* format, va_list args);

std::string ToUtf8(const WCHAR* text, std::size_t length);
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);

}  // namespace veltocam::host

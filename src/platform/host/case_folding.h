// Case-insensitive name comparison as the registry and the file system do
// it: names keep their case, lookups ignore it.
#pragma once

#include <string>
#include <string_view>

namespace veltocam::host {

// The upper-case form of one UTF-16 code unit (ASCII, Latin-1, Greek and
// Cyrillic letters; everything else is its own upper case).
char16_t UpcaseUnit(char16_t c);

std::u16string FoldCase(std::u16string_view name);
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace veltocam::host

// Conversions between the ANSI code page (UTF-8 on this platform) and the
// UTF-16 texts of the outside libraries.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace frontend {

// Invalid bytes become U+FFFD, as the platform's conversion does.
std::u16string acp_to_utf16(std::string_view text);

// The NUL-terminated text (at most max_units units) in the code page; false
// when a unit has no representation (an unpaired surrogate), out then empty.
bool utf16_to_acp(const char16_t* text, size_t max_units, std::string& out);

}  // namespace frontend

// Conversions between UTF-8, UTF-16 and the ANSI code page. On Linux the ANSI
// code page is UTF-8 whatever the process locale says. Invalid input becomes
// U+FFFD; an empty input gives an empty result.
#pragma once

#include <string>

std::u16string text_widen_utf8(const std::string& text);
std::string text_narrow_utf8(const std::u16string& text);
std::u16string text_widen_acp(const std::string& text);
std::string text_narrow_acp(const std::u16string& text);

// UTF-8 with every invalid sequence replaced by U+FFFD.
std::string text_sanitize_utf8(const std::string& text);

// Length of the complete UTF-8 prefix of `text`: a multi-byte sequence cut off
// at the end is not counted.
size_t text_utf8_complete_prefix(const char* text, size_t length);

#include "text_convert.h"

#include <cstdint>

namespace frontend {

namespace {

void put_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void put_utf16(std::u16string& out, uint32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 | cp >> 10));
        out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

}  // namespace

std::u16string acp_to_utf16(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t extra;
        uint32_t min;
        if (c < 0x80) { cp = c; extra = 0; min = 0; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; min = 0x80; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; min = 0x800; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; min = 0x10000; }
        else { out.push_back(u'\uFFFD'); ++i; continue; }
        bool ok = true;
        size_t j = 1;
        for (; ok && j <= extra; ++j) {
            if (i + j >= s.size()) { ok = false; break; }
            unsigned char d = static_cast<unsigned char>(s[i + j]);
            if ((d & 0xC0) != 0x80) { ok = false; break; }
            cp = cp << 6 | (d & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        put_utf16(out, cp);
        i += extra + 1;
    }
    return out;
}

bool utf16_to_acp(const char16_t* text, size_t max_units, std::string& out) {
    out.clear();
    for (size_t i = 0; i < max_units && text[i] != 0; ++i) {
        uint32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < max_units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
                ++i;
                continue;
            }
            out.clear();
            return false;
        }
        if (u >= 0xDC00 && u <= 0xDFFF) {
            out.clear();
            return false;
        }
        put_utf8(out, u);
    }
    return true;
}

}  // namespace frontend
